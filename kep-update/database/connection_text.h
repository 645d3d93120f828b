// What a station reads of its ODBC connection string: where the server is,
// for messages, and its password, so that no message, record or trace ever
// shows it.
#pragma once

#include <string>

// The connection from --database: a connection string ("Driver=...;Server=...")
// or a data source's name, "@FILE" for the first line of FILE, or, when not
// given, the KEP_DATABASE environment variable's value. False with `why` set.
bool connection_resolve(const std::string &given, std::string *connection, std::string *why);

// "server 127.0.0.1 port 5432 database kep", or "data source kep".
std::string connection_server(const std::string &connection);

// `text` with the connection's password replaced by "***".
std::string connection_scrub(const std::string &text, const std::string &connection);
