#include "serve_loop.h"

#include "control_file.h"
#include "frame_assembler.h"
#include "line_timing.h"
#include "monotonic_clock.h"
#include "sim_log.h"
#include "target_model.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <poll.h>
#include <unistd.h>

// Replies leave in chunks about this far apart: a reader sees a steady stream.
#define CHUNK_INTERVAL_US 1000
// A duplicated reply follows the first after more than the tool's 20 ms read
// gap, so that the tool sees it as a reply of its own.
#define DUPLICATE_GAP_MS 30
#define DRAIN_LIMIT_MS 1000
#define IDLE_WAIT_US 1000000
// A UART goes on sending for a moment after the reset is answered: the line
// stays open that long before the target restarts.
#define RESET_HOLD_MS 200
// A target that stops reading keeps its line full: the kernel frees room in
// the pty's queue now and then, which a real stalled line would not.
#define REFILL_INTERVAL_US 20000
// How often a fixture's --control file is read for new commands.
#define CONTROL_POLL_US 10000

struct outgoing_piece {
    std::vector<uint8_t> bytes;
    int64_t not_before_us;
    after_reply after; // what follows once the last byte has left
};

struct serve_state {
    const sim_options *options;
    pty_endpoint *endpoint;
    target_model target;
    frame_assembler assembler;
    std::deque<outgoing_piece> outgoing;
    int64_t line_free_at_us; // when the last byte sent has crossed the line
    int64_t piece_start_us;  // when the front piece's first bit leaves
    size_t piece_sent;       // bytes of the front piece handed to the pty
    int64_t last_write_us;
    bool dump_failed;
    bool deaf; // reads nothing more from the line
    control_file control;
    int64_t next_control_poll_us;
    std::string remove_dump_path; // the board's --dump-on-remove; empty: none
};

static bool is_fixture(const serve_state *state) { return !state->options->control_path.empty(); }

// A board placed or taken off: what the last one was still sending is lost,
// and so is what it never read (a board that stopped reading leaves the line
// full), so that the next board hears only what comes after it.
static void board_changed(serve_state *state)
{
    state->outgoing.clear();
    state->piece_sent = 0;
    state->deaf = false;
    uint8_t unread[4096];
    while (read(state->endpoint->master, unread, sizeof unread) > 0) {
    }
    assembler_init(&state->assembler, state->options->baud);
}

static bool write_file(const std::string &path, const std::vector<uint8_t> &bytes)
{
    FILE *file = fopen(path.c_str(), "wb");
    bool ok = file && fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (file && fclose(file) != 0)
        ok = false;
    return ok;
}

// A board taken off a fixture leaves with its flash: the file says what it held.
static void take_board_off(serve_state *state)
{
    const std::string &path = state->remove_dump_path;
    if (state->target.board_present && !path.empty()) {
        if (write_file(path, target_board_flash(&state->target)))
            sim_log("control: the board's flash dumped to %s", path.c_str());
        else
            sim_log("control: cannot write the flash dump %s: %s", path.c_str(), strerror(errno));
    }
    target_remove_board(&state->target);
    board_changed(state);
}

static void apply_control_line(serve_state *state, const std::string &line)
{
    control_command command = parse_control_line(line, *state->options);
    if (command.kind == CONTROL_REMOVE) {
        take_board_off(state);
        sim_log("control: board removed; the line is silent");
    } else if (command.kind == CONTROL_INSERT) {
        const sim_options &board = command.board;
        if (state->target.board_present)
            take_board_off(state); // a board placed over another: the other has left
        target_insert_board(&state->target, &board.faults, board.flash_ms, board.after_reset);
        target_preload(&state->target, board.preload);
        state->remove_dump_path = board.remove_dump_path;
        board_changed(state);
        sim_log("control: new board placed (\"%s\")", line.c_str());
    } else if (command.kind == CONTROL_BAD) {
        sim_log("control: line ignored: \"%s\"", line.c_str());
    }
}

static void poll_control(serve_state *state, int64_t now)
{
    if (!is_fixture(state) || now < state->next_control_poll_us)
        return;
    state->next_control_poll_us = now + CONTROL_POLL_US;
    std::vector<std::string> lines;
    control_file_take_lines(&state->control, &lines);
    for (const std::string &line : lines)
        apply_control_line(state, line);
}

