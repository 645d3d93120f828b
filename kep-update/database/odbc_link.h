// One connection to the station's database server through ODBC: the same
// calls on Linux (unixODBC) and on Windows (the system's driver manager), so
// that a station's numbers and records take one code path on both.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#define DB_LOGIN_TIMEOUT_S 5  // a server that accepts and never answers
#define DB_QUERY_TIMEOUT_S 10 // a statement held up, by another station's lock say

struct db_error {
    std::string sqlstate; // "08001"; empty when the call gave no diagnostic
    std::string message;  // the driver's words, the password taken out
};

// A statement's parameter: a text, a whole number, or null.
struct db_param {
    enum kind_t { TEXT, INTEGER, NULL_VALUE } kind = NULL_VALUE;
    std::string text;
    int64_t integer = 0;
};
db_param db_text(const std::string &text); // an empty text is null
db_param db_integer(int64_t value);

using db_rows = std::vector<std::vector<std::string>>; // a null reads as ""

struct db_link {
    std::string connection; // as given: holds the password
    void *environment = nullptr, *handle = nullptr;
    bool connected = false;
    bool postgresql = false; // the server's kind, once connected
};

// Connects (autocommit off, the login time-out set). False with `error`
// set; the link may be opened again later.
bool db_open(db_link *link, const std::string &connection, db_error *error);
void db_close(db_link *link);

// Runs `sql` with its `?` bound to `params`, in the open transaction. Rows
// read into `rows` (null: none wanted); `changed` (null: not wanted) the
// rows an UPDATE or INSERT changed. False with `error` set.
bool db_run(db_link *link, const std::string &sql, const std::vector<db_param> &params,
            db_rows *rows, int64_t *changed, db_error *error);
bool db_commit(db_link *link, db_error *error);
void db_rollback(db_link *link);

// The server is away, or the connection was lost: try again later.
bool db_error_is_connection(const db_error &error);
// A row with the same key is there already.
bool db_error_is_duplicate(const db_error &error);
// "08001 could not connect to server: Connection refused".
std::string db_error_text(const db_error &error);
