// One update run on a link, from its first step to its end: the front ends
// (the dialog's timer, kep-update's board job and station slots) step it and
// ask it whether and how the run has ended, so that each end-of-run rule and
// its constant are written once. It can also probe a line for a board and
// take a probed board on to its update.
#pragma once

#include "update_link.h"

#include <cstdint>

#define STEP_INTERVAL_MS 10u // the dialog's window timer, and a front end's pace without one
#define LINE_SPEED 115200
// Many targets restart on the reset without answering it: once the CRCs
// matched, a reset unanswered this long still ends a completed update.
#define RESET_CONFIRM_LIMIT_MS 1000u
// How long a probe waits for a board's contact answer, and for each CRC it
// asks: once, never again within the probe (a board placed meanwhile would
// answer a question sent again, as though the board asked had stayed).
#define PROBE_CONTACT_MS 120u
#define PROBE_QUESTION_MS 450u

enum session_end {
    SESSION_RUNNING,
    SESSION_UPDATED,           // reset answered (a check: every range equal)
    SESSION_RESET_UNCONFIRMED, // written and verified; the reset got no answer in time
    SESSION_VERIFY_FAILED,     // the target's CRC differs from the image's
    SESSION_VERIFY_REFUSED,    // the target answered the verify request with an exception
    SESSION_PORT_LOST,         // a read or write failed: the device has gone
    SESSION_STALLED,           // the line took no data (the front end's write check gave up)
    SESSION_TIMED_OUT,         // no reply that moved the run on for `timeout_ms`
    SESSION_BOARD_CHANGED,     // another board answered in place of the one being written
};

// The parts of the image a check compares: (offset, length) from image byte 0.
struct session_range {
    int32_t offset, length;
};

struct update_session {
    update_link *link;
    const uint8_t *image; // what the link writes: the padded image (a board's own copy)
    int32_t image_size;
    const session_range *ranges; // a check's parts; null: the whole image
    int32_t range_count;
    bool check;             // compare only: nothing written, no reset
    uint32_t timeout_ms;    // no reply moving the run on this long ends it; 0: never (the dialog)
    bool confirm_board;     // a board on a fixture: before a block goes again, ask whether it is the same board
    bool paced_by_reads;    // reads end on whole replies: no pause between awaiting steps
    bool write_stalled;     // set by the front end's write check once it gave up

    // How the run ended, once it has.
    session_end end;
    long system_code; // SESSION_PORT_LOST: the system's code of the failure
    int32_t exception_code; // SESSION_VERIFY_REFUSED: the target's exception code

    // The session's own.
    int32_t next_range;
    bool resetting;
    uint32_t reset_since;
    uint32_t progress_at;
    int32_t seen_state, seen_offset;
};

// Takes `link` (open) for a run writing `image`: from STATE_START, or from
// a probe's answered contact with session_continue.
void session_begin(update_session *session, update_link *link, const uint8_t *image,
                   int32_t image_size);

// One step of the link, then the end-of-run rules; returns `end`.
session_end session_step(update_session *session);

// Asked between steps; false stops the run where it is (an interrupt).
typedef bool (*session_keep_going)(void *context);

// Steps until the run has ended or `keep_going` says false, pausing between
// steps as the link needs. Returns `end` (SESSION_RUNNING when stopped).
session_end session_run(update_session *session, session_keep_going keep_going, void *context);

// What a look at a line found.
enum probe_verdict {
    PROBE_SILENT,      // no answer: nobody there, or a board that does not answer
    PROBE_APPLICATION, // contact answered with an exception: a board not in its bootloader
    PROBE_HOLDS_IMAGE, // a bootloader whose CRC of every range equals the image's
    PROBE_DIFFERS,     // a bootloader whose CRC differs, or that refused the question
    PROBE_SAME_BOARD,  // its CRC of `same_length` bytes equals the earlier board's
    PROBE_PORT_GONE,   // the port failed
};

// The earlier board a probe compares first, when its run ended unfinished.
struct probe_board {
    const uint8_t *image; // what that board was written with
    int32_t length;       // the bytes it acknowledged; 0: do not ask
};

// Contacts the target and asks its CRC of the session's ranges (first of the
// earlier board's acknowledged bytes, when `earlier` is given). The link is
// left answered, for session_continue.
probe_verdict session_probe(update_session *session, const probe_board *earlier);

// Takes a probed board on to its update from the first block, writing
// `image` (the board's own copy).
void session_continue(update_session *session, const uint8_t *image, int32_t image_size);

// Asks the target its CRC of `length` bytes from the link's flash base and
// compares it with `image`'s: 1 equal, 0 differs (or refused), -1 no answer
// within `limit_ms`. The link's frame is overwritten.
int session_ask_crc(update_session *session, const uint8_t *image, int32_t length,
                    uint32_t limit_ms);
