#include "database/odbc_link.h"

#include "database/connection_text.h"

#include "odbc_api.h" // this system's ODBC headers

#include <cstring>

db_param db_text(const std::string &text)
{
    db_param p;
    p.kind = text.empty() ? db_param::NULL_VALUE : db_param::TEXT;
    p.text = text;
    return p;
}

db_param db_integer(int64_t value)
{
    db_param p;
    p.kind = db_param::INTEGER;
    p.integer = value;
    return p;
}

// The first diagnostic of the call that failed on `handle`.
static db_error diagnostic(const db_link *link, SQLSMALLINT type, SQLHANDLE handle,
                           const char *otherwise)
{
    db_error error;
    SQLCHAR state[6] = {0}, text[1024] = {0};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    if (handle && SQL_SUCCEEDED(SQLGetDiagRec(type, handle, 1, state, &native, text,
                                              (SQLSMALLINT)sizeof text, &length))) {
        error.sqlstate = (const char *)state;
        // One line: drivers break their messages over several.
        for (const char *c = (const char *)text; *c; c++)
            if (*c != '\n' && *c != '\t' && *c != '\r')
                error.message += *c;
            else if (!error.message.empty() && error.message.back() != ' ')
                error.message += ' ';
        while (!error.message.empty() && error.message.back() == ' ')
            error.message.pop_back();
    } else {
        error.message = otherwise;
    }
    error.message = connection_scrub(error.message, link->connection);
    return error;
}

void db_close(db_link *link)
{
    if (link->handle) {
        if (link->connected) {
            SQLEndTran(SQL_HANDLE_DBC, link->handle, SQL_ROLLBACK);
            SQLDisconnect(link->handle);
        }
        SQLFreeHandle(SQL_HANDLE_DBC, link->handle);
    }
    if (link->environment)
        SQLFreeHandle(SQL_HANDLE_ENV, link->environment);
    link->handle = link->environment = nullptr;
    link->connected = false;
}

bool db_open(db_link *link, const std::string &connection, db_error *error)
{
    db_close(link);
    link->connection = connection;
    SQLHENV environment = SQL_NULL_HENV;
    SQLHDBC handle = SQL_NULL_HDBC;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &environment))) {
        *error = {"", "no ODBC driver manager could be loaded"};
        return false;
    }
    link->environment = environment;
    SQLSetEnvAttr(environment, SQL_ATTR_ODBC_VERSION, (SQLPOINTER)SQL_OV_ODBC3, 0);
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, environment, &handle))) {
        *error = diagnostic(link, SQL_HANDLE_ENV, environment, "ODBC refused a connection handle");
        db_close(link);
        return false;
    }
    link->handle = handle;
    SQLSetConnectAttr(handle, SQL_ATTR_LOGIN_TIMEOUT, (SQLPOINTER)(SQLULEN)DB_LOGIN_TIMEOUT_S, 0);
    SQLSetConnectAttr(handle, SQL_ATTR_CONNECTION_TIMEOUT, (SQLPOINTER)(SQLULEN)DB_QUERY_TIMEOUT_S,
                      0);
    std::vector<SQLCHAR> text(connection.begin(), connection.end());
    text.push_back(0);
    SQLCHAR completed[1024];
    SQLSMALLINT length = 0;
    SQLRETURN rc = SQLDriverConnect(handle, nullptr, text.data(), SQL_NTS, completed,
                                    (SQLSMALLINT)sizeof completed, &length, SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(rc)) {
        *error = diagnostic(link, SQL_HANDLE_DBC, handle, "the connection was refused");
        db_close(link);
        return false;
    }
    link->connected = true;
    SQLSetConnectAttr(handle, SQL_ATTR_AUTOCOMMIT, (SQLPOINTER)SQL_AUTOCOMMIT_OFF, 0);
    SQLCHAR name[64] = {0};
    SQLGetInfo(handle, SQL_DBMS_NAME, name, (SQLSMALLINT)sizeof name, nullptr);
    link->postgresql = strstr((const char *)name, "PostgreSQL") != nullptr;
    // A station that stops in a transaction must not hold the counter's lock for ever.
    if (link->postgresql &&
        (!db_run(link, "SET idle_in_transaction_session_timeout = 20000", {}, nullptr, nullptr,
                 error) ||
         !db_commit(link, error))) {
        db_close(link);
        return false;
    }
    return true;
}

