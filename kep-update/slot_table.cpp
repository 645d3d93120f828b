#include "slot_table.h"

// Tick arithmetic that survives the 49-day wrap.
static bool before(uint32_t a, uint32_t b) { return (int32_t)(a - b) < 0; }

slot_memory slot_start(bool leave_alone)
{
    slot_memory memory;
    if (leave_alone) {
        memory.row = ROW_LEFT_ALONE;
        memory.next_is_new = false;
    }
    return memory;
}

static slot_action placed(slot_memory *m, probe_verdict verdict)
{
    m->next_is_new = false;
    m->unfinished = false;
    m->row = ROW_BUSY;
    return verdict == PROBE_APPLICATION ? SLOT_RECORD_APPLICATION
           : verdict == PROBE_HOLDS_IMAGE ? SLOT_RECORD_HOLDS
                                          : SLOT_UPDATE;
}

slot_action slot_next(slot_memory *m, probe_verdict verdict, uint32_t now)
{
    if (verdict == PROBE_PORT_GONE) {
        m->row = ROW_NO_PORT;
        m->next_is_new = true;
        m->silent = false;
        return SLOT_WAIT;
    }
    if (verdict == PROBE_SILENT) {
        if (!m->silent)
            m->silent_since = before(now, m->quiet_until) ? m->quiet_until : now;
        m->silent = true;
        return SLOT_WAIT;
    }
    bool gone = m->silent && !before(now, m->silent_since) && now - m->silent_since >= BOARD_GONE_MS;
    m->silent = false;
    if (verdict == PROBE_SAME_BOARD) // the half-written board answering again
        return SLOT_WAIT;
    if (m->next_is_new || gone)
        return placed(m, verdict);
    bool was_good = m->row == ROW_PASSED || m->row == ROW_HOLDS;
    if (was_good && verdict == PROBE_DIFFERS)
        return placed(m, verdict);
    return SLOT_WAIT; // the board the row is about, still there
}

int32_t half_written_bytes(outcome_id outcome, link_state state, int32_t offset)
{
    bool stopped = outcome == OUTCOME_TIMED_OUT || outcome == OUTCOME_STALLED;
    return stopped && (state == STATE_PROGRAM || state == STATE_COMPARE) ? offset : 0;
}

void slot_ended(slot_memory *m, outcome_id outcome, bool unfinished, uint32_t now)
{
    bool passed = outcome_passed(outcome);
    m->row = passed ? ROW_PASSED : ROW_FAILED; // a board found holding the image, too
    m->silent = false;
    m->quiet_until = passed ? now + AFTER_PASS_QUIET_MS : now;
    m->next_is_new = outcome == OUTCOME_REMOVED || outcome == OUTCOME_PORT_LOST;
    m->unfinished = unfinished && !m->next_is_new;
}