static int64_t now_us() { return monotonic_ns() / 1000; }

static bool dump_flash(serve_state *state)
{
    const std::string &path = state->options->dump_path;
    std::vector<uint8_t> written = target_written_flash(&state->target);
    if (path.empty()) {
        sim_log("reset: %zu bytes of flash written, no --dump file", written.size());
        return true;
    }
    bool ok = write_file(path, written);
    if (ok)
        sim_log("reset: %zu bytes of flash from 0x08000800 dumped to %s", written.size(),
                path.c_str());
    else
        sim_log("reset: cannot write the flash dump %s: %s", path.c_str(), strerror(errno));
    return ok;
}

static void queue_reply(serve_state *state, reply_plan *plan, int64_t now)
{
    if (plan->bytes.empty())
        return;
    // A Modbus RTU slave answers only after the silence that ends the request.
    int32_t baud = state->options->baud;
    int64_t start = now + frame_silence_us(baud) + (int64_t)plan->delay_ms * 1000;
    for (int32_t copy = 0; copy < plan->copies; copy++) {
        bool last_copy = copy == plan->copies - 1;
        after_reply after = last_copy ? plan->after : AFTER_NOTHING;
        if (plan->split_at > 0 && plan->split_at < plan->bytes.size()) {
            auto middle = plan->bytes.begin() + (ptrdiff_t)plan->split_at;
            state->outgoing.push_back({{plan->bytes.begin(), middle}, start, AFTER_NOTHING});
            start += wire_time_us((int64_t)plan->split_at, baud) + plan->split_gap_ms * 1000;
            state->outgoing.push_back({{middle, plan->bytes.end()}, start, after});
            start += wire_time_us((int64_t)(plan->bytes.size() - plan->split_at), baud);
        } else {
            state->outgoing.push_back({plan->bytes, start, after});
            start += wire_time_us((int64_t)plan->bytes.size(), baud);
        }
        start += DUPLICATE_GAP_MS * 1000;
    }
}

// A Modbus RTU device takes a request that begins within 3.5 characters of
// its own reply's end as part of the line's noise: the log says so.
static void note_gap(serve_state *state, int64_t request_began_us)
{
    if (state->line_free_at_us == 0)
        return; // no reply has gone out yet
    int64_t gap_us = request_began_us - state->line_free_at_us;
    sim_log("gap %.3f ms from the last reply to this request%s", (double)gap_us / 1000.0,
            gap_us < FRAME_SILENCE_FLOOR_US ? ", shorter than 1.75 ms" : "");
}

// Takes the requests that have arrived and queues their replies. Returns what
// follows at once a request that gets no reply, else AFTER_NOTHING.
static after_reply take_requests(serve_state *state, int64_t now)
{
    std::vector<uint8_t> frame;
    for (;;) {
        int64_t began_us = state->assembler.first_at_us;
        assembled_kind kind = assembler_take(&state->assembler, now, &frame);
        if (kind == ASSEMBLED_NOTHING)
            return AFTER_NOTHING;
        if (kind == ASSEMBLED_TRUNCATED) {
            sim_log("dropped %zu bytes: a request cut short", frame.size());
            continue;
        }
        note_gap(state, began_us);
        reply_plan plan = target_handle_request(&state->target, frame.data(), frame.size());
        for (const std::string &note : plan.notes)
            sim_log("%s", note.c_str());
        bool reset = plan.after == AFTER_RESET || plan.after == AFTER_RESTART;
        if (reset && !dump_flash(state))
            state->dump_failed = true;
        if (plan.bytes.empty() && plan.after != AFTER_NOTHING)
            return plan.after;
        queue_reply(state, &plan, now);
    }
}

static int64_t piece_start(const serve_state *state, const outgoing_piece *piece)
{
    return piece->not_before_us > state->line_free_at_us ? piece->not_before_us
                                                         : state->line_free_at_us;
}

