#include "outcome.h"

struct outcome_row {
    const char *words;       // the summary table's and the report's word for an update
    const char *check_words; // the same for --check
    const char *reason;      // a station's row: why it failed, in a few words
    exit_status status;
};

static const outcome_row rows[] = {
    /* OUTCOME_RUNNING */ {"running", "running", "", EXIT_UPDATED},
    /* OUTCOME_UPDATED */ {"updated", "equal", "", EXIT_UPDATED},
    /* OUTCOME_RESET_UNCONFIRMED */
    {"updated, reset not confirmed", "equal", "", EXIT_UPDATED},
    /* OUTCOME_VERIFY_FAILED */ {"FAILED", "differs", "CRC differs", EXIT_VERIFY_FAILED},
    /* OUTCOME_VERIFY_REFUSED */
    {"FAILED, verify refused", "verify refused", "verify refused", EXIT_VERIFY_FAILED},
    /* OUTCOME_OPEN_FAILED */
    {"port not opened", "port not opened", "port not opened", EXIT_PORT_ERROR},
    /* OUTCOME_TIMED_OUT */ {"timed out", "timed out", "no reply", EXIT_TIMED_OUT},
    /* OUTCOME_STALLED */
    {"stopped taking data", "stopped taking data", "stopped taking data", EXIT_TIMED_OUT},
    /* OUTCOME_PORT_LOST */ {"port lost", "port lost", "port lost", EXIT_TIMED_OUT},
    /* OUTCOME_INTERRUPTED */ {"interrupted", "interrupted", "interrupted", EXIT_INTERRUPTED},
    /* OUTCOME_NO_SERIAL_NUMBER */
    {"no serial number", "no serial number", "no serial number", EXIT_USAGE},
    /* OUTCOME_NOT_IN_BOOTLOADER */
    {"not in its bootloader", "not in its bootloader", "not in its bootloader", EXIT_TIMED_OUT},
    /* OUTCOME_REMOVED */ {"removed", "removed", "removed", EXIT_TIMED_OUT},
};

const char *outcome_words(outcome_id id, bool check)
{
    return check ? rows[id].check_words : rows[id].words;
}

const char *outcome_reason(outcome_id id) { return rows[id].reason; }

exit_status outcome_status(outcome_id id) { return rows[id].status; }

const char *outcome_verdict(outcome_id id, bool check)
{
    if (check)
        return rows[id].status == EXIT_UPDATED   ? "EQUAL"
               : id == OUTCOME_VERIFY_FAILED     ? "DIFFERS"
                                                 : "UNCHECKED";
    return rows[id].status == EXIT_UPDATED ? "PASS" : "FAILED";
}

bool outcome_from_words(const std::string &words, bool check, outcome_id *id)
{
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++)
        if (words == (check ? rows[i].check_words : rows[i].words)) {
            *id = (outcome_id)i;
            return true;
        }
    return false;
}
