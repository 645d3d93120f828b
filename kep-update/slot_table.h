// How a station's slot follows the boards placed on it: from what each probe
// of its line found, whether a new board has been placed, what to do with
// it, and what the slot's row says. Pure (the caller gives the time), so that
// its rules are tried as a table with a made-up clock.
//
// A new placing is an answer after BOARD_GONE_MS of silence, or any answer
// once a run found another board in place of the one it wrote. A board that
// passed and now differs was swapped quicker than silence shows. A board
// that is silent keeps its row: a hung board is not an empty slot. A board
// whose write stopped half-way and that answers again with the CRC of what
// it acknowledged is that board, not a new one.
#pragma once

#include "outcome.h"
#include "update_session.h"

#include <cstdint>

#define BOARD_GONE_MS 150u // silence this long, then an answer: another board
// A passed board restarting after its reset: its silence meanwhile is no placing.
#define AFTER_PASS_QUIET_MS 150u

enum slot_row {
    ROW_EMPTY,
    ROW_BUSY,
    ROW_PASSED,
    ROW_HOLDS,              // found holding the image
    ROW_FAILED,             // until another board is placed
    ROW_LEFT_ALONE,         // --skip-present: the board there at the start
    ROW_NO_PORT,            // the port did not open, or stopped working
};

enum slot_action {
    SLOT_WAIT,               // nothing new on the slot
    SLOT_UPDATE,             // a new board to update (or, with --check, to record as differing)
    SLOT_RECORD_HOLDS,       // a new board that holds the image: recorded, not written
    SLOT_RECORD_APPLICATION, // a new board not in its bootloader: recorded as failed, not written
};

struct slot_memory {
    slot_row row = ROW_EMPTY;
    bool next_is_new = true;   // the next answer is a new placing, silence or not
    bool silent = false;       // the last probe found no answer
    uint32_t silent_since = 0; // when the silence began to count
    uint32_t quiet_until = 0;  // silence before this tick does not count
    bool unfinished = false;   // the last board's write stopped half-way: probes ask for it
};

// A slot's memory at its start; `leave_alone`: the board present now is left alone.
slot_memory slot_start(bool leave_alone);

// What a probe that began at tick `now` found; returns what to do.
slot_action slot_next(slot_memory *memory, probe_verdict verdict, uint32_t now);

// The bytes a board whose run ended with `outcome` in `state` at `offset`
// holds of the image, when its write stopped half-way (it hung or stalled
// while taking a block, or while asked whether it holds one); else 0.
int32_t half_written_bytes(outcome_id outcome, link_state state, int32_t offset);

// A board's run on the slot ended at `now` with `outcome`; `unfinished`: its
// write stopped half-way without another board in its place.
void slot_ended(slot_memory *memory, outcome_id outcome, bool unfinished, uint32_t now);
