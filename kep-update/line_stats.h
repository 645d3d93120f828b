// The figures of a production line, from its records: what the station's
// screen tallies as boards end and what --summarize says of report files.
// One name, one meaning, in both:
//  - passed / failed: update records whose exit status is 0 / is not 0.
//    Checks (a board found already holding the image, or --check) are
//    counted apart: equal, differs, and unchecked (the check did not end).
//  - first attempts: each serial number a board was given or burnt is one
//    attempt, its first update (the earliest started) deciding it; each
//    update record without a number is one attempt of its own.
//  - first-pass yield: first attempts that passed / first attempts. A burnt
//    number (taken, in the ledger, but in no update record) did not pass.
//  - active time: from the first record's start to the last one's end, less
//    each pause over 5 minutes with no board on the line.
//  - boards per hour: update records per hour of active time.
#pragma once

#include "board_record.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#define STATS_PAUSE_MS (5 * 60 * 1000) // longer: the line stood still, not active time
#define STATS_RATE_AFTER_MS 60000      // the screen's rate from this much active time on

// What is known of one serial number.
struct number_use {
    int records = 0;    // update records that hold it
    bool burnt = false; // in the ledger, in no update record
    int64_t first_started_ms = 0;
    bool first_passed = false; // its earliest update passed
};

struct line_stats {
    int passed = 0, failed = 0;                 // update records
    std::map<std::string, int> failed_outcomes; // failed update records by outcome words
    int equal = 0, differs = 0, unchecked = 0;  // check records
    std::map<std::string, int> check_outcomes;  // check records by outcome words
    int unnumbered = 0, unnumbered_passed = 0;  // update records without a serial number
    std::map<uint64_t, number_use> numbers;
    std::vector<std::pair<int64_t, int64_t>> spans; // every record's start and end
};

struct line_figures {
    int updates = 0;
    int first_attempts = 0, first_passed = 0;
    double yield_percent = 0; // when first_attempts > 0
    int64_t active_ms = 0;
    double boards_per_hour = 0; // when active_ms > 0
};

void stats_add(line_stats *stats, const board_record &record);

// A serial number the ledger lists that no update record holds; ignored once
// a record holds it, whichever comes first.
void stats_add_burnt(line_stats *stats, uint64_t number);

line_figures stats_figures(const line_stats &stats);

// The screen's line: "passed 12  failed 1  first-pass yield 92.3 %  140 boards/h",
// then "equal 3  differs 1" when boards were checked; with `check` (--check)
// only the checks. The rate shows from a minute of active time on.
std::string stats_tally(const line_stats &stats, bool check);