// The latest moment at or before `now` at which bytes reach the tool: with
// --chunk-ms only on a grid of that step, as an adapter's latency timer
// hands them over.
static int64_t handover_at(const serve_state *state, int64_t now)
{
    int64_t chunk_us = (int64_t)state->options->chunk_ms * 1000;
    return chunk_us > 0 ? now - now % chunk_us : now;
}

// Hands the front piece's due bytes to the pty. Returns what follows a piece
// that has just gone out completely, else AFTER_NOTHING.
static after_reply transmit(serve_state *state, int64_t now, bool *failed)
{
    while (!state->outgoing.empty()) {
        outgoing_piece &piece = state->outgoing.front();
        if (state->piece_sent == 0)
            state->piece_start_us = piece_start(state, &piece);
        if (now < state->piece_start_us)
            return AFTER_NOTHING;
        int32_t baud = state->options->baud;
        int64_t seen = handover_at(state, now);
        size_t due = seen < state->piece_start_us ? 0 : piece.bytes.size();
        if (baud > 0 && due > 0) {
            int64_t elapsed_bits = (seen - state->piece_start_us) * baud / 1000000;
            size_t crossed = (size_t)(elapsed_bits / BITS_PER_CHARACTER);
            due = crossed < due ? crossed : due;
        }
        if (due > state->piece_sent) {
            ssize_t n = write(state->endpoint->master, piece.bytes.data() + state->piece_sent,
                              due - state->piece_sent);
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                sim_log("cannot write to the pseudo-terminal: %s", strerror(errno));
                *failed = true;
                return AFTER_NOTHING;
            }
            if (n > 0) {
                state->piece_sent += (size_t)n;
                state->last_write_us = now;
            }
        }
        if (state->piece_sent < piece.bytes.size())
            return AFTER_NOTHING;
        state->line_free_at_us =
            state->piece_start_us + wire_time_us((int64_t)piece.bytes.size(), baud);
        sim_log("sent %zu bytes", piece.bytes.size());
        after_reply after = piece.after;
        state->outgoing.pop_front();
        state->piece_sent = 0;
        if (after != AFTER_NOTHING)
            return after;
    }
    return AFTER_NOTHING;
}

static int64_t next_transmit_us(const serve_state *state)
{
    if (state->outgoing.empty())
        return INT64_MAX;
    const outgoing_piece &piece = state->outgoing.front();
    int64_t next;
    if (state->piece_sent == 0) {
        next = piece_start(state, &piece) + wire_time_us(1, state->options->baud);
    } else {
        int64_t next_byte = state->piece_start_us +
                            wire_time_us((int64_t)state->piece_sent + 1, state->options->baud);
        int64_t next_chunk = state->last_write_us + CHUNK_INTERVAL_US;
        next = next_byte > next_chunk ? next_byte : next_chunk;
    }
    int64_t chunk_us = (int64_t)state->options->chunk_ms * 1000;
    return chunk_us > 0 ? (next + chunk_us - 1) / chunk_us * chunk_us : next;
}

