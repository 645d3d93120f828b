#include "database/database_summary.h"

#include "database/connection_text.h"
#include "database/odbc_link.h"
#include "report_summary.h"
#include "serial_source.h"

#include <cstdlib>

// "2026-12-06 23:59:01.123456" as the servers give a time back, in ms.
static bool time_of(std::string text, int64_t *unix_ms)
{
    if (text.size() < 19)
        return false;
    text[10] = 'T';
    std::string millis = text.size() > 20 ? text.substr(20, 3) : "";
    millis.resize(3, '0');
    return stamp_parse(text.substr(0, 19) + "." + millis + "Z", unix_ms);
}

int summarize_database(const std::string &connection, const record_origin &only, bool json,
                       std::string *out, std::string *problems)
{
    std::string server = connection_server(connection);
    db_link link;
    db_error error;
    db_rows records, issued;
    // Only what --station and --lot name, when given.
    std::string records_where, issued_where;
    std::vector<db_param> records_by, issued_by;
    if (!only.station.empty()) {
        records_where = issued_where = " WHERE station = ?";
        records_by.push_back(db_text(only.station));
        issued_by.push_back(db_text(only.station));
    }
    if (!only.lot.empty()) {
        records_where += records_where.empty() ? " WHERE lot = ?" : " AND lot = ?";
        records_by.push_back(db_text(only.lot));
    }
    bool read = db_open(&link, connection, &error) &&
                db_run(&link,
                       "SELECT record_json FROM kep_board_record" + records_where +
                           " ORDER BY started, record_id",
                       records_by, &records, nullptr, &error) &&
                db_run(&link,
                       "SELECT serial_number, station, port, slot, issued_at FROM "
                       "kep_serial_issued" + issued_where + " ORDER BY issued_at, serial_number",
                       issued_by, &issued, nullptr, &error);
    db_close(&link);
    if (!read) {
        *problems += "kep-update: the database at " + server + " cannot be read: " +
                     db_error_text(error) + "\n";
        return 2;
    }
    std::vector<std::string> record_lines, ledger_lines;
    for (const auto &row : records)
        record_lines.push_back(row[0]);
    for (const auto &row : issued) {
        ledger_entry entry{strtoull(row[0].c_str(), nullptr, 10), row[1], row[2], row[3], 0};
        ledger_lines.push_back(time_of(row[4], &entry.taken_ms) ? ledger_line(entry) : row[4]);
    }
    return summarize_lines("the database at " + server, record_lines, ledger_lines, only, json,
                           out, problems);
}
