// kep-update --summarize --database: the line's summary over all its
// stations, from the records and the ledger in the database.
#pragma once

#include "board_record.h"

#include <string>

// As summarize_reports (report_summary.h), narrowed to `only`'s station and
// lot where given. Returns 0, or 2 when the database cannot be read (said in
// `problems`) or a stored record is not one.
int summarize_database(const std::string &connection, const record_origin &only, bool json,
                       std::string *out, std::string *problems);