// The bound parameters' lengths must live until the statement has run.
static bool bind_params(SQLHSTMT statement, const std::vector<db_param> &params,
                        std::vector<SQLLEN> *lengths)
{
    lengths->assign(params.size(), 0);
    for (size_t i = 0; i < params.size(); i++) {
        const db_param &p = params[i];
        SQLLEN *length = &(*lengths)[i];
        SQLRETURN rc;
        if (p.kind == db_param::INTEGER) {
            rc = SQLBindParameter(statement, (SQLUSMALLINT)(i + 1), SQL_PARAM_INPUT, SQL_C_SBIGINT,
                                  SQL_BIGINT, 0, 0, (SQLPOINTER)&p.integer, 0, length);
        } else {
            *length = p.kind == db_param::TEXT ? (SQLLEN)p.text.size() : SQL_NULL_DATA;
            SQLULEN size = p.text.empty() ? 1 : p.text.size();
            rc = SQLBindParameter(statement, (SQLUSMALLINT)(i + 1), SQL_PARAM_INPUT, SQL_C_CHAR,
                                  size > 4000 ? SQL_LONGVARCHAR : SQL_VARCHAR, size, 0,
                                  (SQLPOINTER)p.text.data(), (SQLLEN)p.text.size(), length);
        }
        if (!SQL_SUCCEEDED(rc))
            return false;
    }
    return true;
}

// One column of the current row, however long.
static bool read_column(SQLHSTMT statement, SQLUSMALLINT column, std::string *value)
{
    value->clear();
    char part[4096];
    for (;;) {
        SQLLEN length = 0;
        SQLRETURN rc = SQLGetData(statement, column, SQL_C_CHAR, part, sizeof part, &length);
        if (rc == SQL_NO_DATA)
            return true;
        if (!SQL_SUCCEEDED(rc))
            return false;
        if (length == SQL_NULL_DATA)
            return true;
        bool whole = rc == SQL_SUCCESS;
        value->append(part, whole ? (size_t)length : sizeof part - 1);
        if (whole)
            return true;
    }
}

static bool read_rows(SQLHSTMT statement, db_rows *rows)
{
    SQLSMALLINT columns = 0;
    SQLNumResultCols(statement, &columns);
    SQLRETURN rc;
    while ((rc = SQLFetch(statement)) != SQL_NO_DATA) {
        if (!SQL_SUCCEEDED(rc))
            return false;
        std::vector<std::string> row((size_t)columns);
        for (SQLSMALLINT c = 0; c < columns; c++)
            if (!read_column(statement, (SQLUSMALLINT)(c + 1), &row[(size_t)c]))
                return false;
        rows->push_back(std::move(row));
    }
    return true;
}

bool db_run(db_link *link, const std::string &sql, const std::vector<db_param> &params,
            db_rows *rows, int64_t *changed, db_error *error)
{
    if (!link->connected) {
        *error = {"08003", "not connected"};
        return false;
    }
    SQLHSTMT statement = SQL_NULL_HSTMT;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, link->handle, &statement))) {
        *error = diagnostic(link, SQL_HANDLE_DBC, link->handle, "no statement could be made");
        return false;
    }
    SQLSetStmtAttr(statement, SQL_ATTR_QUERY_TIMEOUT, (SQLPOINTER)(SQLULEN)DB_QUERY_TIMEOUT_S, 0);
    std::vector<SQLLEN> lengths;
    std::vector<SQLCHAR> text(sql.begin(), sql.end());
    text.push_back(0);
    bool done = bind_params(statement, params, &lengths);
    SQLRETURN rc = done ? SQLExecDirect(statement, text.data(), SQL_NTS) : SQL_ERROR;
    done = SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA;
    if (done && changed) {
        SQLLEN count = 0;
        SQLRowCount(statement, &count);
        *changed = rc == SQL_NO_DATA ? 0 : (int64_t)count;
    }
    if (done && rows)
        done = read_rows(statement, rows);
    if (!done)
        *error = diagnostic(link, SQL_HANDLE_STMT, statement, "the statement failed");
    SQLFreeHandle(SQL_HANDLE_STMT, statement);
    return done;
}

bool db_commit(db_link *link, db_error *error)
{
    if (!link->connected) {
        *error = {"08003", "not connected"};
        return false;
    }
    if (SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, link->handle, SQL_COMMIT)))
        return true;
    *error = diagnostic(link, SQL_HANDLE_DBC, link->handle, "the commit failed");
    return false;
}

void db_rollback(db_link *link)
{
    if (link->connected)
        SQLEndTran(SQL_HANDLE_DBC, link->handle, SQL_ROLLBACK);
}

bool db_error_is_connection(const db_error &error)
{
    const std::string &s = error.sqlstate;
    // 08: connection exceptions; 57P0x: the server shutting down or
    // starting; HYT0x: time-outs; none at all: the driver gave up.
    return s.empty() || s.rfind("08", 0) == 0 || s.rfind("57P0", 0) == 0 ||
           s.rfind("HYT0", 0) == 0 || s == "57014";
}

bool db_error_is_duplicate(const db_error &error) { return error.sqlstate.rfind("23", 0) == 0; }

std::string db_error_text(const db_error &error)
{
    return error.sqlstate.empty() ? error.message : error.sqlstate + " " + error.message;
}
