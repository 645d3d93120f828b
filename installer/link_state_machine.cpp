#include "link_state_machine.h"

#include "frames.h"
#include "os_services.h"
#include "reporting.h"
#include "serial/serial_port.h"

#include <cstdint>
#include <cstring>

bool interval_elapsed(uint32_t *stamp, uint32_t interval_ms)
{
    uint32_t now = tick_count_ms();
    if (interval_ms == 0) {
        *stamp = now;
        return true;
    }
    return (uint32_t)(now - *stamp) > interval_ms;
}

void dump_rx(const update_link *link)
{
    trace_printf("RX:");
    for (int32_t i = 0; i < link->len; i++)
        trace_printf(" %02x", link->frame[i]);
    trace_printf("\n");
}

static void tell(const update_link *link, int32_t kind, int32_t code = 0)
{
    link_event event{kind, link->state, link->offset,
                     link->offset / MODBUS_PROG_BLOCKSIZE_MAX + 1, code, 0, 0};
    report_event(&event);
}

// Writes the request just built; the count written is not used.
static void send_frame(update_link *link)
{
    int32_t head = link->len < (int32_t)sizeof link->request_head ? link->len
                                                                 : (int32_t)sizeof link->request_head;
    memcpy(link->request_head, link->frame, (size_t)head);
    link->request_length = link->len;
    port_write(link->handle, link->frame, link->len);
}

// The reply in `frame` counts: any valid frame, as the dialog takes it, or
// with `answers_only` only the one that answers the request just sent.
static bool reply_taken(update_link *link)
{
    if (!frame_is_valid(link))
        return false;
    return !link->answers_only ||
           reply_is_whole(link->request_head, link->request_length, link->frame, link->len);
}

static void enter_contact(update_link *link)
{
    interval_elapsed(&link->sent_at, 0);
    trace_printf("CONTACTING...\n");
    build_address_query(link, link->flash_base, CONTACT_QUERY_LENGTH);
    send_frame(link);
    if (!link->prompt_contact)
        sleep_ms(CONTACT_PAUSE_MS);
}

static void enter_program(update_link *link)
{
    interval_elapsed(&link->sent_at, 0);
    uint32_t address = link->flash_base + (uint32_t)link->offset;
    trace_printf("PROG ADDR %#x, LEN %#x, FROM %#x...", address, (unsigned)link->block_length,
                 (unsigned)link->offset);
    trace_flush();
    status_printf("programming %#x", address);
    build_program_block(link, address, link->block_length, link->image + link->offset);
    send_frame(link);
    trace_printf(" - SENT - ");
    trace_flush();
}

// The two halves of the block at `offset` whose CRCs are asked.
static int32_t half_start(const update_link *link)
{
    return link->offset + (link->compare_half == 0 ? 0 : link->block_length / 2);
}

static int32_t half_length(const update_link *link)
{
    int32_t first = link->block_length / 2;
    return link->compare_half == 0 ? first : link->block_length - first;
}

static void enter_compare(update_link *link)
{
    interval_elapsed(&link->sent_at, 0);
    build_address_query(link, link->flash_base + (uint32_t)half_start(link),
                        (uint32_t)half_length(link));
    send_frame(link);
}

static void enter_verify(update_link *link)
{
    interval_elapsed(&link->sent_at, 0);
    if (link->skip_unchanged)
        trace_printf("Blocks written %d, already there %d\n", (int)link->blocks_acked,
                     (int)link->blocks_skipped);
    trace_printf("Verifying address %#x, image size %#x bytes\n", link->flash_base,
                 (unsigned)link->image_size);
    status_printf("Verifying...");
    build_address_query(link, link->flash_base, (uint32_t)link->image_size);
    send_frame(link);
    trace_printf("frame length %4d bytes sent\n", link->len);
}

static void enter_reset(update_link *link)
{
    interval_elapsed(&link->sent_at, 0);
    trace_printf("Resetting target\n");
    status_printf("Resetting target...");
    build_reset(link);
    send_frame(link);
    trace_printf("frame length %4d bytes sent\n", link->len);
}

void link_enter(update_link *link, int32_t new_state)
{
    switch (new_state) {
    case STATE_INIT:
        link->block_length = MODBUS_PROG_BLOCKSIZE_MAX;
        link->offset = 0;
        link->timeout_ms = link->prompt_contact ? PROMPT_CONTACT_RESEND_MS : CONTACT_TIMEOUT_MS;
        link->blocks_acked = 0;
        link->blocks_refused = 0;
        link->blocks_skipped = 0;
        link->compare_half = 0;
        link->differing_run = 0;
        link->compare_from = 0;
        break;
    case STATE_CONTACT: enter_contact(link); break;
    case STATE_PROGRAM: enter_program(link); break;
    case STATE_COMPARE: enter_compare(link); break;
    case STATE_VERIFY: enter_verify(link); break;
    case STATE_RESET: enter_reset(link); break;
    case STATE_DONE:
        if (!link->check_only)
            status_printf("Programming Completed OK");
        break;
    default: break;
    }
    link->state = new_state;
    tell(link, LINK_EVENT_STATE);
}

