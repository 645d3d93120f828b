#include "update_session.h"

#include "frames.h"
#include "link_state_machine.h"
#include "os_services.h"
#include "reporting.h"
#include "serial/serial_port.h"

#include <cstring>
#include <initializer_list>

// The link's requests and local CRC over `length` bytes of the image from `offset`.
static void aim(update_session *s, int32_t offset, int32_t length)
{
    // The engine only reads the image; the link record's field is not const.
    s->link->image = const_cast<uint8_t *>(s->image) + offset;
    s->link->image_size = length;
    s->link->flash_base = FLASH_IMAGE_BASE + (uint32_t)offset;
}

static bool port_gone(const update_session *s)
{
    long code = 0;
    return port_failed(s->link->handle, &code);
}

static void restart_clock(update_session *s)
{
    s->progress_at = tick_count_ms();
    s->seen_state = s->link->state;
    s->seen_offset = s->link->offset;
}

void session_begin(update_session *s, update_link *link, const uint8_t *image, int32_t image_size)
{
    s->link = link;
    s->image = image;
    s->image_size = image_size;
    s->end = SESSION_RUNNING;
    s->system_code = 0;
    s->exception_code = 0;
    s->next_range = 0;
    s->resetting = false;
    s->write_stalled = false;
    link->check_only = s->check;
    aim(s, 0, image_size);
    restart_clock(s);
}

// A check asks its next range; false when none is left.
static bool aim_next_range(update_session *s)
{
    if (!s->link->check_only || !s->ranges || s->next_range >= s->range_count)
        return false;
    session_range range = s->ranges[s->next_range++];
    aim(s, range.offset, range.length);
    link_enter(s->link, STATE_VERIFY);
    return true;
}

static session_end ended(update_session *s, session_end end)
{
    s->end = end;
    return end;
}

// The reply to `request` that `bytes` end with, or null. A late ack, noise
// or a part of a frame before it is what the line held when it was asked.
static const uint8_t *reply_at_end(const uint8_t *request, const uint8_t *bytes, int32_t length,
                                   int32_t *reply_length)
{
    for (int32_t size : {VERIFY_REPLY_LENGTH_MIN, EXCEPTION_FRAME_LENGTH})
        if (length >= size && reply_is_whole(request, ADDRESS_QUERY_LENGTH, bytes + length - size, size)) {
            *reply_length = size;
            return bytes + length - size;
        }
    return nullptr;
}

// Appends `count` bytes to the `*kept` in `tail`, dropping the oldest beyond
// `capacity`: only the end of what the line held can be the reply.
static void keep_last(uint8_t *tail, int32_t *kept, int32_t capacity, const uint8_t *bytes,
                      int32_t count)
{
    if (count >= capacity) {
        memcpy(tail, bytes + count - capacity, (size_t)capacity);
        *kept = capacity;
        return;
    }
    int32_t drop = *kept + count - capacity;
    if (drop > 0) {
        memmove(tail, tail + drop, (size_t)(*kept - drop));
        *kept -= drop;
    }
    memcpy(tail + *kept, bytes, (size_t)count);
    *kept += count;
}

int session_ask_crc(update_session *s, const uint8_t *image, int32_t length, uint32_t limit_ms)
{
    update_link *link = s->link;
    build_address_query(link, link->flash_base, (uint32_t)length);
    uint8_t request[ADDRESS_QUERY_LENGTH];
    memcpy(request, link->frame, ADDRESS_QUERY_LENGTH);
    uint32_t asked_at = 0;
    interval_elapsed(&asked_at, 0);
    port_write(link->handle, request, ADDRESS_QUERY_LENGTH);
    uint8_t heard[2 * VERIFY_REPLY_LENGTH_MIN]; // the line's last bytes
    int32_t kept = 0;
    while (!interval_elapsed(&asked_at, limit_ms) && !port_gone(s)) {
        int32_t got = port_read(link->handle, link->frame, link->capacity);
        keep_last(heard, &kept, (int32_t)sizeof heard, link->frame, got);
        int32_t size = 0;
        const uint8_t *reply = reply_at_end(request, heard, kept, &size);
        if (!reply)
            continue;
        uint16_t remote = 0;
        if (classify_reply(reply, size, nullptr, &remote) != REPLY_VERIFY)
            return 0;
        return remote == crc16_modbus(image, length) ? 1 : 0;
    }
    return -1;
}

// A block about to go again on a fixture: the same board still there, or
// another in its place? Its CRC of what it acknowledged tells. With no
// answer the block is not sent again (a board placed meanwhile would take
// it): the question is asked again at the next time-out.
static bool confirm_same_board(update_session *s)
{
    update_link *link = s->link;
    trace_printf("TIMEOUT\n");
    link_event resend{LINK_EVENT_RESEND, link->state, link->offset, 0, 0, 0, 0};
    report_event(&resend);
    int same = session_ask_crc(s, s->image, link->offset, link->timeout_ms);
    trace_printf("Board check: CRC of the %#x bytes acknowledged %s\n", (unsigned)link->offset,
                 same > 0 ? "matches" : same == 0 ? "differs: another board" : "not answered");
    if (same == 0)
        return false;
    if (same > 0) {
        link_enter(link, STATE_PROGRAM);
    } else {
        interval_elapsed(&link->sent_at, 0);
    }
    return true;
}

static bool resend_due(const update_session *s)
{
    const update_link *link = s->link;
    uint32_t sent_at = link->sent_at;
    return s->confirm_board && link->state == STATE_PROGRAM && link->offset > 0 &&
           interval_elapsed(&sent_at, link->timeout_ms);
}

