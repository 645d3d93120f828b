// kep-update --summarize: what a line's report files say, per station and lot,
// read back from the records alone; no port is touched.
#pragma once

#include "board_record.h"

#include <string>
#include <vector>

// Reads the report files at `paths` and the serial number ledgers at
// `ledgers` (may be none) and puts the summary into `out` (text, or with
// `json` one JSON object): per station and lot the figures of line_stats.h,
// the serial numbers used, missing and repeated, and every ledger number that
// no update record holds (burnt), with its station, port, slot and time. A
// burnt number goes with the group of its station whose records are nearest
// in time. `problems` gets a line naming each file that cannot be read and
// each line that is not a record or ledger entry. Returns 0, or 2 when any
// line was skipped or any file could not be read.
int summarize_reports(const std::vector<std::string> &paths,
                      const std::vector<std::string> &ledgers, bool json, std::string *out,
                      std::string *problems);

// The same summary of record lines and ledger lines already read from
// `source` (the database), narrowed to `only`'s station and lot where given.
int summarize_lines(const std::string &source, const std::vector<std::string> &record_lines,
                    const std::vector<std::string> &ledger_lines, const record_origin &only,
                    bool json, std::string *out, std::string *problems);