void link_enter_next_block(update_link *link)
{
    if (link->offset >= link->image_size) {
        link_enter(link, STATE_VERIFY);
        return;
    }
    if (link->image_size - link->offset < link->block_length)
        link->block_length = link->image_size - link->offset;
    link->compare_half = 0;
    bool ask = link->skip_unchanged && link->offset >= link->compare_from;
    link_enter(link, ask ? STATE_COMPARE : STATE_PROGRAM);
}

static void read_reply(update_link *link)
{
    link->len = port_read(link->handle, link->frame, link->capacity);
}

// A prompt contact's read waits only until the request is due again.
static void read_contact_reply(update_link *link)
{
    if (!link->prompt_contact) {
        read_reply(link);
        return;
    }
    uint32_t since = tick_count_ms() - link->sent_at;
    uint32_t left = since < link->timeout_ms ? link->timeout_ms - since : 1;
    link->len = port_read_within(link->handle, link->frame, link->capacity, left);
}

// A target that answers twice, or an answer to an earlier request on its
// way: without the dialog's pause it would reach the first block's read.
// What follows the answer is read off until the line is quiet (bounded: a
// line that never is goes on), then purged.
static void wait_for_quiet(update_link *link)
{
    uint8_t rest[MODBUS_FRAME_LENGTH_MAX];
    for (int i = 0; i < PROMPT_CONTACT_QUIET_READS; i++)
        if (port_read_within(link->handle, rest, (int)sizeof rest, PROMPT_CONTACT_QUIET_MS) == 0)
            return;
}

static void step_contact(update_link *link)
{
    if (interval_elapsed(&link->sent_at, link->timeout_ms))
        link_enter(link, STATE_CONTACT);
    read_contact_reply(link);
    if (link->len != 0)
        dump_rx(link);
    if (reply_taken(link)) {
        trace_printf("REMOTE DEVICE LINK ESTABLISHED\n");
        if (link->prompt_contact)
            wait_for_quiet(link);
        link->timeout_ms = PROGRAM_TIMEOUT_MS;
        // Answers to earlier contact requests may still be on their way.
        port_purge(link->handle);
        port_flush(link->handle);
        if (link->hold_when_linked || link->check_only)
            link_enter(link, link->hold_when_linked ? STATE_LINKED : STATE_VERIFY);
        else
            link_enter_next_block(link);
    }
}

static void step_program(update_link *link)
{
    if (interval_elapsed(&link->sent_at, link->timeout_ms)) {
        trace_printf("TIMEOUT\n");
        tell(link, LINK_EVENT_RESEND);
        link_enter(link, STATE_PROGRAM);
    }
    read_reply(link);
    if (!reply_taken(link))
        return;
    trace_printf("- OK\n");
    trace_flush();
    // The engine moves on after any valid reply; a front end may want to
    // know which blocks the target refused.
    uint8_t code = 0;
    link->blocks_acked++;
    if (classify_reply(link->frame, link->len, &code, nullptr) == REPLY_EXCEPTION) {
        link->blocks_refused++;
        tell(link, LINK_EVENT_BLOCK_REFUSED, code);
    } else {
        tell(link, LINK_EVENT_BLOCK_ACKED);
    }
    link->offset += link->block_length;
    link_enter_next_block(link);
}

// Blocks that keep differing (a blank board, another build) go unasked for a
// stretch as long as the run so far, so that asking costs next to nothing
// there, while a block that holds the image again is found soon after.
static void block_differs(update_link *link)
{
    link->differing_run++;
    if (link->differing_run < COMPARE_DIFFERING_RUN)
        return;
    int32_t stretch = link->differing_run;
    link->compare_from = link->offset + (stretch + 1) * MODBUS_PROG_BLOCKSIZE_MAX;
    link->differing_run += stretch;
}