// The end-of-run rules, in order, after a step.
static session_end judge(update_session *s)
{
    update_link *link = s->link;
    if (link->state == STATE_DONE && !aim_next_range(s))
        return ended(s, SESSION_UPDATED);
    if (link->state == STATE_FAILED) {
        uint8_t code = 0;
        if (classify_reply(link->frame, link->len, &code, nullptr) == REPLY_EXCEPTION) {
            s->exception_code = code;
            return ended(s, SESSION_VERIFY_REFUSED);
        }
        return ended(s, SESSION_VERIFY_FAILED);
    }
    bool lost = port_failed(link->handle, &s->system_code);
    uint32_t now = tick_count_ms();
    if (link->state == STATE_RESET) {
        if (!s->resetting)
            s->reset_since = now;
        s->resetting = true;
        // The image is proven in the target once the CRCs matched.
        if (lost || s->write_stalled || now - s->reset_since > RESET_CONFIRM_LIMIT_MS)
            return ended(s, SESSION_RESET_UNCONFIRMED);
    }
    if (s->write_stalled)
        return ended(s, SESSION_STALLED);
    if (lost)
        return ended(s, SESSION_PORT_LOST);
    if (link->state != s->seen_state || link->offset != s->seen_offset) {
        restart_clock(s);
    } else if (s->timeout_ms && link->state != STATE_RESET && now - s->progress_at > s->timeout_ms) {
        return ended(s, SESSION_TIMED_OUT);
    }
    return SESSION_RUNNING;
}

session_end session_step(update_session *s)
{
    if (s->end != SESSION_RUNNING)
        return s->end;
    if (resend_due(s) && !confirm_same_board(s))
        return ended(s, SESSION_BOARD_CHANGED);
    link_step(s->link);
    return judge(s);
}

// While a reply is awaited reads that end on whole replies pace the steps,
// as a prompt contact's reads do; otherwise a step follows the timer's interval.
static void pause_between_steps(const update_session *s)
{
    int32_t state = s->link->state;
    bool awaiting = state == STATE_PROGRAM || state == STATE_COMPARE || state == STATE_VERIFY ||
                    state == STATE_RESET;
    bool prompt = s->link->prompt_contact &&
                  (state == STATE_START || state == STATE_INIT || state == STATE_CONTACT);
    if (state != STATE_LINKED && !prompt && (!awaiting || !s->paced_by_reads))
        sleep_ms(STEP_INTERVAL_MS);
}

session_end session_run(update_session *s, session_keep_going keep_going, void *context)
{
    while (keep_going(context)) {
        if (s->link->state == STATE_LINKED)
            return SESSION_RUNNING; // answered: the front end goes on with session_continue
        if (session_step(s) != SESSION_RUNNING)
            return s->end;
        pause_between_steps(s);
    }
    return SESSION_RUNNING;
}

// Steps until the link reaches `until` or a final state, or `limit_ms` pass.
static void step_within(update_session *s, int32_t until, uint32_t limit_ms)
{
    uint32_t started = 0;
    interval_elapsed(&started, 0);
    while (s->link->state != until && s->link->state != STATE_DONE &&
           s->link->state != STATE_FAILED && !interval_elapsed(&started, limit_ms) &&
           !port_gone(s) && !s->write_stalled) {
        link_step(s->link);
        pause_between_steps(s);
    }
}

probe_verdict session_probe(update_session *s, const probe_board *earlier)
{
    update_link *link = s->link;
    link->check_only = true;
    link->hold_when_linked = true;
    link->state = STATE_START;
    s->next_range = 0;
    aim(s, 0, s->image_size);
    step_within(s, STATE_LINKED, PROBE_CONTACT_MS);
    if (port_gone(s))
        return PROBE_PORT_GONE;
    if (link->state != STATE_LINKED)
        return PROBE_SILENT;
    if (classify_reply(link->frame, link->len, nullptr, nullptr) == REPLY_EXCEPTION)
        return PROBE_APPLICATION;
    if (earlier && earlier->length > 0 &&
        session_ask_crc(s, earlier->image, earlier->length, PROBE_QUESTION_MS) > 0)
        return PROBE_SAME_BOARD;
    if (s->ranges && s->range_count == 0)
        return PROBE_HOLDS_IMAGE; // a serial number's field is all the image holds
    link->timeout_ms = PROGRAM_TIMEOUT_MS; // longer than a question is waited for
    if (!aim_next_range(s)) {
        aim(s, 0, s->image_size);
        link_enter(link, STATE_VERIFY);
    }
    for (;;) {
        step_within(s, STATE_DONE, PROBE_QUESTION_MS);
        if (port_gone(s))
            return PROBE_PORT_GONE;
        if (link->state != STATE_DONE)
            return link->state == STATE_FAILED ? PROBE_DIFFERS : PROBE_SILENT;
        if (!aim_next_range(s))
            return PROBE_HOLDS_IMAGE;
    }
}

void session_continue(update_session *s, const uint8_t *image, int32_t image_size)
{
    update_link *link = s->link;
    s->image = image;
    s->image_size = image_size;
    s->end = SESSION_RUNNING;
    s->resetting = false;
    s->next_range = 0;
    aim(s, 0, image_size);
    link->check_only = s->check;
    link->timeout_ms = PROGRAM_TIMEOUT_MS; // not a prompt contact's
    if (s->check && s->ranges && s->range_count == 0) {
        s->end = SESSION_UPDATED; // a serial number's field is all the image holds
    } else if (s->check) {
        if (!aim_next_range(s))
            link_enter(link, STATE_VERIFY);
    } else {
        // From the first block, as the engine's own start does: a probe may
        // have asked its CRC questions meanwhile.
        link_enter(link, STATE_INIT);
        link->timeout_ms = PROGRAM_TIMEOUT_MS;
        link_enter_next_block(link);
    }
    restart_clock(s);
}
