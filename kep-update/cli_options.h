// The command line of kep-update.
#pragma once

#include "board_record.h"
#include "serial_number.h"
#include "slot_names.h"

#include <string>
#include <vector>

struct cli_options {
    std::vector<std::string> ports;
    std::string image_path; // empty: the built-in image
    double timeout_seconds = 10;
    bool quiet = false;
    bool list_ports = false;
    // The station: --watch (ports are then patterns), --skip-present, --check, --report.
    bool watch = false;
    bool skip_present = false;
    bool bell = false;
    bool check = false;
    bool skip_unchanged = false; // leave out the blocks the target already holds
    std::vector<slot_name_rule> slot_names; // --slot-name, in the order given
    std::string report_path; // empty: no report
    record_origin origin;    // --station (empty: the host name), --lot, --operator
    bool describe = false; // print what would be written, touch no port
    bool summarizing = false;           // --summarize: touch no port
    std::vector<std::string> summarize; // its report files (none: --database alone)
    bool json = false;                  // --summarize as one JSON object
    // --serial-number, --serial-file, --serial-format, --serial-start; with
    // --summarize only the file, whose ledger the summary reads.
    serial_settings serial;
    std::string expect_sha256; // empty: any image
    // --database: the line's database (empty: none), resolved from @FILE or
    // KEP_DATABASE; its serial number pool, the outbox of records on their way.
    std::string database;
    bool init_database = false;
    std::string serial_pool = "default";
    std::string outbox; // empty: the station's default
};

// Parses argv into `options`. Returns -1 to go on, or the exit status to end
// with at once (0 after --help or --version, 2 for a usage error; the
// message is already written).
int parse_cli_options(int argc, char **argv, cli_options *options);