// The target's CRC of one half of the next block: a half that differs sends
// the block; both equal leave it out. Two independent 16-bit checks, so a
// CRC collision alone never leaves an old block in place.
static void step_compare(update_link *link)
{
    if (interval_elapsed(&link->sent_at, link->timeout_ms)) {
        tell(link, LINK_EVENT_RESEND);
        link_enter(link, STATE_COMPARE);
    }
    read_reply(link);
    if (!reply_taken(link))
        return;
    uint16_t remote = 0;
    switch (classify_reply(link->frame, link->len, nullptr, &remote)) {
    case REPLY_EXCEPTION: // a target that cannot say: every block from here is written
        trace_printf("Block CRC query refused: writing every block\n");
        link->compare_from = INT32_MAX;
        link_enter(link, STATE_PROGRAM);
        return;
    case REPLY_VERIFY: break;
    default: return; // too short for a CRC (a late ack): the question goes again on its time-out
    }
    if (remote != crc16_modbus(link->image + half_start(link), half_length(link))) {
        block_differs(link);
        link_enter(link, STATE_PROGRAM);
        return;
    }
    if (link->compare_half == 0) {
        link->compare_half = 1;
        link_enter(link, STATE_COMPARE);
        return;
    }
    link->differing_run = 0;
    uint32_t address = link->flash_base + (uint32_t)link->offset;
    trace_printf("PROG ADDR %#x, LEN %#x, FROM %#x... - ALREADY THERE\n", address,
                 (unsigned)link->block_length, (unsigned)link->offset);
    link->blocks_skipped++;
    tell(link, LINK_EVENT_BLOCK_SKIPPED);
    link->offset += link->block_length;
    link_enter_next_block(link);
}

static void fail_verify(update_link *link)
{
    trace_printf("CRC FAIL\n");
    status_printf(link->check_only ? "DIFFERS" : "FAILED"); // a check wrote nothing
    link_enter(link, STATE_FAILED);
}

// The target has said it cannot compute the range CRC (an image larger than
// its flash, say): waiting on would never end, and no CRC was compared.
static void refuse_verify(update_link *link, uint8_t exception_code)
{
    trace_printf("VERIFY REFUSED, exception 0x%02x\n", exception_code);
    tell(link, LINK_EVENT_VERIFY_REFUSED, exception_code);
    status_printf(link->check_only ? "VERIFY REFUSED" : "FAILED");
    link_enter(link, STATE_FAILED);
}

static void step_verify(update_link *link)
{
    if (interval_elapsed(&link->sent_at, link->timeout_ms)) {
        tell(link, LINK_EVENT_RESEND);
        link_enter(link, STATE_VERIFY);
    }
    read_reply(link);
    if (!reply_taken(link))
        return;
    uint8_t exception_code = 0;
    uint16_t remote = 0;
    switch (classify_reply(link->frame, link->len, &exception_code, &remote)) {
    case REPLY_EXCEPTION: refuse_verify(link, exception_code); return;
    case REPLY_VERIFY: break;
    // A frame too short to carry the range CRC is not the verify reply (a
    // slow target's late program ack, say): compared, it would be read from
    // its own frame CRC or stale request bytes. Keep waiting for the reply;
    // the request is re-sent on its time-out.
    default: return;
    }
    uint16_t local = crc16_modbus(link->image, link->image_size);
    trace_printf("Remote CRC %#x\n", remote);
    trace_printf("Local  CRC %#x\n", local);
    link_event result{LINK_EVENT_VERIFY_RESULT, link->state, link->offset, 0, 0, remote, local};
    report_event(&result);
    if (remote != local) {
        fail_verify(link);
        return;
    }
    trace_printf("CRCs match\n");
    status_printf("Program Verified OK");
    // A check leaves the target as it found it: running its bootloader.
    link_enter(link, link->check_only ? STATE_DONE : STATE_RESET);
}

static void step_reset(update_link *link)
{
    if (interval_elapsed(&link->sent_at, RESET_TIMEOUT_MS)) {
        tell(link, LINK_EVENT_RESEND);
        link_enter(link, STATE_RESET);
    }
    read_reply(link);
    if (reply_taken(link)) {
        trace_printf("frame length %4d bytes received & OK\n", link->len);
        link_enter(link, STATE_DONE);
    }
}

void link_step(update_link *link)
{
    switch (link->state) {
    case STATE_START: link_enter(link, STATE_INIT); break;
    case STATE_INIT:
        status_printf("Establishing Link...");
        link_enter(link, STATE_CONTACT);
        break;
    case STATE_CONTACT: step_contact(link); break;
    case STATE_PROGRAM: step_program(link); break;
    case STATE_COMPARE: step_compare(link); break;
    case STATE_VERIFY: step_verify(link); break;
    case STATE_RESET: step_reset(link); break;
    default: break; // STATE_FAILED, STATE_DONE: final; STATE_LINKED: the front end goes on
    }
}
