// How a target's update or check ended: one row per outcome with its words,
// its exit status and whether the station tallies it as passed.
#pragma once

#include <string>

// The exit statuses of kep-update, from best to worst; with several targets
// the highest of them is the program's.
enum exit_status {
    EXIT_UPDATED = 0,       // written, verified (a reset not confirmed is a warning)
    EXIT_VERIFY_FAILED = 1, // the target's CRC differed, or it refused to verify
    EXIT_USAGE = 2,         // a usage or image error; no port was touched
    EXIT_PORT_ERROR = 3,    // the port could not be opened
    EXIT_TIMED_OUT = 4,     // no valid reply in time, or the port stopped working
    EXIT_UNRECORDED = 5,    // an update ran, but its record could not be written to the report
    EXIT_INTERRUPTED = 130, // stopped by Ctrl-C or a termination signal
};

enum outcome_id {
    OUTCOME_RUNNING,
    OUTCOME_UPDATED,
    OUTCOME_RESET_UNCONFIRMED, // written and verified; the reset got no answer
    OUTCOME_VERIFY_FAILED,
    OUTCOME_VERIFY_REFUSED, // the target answered the verify request with an exception
    OUTCOME_OPEN_FAILED,
    OUTCOME_TIMED_OUT,
    OUTCOME_STALLED, // the line took no data for --timeout
    OUTCOME_PORT_LOST,
    OUTCOME_INTERRUPTED,
    OUTCOME_NO_SERIAL_NUMBER, // none could be taken: the board was left alone
    OUTCOME_NOT_IN_BOOTLOADER, // a watch's look: the board answers as its application does
    OUTCOME_REMOVED, // another board answered in its place before its update ended
};

// The words for `id` in an update or, with `check`, a check.
const char *outcome_words(outcome_id id, bool check);
// Why it failed in a few words, for a station's row ("CRC differs").
const char *outcome_reason(outcome_id id);
exit_status outcome_status(outcome_id id);
// The word that starts a finished board's line: PASS or FAILED, and for a
// check (which wrote nothing, so never FAILED) EQUAL, DIFFERS or UNCHECKED.
const char *outcome_verdict(outcome_id id, bool check);
// The outcome whose words, in an update or with `check` a check, are `words`
// (a record read back); false when none has them. Outcomes that share their
// words give the first of them.
bool outcome_from_words(const std::string &words, bool check, outcome_id *id);
inline bool outcome_passed(outcome_id id) { return outcome_status(id) == EXIT_UPDATED; }