static bool receive(serve_state *state)
{
    uint8_t bytes[4096];
    ssize_t n = read(state->endpoint->master, bytes, sizeof bytes);
    if (n > 0) {
        assembler_push(&state->assembler, bytes, (size_t)n, now_us());
        return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    sim_log("cannot read from the pseudo-terminal: %s", n < 0 ? strerror(errno) : "end of file");
    return false;
}

static int wait_for_input(serve_state *state, int64_t wake_at, const sigset_t *wait_mask)
{
    int64_t wait_us = wake_at - now_us();
    if (wait_us < 0)
        wait_us = 0;
    if (wait_us > IDLE_WAIT_US)
        wait_us = IDLE_WAIT_US;
    timespec wait{(time_t)(wait_us / 1000000), (long)(wait_us % 1000000) * 1000};
    pollfd input{state->endpoint->master, POLLIN, 0};
    int ready = ppoll(&input, state->deaf ? 0 : 1, &wait, wait_mask);
    if (ready < 0)
        return errno == EINTR ? 0 : -1;
    // A hang-up or error is left to the read that follows to report.
    return ready > 0 && input.revents != 0 ? 1 : 0;
}

// What the target does once the reply to a reset or the last ack before a
// hang-up has left. Returns an exit status, or -1 to serve on.
static int finish_reply(serve_state *state, after_reply after)
{
    // A fixture's line stays: nothing is drained or held, and it never closes.
    if (after == AFTER_HANG_UP && is_fixture(state)) {
        take_board_off(state);
        sim_log("board pulled; the fixture's line is silent");
        return -1;
    }
    if ((after == AFTER_RESTART || after == AFTER_RESET) && is_fixture(state)) {
        sim_log("reset: the board runs its %s",
                state->target.in_application ? "application" : "bootloader");
        return -1;
    }
    if (after == AFTER_STOP_READING) {
        state->deaf = true;
        size_t filled = pty_endpoint_fill_line(state->endpoint);
        sim_log("reading stopped; %zu bytes of filler fill the line", filled);
        return -1;
    }
    if (after == AFTER_RESTART) {
        pty_endpoint_hang_up(state->endpoint);
        sim_log("restarted: line gone");
        return state->dump_failed ? 1 : 0;
    }
    if (after == AFTER_HANG_UP) {
        // An empty queue can mean the ack has not reached it yet, and a
        // hang-up flushes what is queued: pull the line only once the tool
        // has answered the ack with its next request.
        pty_endpoint_wait_request(state->endpoint, DRAIN_LIMIT_MS);
        pty_endpoint_hang_up(state->endpoint);
        sim_log("line hung up");
        return 0;
    }
    pty_endpoint_wait_drained(state->endpoint, DRAIN_LIMIT_MS);
    timespec hold{0, RESET_HOLD_MS * 1000000L};
    nanosleep(&hold, nullptr);
    if (state->options->serve_forever) {
        sim_log("reset done; serving again");
        return -1;
    }
    return state->dump_failed ? 1 : 0;
}

int serve(const sim_options *options, pty_endpoint *endpoint, const volatile sig_atomic_t *stop,
          const sigset_t *wait_mask)
{
    serve_state state{};
    state.options = options;
    state.endpoint = endpoint;
    target_insert_board(&state.target, &options->faults, options->flash_ms, options->after_reset);
    state.remove_dump_path = options->remove_dump_path;
    if (options->reply_jitter_ms > 0) {
        uint32_t seed = options->jitter_seed ? options->jitter_seed : (uint32_t)now_us();
        target_set_jitter(&state.target, options->reply_jitter_ms, seed);
        sim_log("replies 0 to %d ms late at random, --jitter-seed %u",
                (int)options->reply_jitter_ms, seed);
    }
    if (options->chunk_ms > 0)
        sim_log("bytes reach the tool every %d ms", (int)options->chunk_ms);
    if (!target_preload(&state.target, options->preload)) {
        sim_log("--load: %zu bytes do not fit the flash above 0x08000800", options->preload.size());
        return 1;
    }
    assembler_init(&state.assembler, options->baud);
    state.control.path = options->control_path;
    for (;;) {
        if (*stop) {
            sim_log("stopped by signal %d", (int)*stop);
            return 0;
        }
        int64_t now = now_us();
        poll_control(&state, now);
        after_reply after = take_requests(&state, now);
        bool failed = false;
        if (after == AFTER_NOTHING)
            after = transmit(&state, now, &failed);
        if (failed)
            return 1;
        if (after != AFTER_NOTHING) {
            int status = finish_reply(&state, after);
            if (status >= 0)
                return status;
        }
        if (state.deaf)
            pty_endpoint_fill_line(endpoint);
        int64_t wake_at =
            state.deaf ? now + REFILL_INTERVAL_US : assembler_next_check_us(&state.assembler);
        int64_t transmit_at = next_transmit_us(&state);
        if (transmit_at < wake_at)
            wake_at = transmit_at;
        if (is_fixture(&state) && state.next_control_poll_us < wake_at)
            wake_at = state.next_control_poll_us;
        int ready = wait_for_input(&state, wake_at, wait_mask);
        if (ready < 0) {
            sim_log("cannot wait for the pseudo-terminal: %s", strerror(errno));
            return 1;
        }
        if (ready > 0 && !state.deaf && !receive(&state))
            return 1;
    }
}
