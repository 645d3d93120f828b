#include "database/connection_text.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "system.h"

// A connection string is KEY=VALUE pairs split by ';', a value in braces
// when it holds one ("Pwd={a;b}").
static std::vector<std::pair<std::string, std::string>> pairs_of(const std::string &text)
{
    std::vector<std::pair<std::string, std::string>> pairs;
    size_t at = 0;
    while (at < text.size()) {
        size_t equals = text.find('=', at);
        if (equals == std::string::npos)
            break;
        std::string key = text.substr(at, equals - at), value;
        at = equals + 1;
        if (at < text.size() && text[at] == '{') {
            size_t close = text.find('}', at);
            close = close == std::string::npos ? text.size() : close;
            value = text.substr(at + 1, close - at - 1);
            at = close + 1;
        }
        size_t end = text.find(';', at);
        end = end == std::string::npos ? text.size() : end;
        value += text.substr(at, end - at);
        at = end + 1;
        while (!key.empty() && isspace((unsigned char)key.front()))
            key.erase(key.begin());
        for (char &c : key)
            c = (char)tolower((unsigned char)c);
        pairs.emplace_back(key, value);
    }
    return pairs;
}

static std::string value_of(const std::string &connection, const std::vector<const char *> &keys)
{
    for (const auto &[key, value] : pairs_of(connection))
        for (const char *wanted : keys)
            if (key == wanted)
                return value;
    return "";
}

bool connection_resolve(const std::string &given, std::string *connection, std::string *why)
{
    std::string text = given;
    if (text.empty()) {
        const char *from_environment = getenv("KEP_DATABASE");
        text = from_environment ? from_environment : "";
        if (text.empty()) {
            *why = "--database needs a connection string, @FILE or KEP_DATABASE";
            return false;
        }
    }
    if (text[0] == '@') {
        std::ifstream file(utf8_path(text.substr(1)), std::ios::binary);
        if (!file || !std::getline(file, text)) {
            *why = "--database: cannot read the connection string from " + text.substr(1);
            return false;
        }
        while (!text.empty() && (text.back() == '\r' || isspace((unsigned char)text.back())))
            text.pop_back();
    }
    if (text.empty()) {
        *why = "--database needs a connection string, not an empty one";
        return false;
    }
    *connection = text.find('=') == std::string::npos ? "DSN=" + text : text;
    return true;
}

std::string connection_server(const std::string &connection)
{
    std::string server = value_of(connection, {"server", "servername", "host", "address"});
    std::string port = value_of(connection, {"port"});
    std::string database = value_of(connection, {"database", "db"});
    std::string source = value_of(connection, {"dsn"});
    if (server.empty())
        return source.empty() ? "the database" : "data source " + source;
    return "server " + server + (port.empty() ? "" : " port " + port) +
           (database.empty() ? "" : " database " + database);
}

std::string connection_scrub(const std::string &text, const std::string &connection)
{
    std::string password = value_of(connection, {"pwd", "password"}), out = text;
    if (password.empty())
        return out;
    for (size_t at = out.find(password); at != std::string::npos; at = out.find(password, at + 3))
        out.replace(at, password.size(), "***");
    return out;
}
