#include "database/schema.h"

std::vector<std::string> sql_statements(const std::string &script)
{
    std::vector<std::string> statements;
    std::string statement;
    bool quoted = false; // inside a $$ body
    size_t at = 0;
    while (at < script.size()) {
        size_t end = script.find('\n', at);
        end = end == std::string::npos ? script.size() : end;
        std::string line = script.substr(at, end - at);
        at = end + 1;
        size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || (!quoted && line.compare(first, 2, "--") == 0))
            continue;
        for (size_t d = line.find("$$"); d != std::string::npos; d = line.find("$$", d + 2))
            quoted = !quoted;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        statement += line;
        if (!quoted && !line.empty() && line.back() == ';') {
            statement.pop_back();
            statements.push_back(statement);
            statement.clear();
        } else {
            statement += "\n";
        }
    }
    return statements;
}

bool schema_create(db_link *link, const std::string &pool, uint64_t start, std::string *said,
                   db_error *error)
{
    const char *script = link->postgresql ? schema_postgresql_sql : schema_sqlserver_sql;
    for (const std::string &statement : sql_statements(script))
        if (!db_run(link, statement, {}, nullptr, nullptr, error)) {
            db_rollback(link);
            return false;
        }
    int64_t added = 0;
    if (!db_run(link,
                "INSERT INTO kep_serial_pool (pool_name, next_serial) SELECT ?, ? WHERE NOT "
                "EXISTS (SELECT 1 FROM kep_serial_pool WHERE pool_name = ?)",
                {db_text(pool), db_integer((int64_t)start), db_text(pool)}, nullptr, &added,
                error)) {
        db_rollback(link);
        return false;
    }
    db_rows next;
    if (!db_run(link, "SELECT next_serial FROM kep_serial_pool WHERE pool_name = ?",
                {db_text(pool)}, &next, nullptr, error) ||
        !db_commit(link, error)) {
        db_rollback(link);
        return false;
    }
    std::string at = next.empty() ? "?" : next[0][0];
    *said = "the tables are there; serial number pool " + pool +
            (added ? " made, starting at " + at : " was there, its next number " + at);
    return true;
}

std::string schema_missing(db_link *link, const std::string &pool, db_error *error)
{
    const char *tables[] = {"kep_serial_pool", "kep_serial_issued", "kep_board_record"};
    for (const char *table : tables) {
        if (db_run(link, std::string("SELECT 1 FROM ") + table + " WHERE 1 = 0", {}, nullptr,
                   nullptr, error))
            continue;
        db_rollback(link);
        if (db_error_is_connection(*error))
            return "it stopped answering (" + db_error_text(*error) + ")";
        return std::string("it has no table ") + table + " (" + db_error_text(*error) +
               "); kep-update --database ... --init-database makes it";
    }
    db_rows found;
    bool asked = pool.empty() ||
                 db_run(link, "SELECT next_serial FROM kep_serial_pool WHERE pool_name = ?",
                        {db_text(pool)}, &found, nullptr, error);
    db_rollback(link);
    if (!asked)
        return "its serial number pools cannot be read (" + db_error_text(*error) + ")";
    if (!pool.empty() && found.empty())
        return "it has no serial number pool " + pool +
               "; kep-update --database ... --init-database --serial-pool " + pool +
               " --serial-start N makes it";
    return "";
}
