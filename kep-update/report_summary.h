// kep-update --summarize: what a line's report files say, per station and lot,
// read back from the records alone; no port is touched.
#pragma once

#include <string>
#include <vector>

// Reads the report files at `paths` and puts the summary into `out` (text, or
// with `json` one JSON object) and a line naming each file that cannot be
// read and each line that is not a record into `problems`. Returns 0, or 2
// when any line was skipped or any file could not be read.
int summarize_reports(const std::vector<std::string> &paths, bool json, std::string *out,
                      std::string *problems);
