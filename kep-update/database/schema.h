// The tables a line of stations shares, made or checked on the server.
#pragma once

#include "database/odbc_link.h"

#include <cstdint>
#include <string>
#include <vector>

// The schema scripts shipped beside the program (schema_postgresql.sql,
// schema_sqlserver.sql), built in.
extern const char *const schema_postgresql_sql;
extern const char *const schema_sqlserver_sql;

// A script's statements: each ends with ';' at the end of a line, outside a
// $$-quoted body; comment lines are dropped.
std::vector<std::string> sql_statements(const std::string &script);

// Makes what is missing (the server's own script), and the pool `pool`
// starting at `start` when it is not there yet. `said` tells what was done.
bool schema_create(db_link *link, const std::string &pool, uint64_t start, std::string *said,
                   db_error *error);

// Empty when the tables are there (and with `pool` non-empty, that pool);
// else what is missing or wrong, in a station's words.
std::string schema_missing(db_link *link, const std::string &pool, db_error *error);
