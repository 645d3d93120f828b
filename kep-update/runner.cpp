#include "runner.h"

#include "live_view.h"
#include "os_services.h"
#include "port_presence.h"
#include "progress_line.h"
#include "serial/serial_port.h"
#include "summary.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

int board_status(const board *b)
{
    int status = outcome_status(b->job.result.outcome);
    return b->recorded ? status : std::max(status, (int)EXIT_UNRECORDED);
}

struct runner {
    const run_settings *settings = nullptr;
    live_view *view = nullptr;
    port_presence presence;
    std::vector<std::unique_ptr<slot>> slots; // a watch's by name, a list's in its order
    std::atomic<bool> taking{true};             // slots may start new boards
    line_stats stats;
    int unrecorded = 0, worst = 0;
    bool refusing = false; // takes no new boards
};

static board_record record_of(const run_settings *settings, const slot *s, const board *b)
{
    board_record r;
    r.origin = settings->origin;
    r.started_ms = b->started_ms;
    r.ended_ms = b->ended_ms;
    r.port = b->job.port;
    r.slot = s->name;
    r.usb = b->usb;
    r.image = identity_of(*settings->job.image);
    r.check = b->check;
    r.result = b->job.result;
    r.numbered = b->job.numbered;
    r.serial_number = b->job.serial_number;
    r.written_sha256 = b->job.numbered ? b->job.numbered_image.sha256 : settings->job.image->sha256;
    r.record_id = b->job.record_id;
    return r;
}

static void store(const run_settings *settings, const slot *s, board *b)
{
    std::string why;
    b->recorded = record_sink_write(settings->records, record_of(settings, s, b), &why);
    if (!b->recorded)
        view_note(settings->job.view, "kep-update: " + b->job.port +
                                          ": its record could not be written to the report (" +
                                          why + "); the report holds every record before it\n");
}

// The label of a slot's rows and lines: its name on the fixture, else its port.
static std::string label_of(const slot *s) { return s->name.empty() ? s->port : s->name; }

// The row a board leaves behind it until another is placed.
static void show_result(const run_settings *settings, slot *s, const board *b)
{
    const job_result &r = b->job.result;
    s->unrecorded = !b->recorded;
    if (!outcome_passed(r.outcome)) {
        s->row = ROW_FAILED;
        bool plain = r.outcome == OUTCOME_VERIFY_FAILED && b->check; // "DIFFERS" says it all
        s->shown = std::string(outcome_verdict(r.outcome, b->check)) +
                   (plain ? "" : std::string(": ") + outcome_reason(r.outcome));
    } else {
        s->row = b->check && !settings->job.check ? ROW_HOLDS : ROW_PASSED;
        s->shown = b->job.numbered ? std::to_string(b->job.serial_number) : "";
    }
}

// A board has ended: recorded, shown and handed to the runner to reap.
static void end_board(const run_settings *settings, slot *s, std::unique_ptr<board> b)
{
    b->usb = port_usb_identity(s->port);
    b->ended_ms = wall_clock_ms();
    if (settings->records)
        store(settings, s, b.get());
    std::lock_guard<std::mutex> hold(s->mutex);
    s->running = nullptr;
    if (settings->watch)
        show_result(settings, s, b.get());
    s->ended.push_back(std::move(b));
}

static board *starting(slot *s, board *b)
{
    std::lock_guard<std::mutex> hold(s->mutex);
    s->row = ROW_BUSY;
    s->running = b;
    return b;
}

// A named port: its one board, on the port's own opening.
static void run_named(const run_settings *settings, slot *s)
{
    auto b = std::make_unique<board>();
    b->job.port = s->port;
    b->job.record_id = new_record_id();
    b->check = settings->job.check;
    b->started_ms = wall_clock_ms();
    run_board_on_port(&starting(s, b.get())->job, &settings->job);
    end_board(settings, s, std::move(b));
}

static void set_row(slot *s, slot_row row, const std::string &shown)
{
    std::lock_guard<std::mutex> hold(s->mutex);
    s->row = row;
    s->shown = shown;
    s->unrecorded = false;
}

// What a slot's thread keeps from one board to the next.
struct slot_line {
    update_link link;
    std::vector<uint8_t> frame;
    slot_memory memory;
    std::vector<uint8_t> earlier_image; // what a half-written board was written with
    probe_board earlier{};
};

// A half-written board's bytes, for the probes that tell it from another.
static void remember_unfinished(slot_line *line, const board *b)
{
    link_state state = (link_state)line->link.state;
    int32_t half = half_written_bytes(b->job.result.outcome, state, line->link.offset);
    line->earlier_image = half > 0 ? b->job.image->padded : std::vector<uint8_t>();
    line->earlier = {line->earlier_image.data(), half};
}

// Takes up a board a probe found new: updates it, or records what was found.
static void take_up(const run_settings *settings, slot *s, slot_line *line,
                    std::unique_ptr<board> b, slot_action action)
{
    starting(s, b.get());
    b->job.record_id = new_record_id();
    b->started_ms = wall_clock_ms(); // it has just answered; the look may have begun before it was placed
    bool check = settings->job.check;
    if (action == SLOT_UPDATE && !check) {
        run_board_job(&b->job, &settings->job, &line->link);
    } else {
        b->check = action != SLOT_RECORD_APPLICATION; // the probe's look is its record
        outcome_id found = action == SLOT_RECORD_HOLDS        ? OUTCOME_UPDATED
                           : action == SLOT_RECORD_APPLICATION ? OUTCOME_NOT_IN_BOOTLOADER
                                                               : OUTCOME_VERIFY_FAILED;
        end_probed_job(&b->job, found);
    }
    remember_unfinished(line, b.get());
    outcome_id outcome = b->job.result.outcome;
    bool unfinished = line->earlier.length > 0;
    end_board(settings, s, std::move(b));
    slot_ended(&line->memory, outcome, unfinished, tick_count_ms());
}

static void pause_unless(const slot *s, const std::atomic<bool> *taking, uint32_t ms)
{
    for (uint32_t waited = 0; waited < ms && !s->leave && *taking; waited += RUNNER_TICK_MS)
        sleep_ms(std::min(ms - waited, RUNNER_TICK_MS));
}

// Opens the slot's port, or says why not on its row.
static bool line_open(const run_settings *settings, slot *s, slot_line *line)
{
    if (line->link.handle != INVALID_PORT_HANDLE)
        return true;
    board_job opening;
    opening.port = s->port;
    if (open_board_port(&opening, &settings->job, &line->link))
        return true;
    set_row(s, ROW_NO_PORT, opening.result.message);
    line->memory.next_is_new = true;
    return false;
}

// One probe of the slot's line and what follows from it.
static void probe_once(const run_settings *settings, const std::atomic<bool> *taking, slot *s,
                       slot_line *line)
{
    auto b = std::make_unique<board>();
    b->job.port = s->port;
    b->job.slot = s->name;
    b->check = settings->job.check;
    uint32_t at = tick_count_ms();
    const probe_board *earlier = line->memory.unfinished ? &line->earlier : nullptr;
    probe_verdict verdict = probe_board_job(&b->job, &settings->job, &line->link, earlier);
    if (verdict == PROBE_PORT_GONE) {
        port_close(line->link.handle);
        line->link.handle = INVALID_PORT_HANDLE;
        set_row(s, ROW_NO_PORT, outcome_words(OUTCOME_PORT_LOST, false));
    }
    slot_action action = slot_next(&line->memory, verdict, at);
    if (action != SLOT_WAIT && *taking && !settings->job.interrupted->load()) {
        take_up(settings, s, line, std::move(b), action);
        return;
    }
    if (verdict != PROBE_SILENT && verdict != PROBE_PORT_GONE)
        sleep_ms(REPROBE_PAUSE_MS); // a board there: no need to ask it without pause
}

// A watched port: probes its line and follows the boards placed on it.
static void watch_slot(const run_settings *settings, const std::atomic<bool> *taking, slot *s)
{
    slot_line line;
    prepare_link(&line.link, &line.frame, s->port);
    line.memory = slot_start(s->leave_alone);
    set_row(s, line.memory.row, "");
    while (!s->leave && *taking && !settings->job.interrupted->load()) {
        if (line_open(settings, s, &line))
            probe_once(settings, taking, s, &line);
        else
            pause_unless(s, taking, REOPEN_PAUSE_MS);
    }
    if (line.link.handle != INVALID_PORT_HANDLE)
        port_close(line.link.handle);
}

static void start_slot(runner *run, const std::string &port, bool leave_alone)
{
    auto made = std::make_unique<slot>();
    slot *s = made.get();
    s->port = port;
    s->name = slot_name_for(run->settings->slot_names, port);
    s->leave_alone = leave_alone;
    const run_settings *settings = run->settings;
    const std::atomic<bool> *taking = &run->taking;
    s->worker = std::thread([settings, taking, s] {
        if (settings->watch)
            watch_slot(settings, taking, s);
        else
            run_named(settings, s);
        s->done = true;
    });
    auto at = run->slots.end();
    if (settings->watch) // rows in a fixed order, by name
        at = std::upper_bound(run->slots.begin(), run->slots.end(), label_of(s),
                              [](const std::string &name, const auto &other) {
                                  return name < label_of(other.get());
                              });
    run->slots.insert(at, std::move(made));
}

static std::string clock_time()
{
    time_t now = time(nullptr);
    char text[16];
    strftime(text, sizeof text, "%H:%M:%S", localtime(&now)); // only the runner's thread calls
    return text;
}

// "23:59:01  PASS    /dev/ttyUSB0  adapter A1B2C3  serial number 100059  updated  3.2 s",
// and why when it failed or passed with a warning.
static std::string finished_line(const slot *s, const board *b)
{
    const job_result &r = b->job.result;
    char head[64];
    snprintf(head, sizeof head, "%s  %-7s ", clock_time().c_str(),
             outcome_verdict(r.outcome, b->check));
    char seconds[32];
    snprintf(seconds, sizeof seconds, "%.1f s", r.seconds);
    std::string line = head + b->job.port + (s->name.empty() ? "" : "  slot " + s->name) +
                       "  adapter " + (b->usb.serial.empty() ? "-" : b->usb.serial) +
                       (b->job.numbered ? "  serial number " + std::to_string(b->job.serial_number)
                                        : "") +
                       "  " + outcome_words(r.outcome, b->check) + "  " + seconds +
                       (b->recorded ? "" : "  NOT RECORDED") + "\n";
    if (!r.message.empty())
        line += "kep-update: " + b->job.port + ": " + r.message + "\n";
    return line;
}

// "passed 12  failed 1  first-pass yield 92.3 %  140 boards/h  in progress 2".
static std::string tally(const runner *run, size_t running)
{
    std::string text = stats_tally(run->stats, run->settings->job.check);
    if (run->unrecorded > 0)
        text += "  not recorded " + std::to_string(run->unrecorded);
    int waiting = record_sink_waiting(run->settings->records);
    if (waiting > 0) // stored locally, not yet in the database
        text += "  records waiting " + std::to_string(waiting);
    return text + "  in progress " + std::to_string(running);
}

static size_t running_count(runner *run)
{
    size_t running = 0;
    for (const auto &s : run->slots) {
        std::lock_guard<std::mutex> hold(s->mutex);
        running += s->running != nullptr;
    }
    return running;
}

// Lines for standard error: on a terminal above the area, else unless --quiet.
static void say(runner *run, const std::string &lines)
{
    if (!run->settings->quiet)
        view_note(run->view, lines);
}

static void refuse_new_boards(runner *run, const board *b)
{
    bool unnumbered = b->job.result.outcome == OUTCOME_NO_SERIAL_NUMBER;
    if ((b->recorded && !unnumbered) || run->refusing)
        return;
    run->refusing = true;
    run->taking = false;
    view_note(run->view, std::string("kep-update: taking no new boards, since ") +
                             (unnumbered ? "no serial number could be taken"
                                         : "a record could not be written") +
                             "; the running ones finish\n");
}

static void reap_board(runner *run, const slot *s, const board *b)
{
    int status = board_status(b);
    run->worst = std::max(run->worst, status);
    stats_add(&run->stats, record_of(run->settings, s, b));
    run->unrecorded += !b->recorded;
    if (!run->settings->watch)
        return; // a list's boards keep their line, and are told of at the end
    if (status != EXIT_UPDATED && run->settings->bell)
        view_bell(run->view);
    std::string line = finished_line(s, b);
    if (view_has_area(run->view))
        view_note(run->view, line);
    else if (!run->settings->quiet)
        view_note(run->view, line + tally(run, running_count(run)) + "\n");
    else if (status != EXIT_UPDATED)
        view_note(run->view, line);
    refuse_new_boards(run, b);
}

// Takes the boards that ended, and the slots whose port has gone. A watch's
// boards go once reaped; a list's stay for its summary.
static void reap(runner *run)
{
    for (size_t i = 0; i < run->slots.size();) {
        slot *s = run->slots[i].get();
        bool done = s->done;
        std::vector<const board *> fresh;
        {
            std::lock_guard<std::mutex> hold(s->mutex);
            for (size_t k = s->reaped; k < s->ended.size(); k++)
                fresh.push_back(s->ended[k].get());
            s->reaped = s->ended.size();
        }
        for (const board *b : fresh)
            reap_board(run, s, b);
        if (run->settings->watch) {
            std::lock_guard<std::mutex> hold(s->mutex);
            s->ended.erase(s->ended.begin(), s->ended.begin() + (long)fresh.size());
            s->reaped = 0;
        }
        if (done && s->worker.joinable())
            s->worker.join();
        if (!done || !s->leave) { // a stopped station's rows stay on its screen
            ++i;
            continue;
        }
        presence_job_ended(&run->presence, s->port);
        run->slots.erase(run->slots.begin() + (long)i);
    }
}

// The words of a row between boards.
static std::string row_text(const run_settings *settings, const slot *s, view_colour *colour)
{
    switch (s->row) {
    case ROW_PASSED:
        *colour = s->unrecorded ? COLOUR_FAIL : COLOUR_PASS;
        return std::string(settings->job.check ? "EQUAL" : "PASS") +
               (s->shown.empty() ? "" : " number " + s->shown) +
               (s->unrecorded ? " \u2014 NOT RECORDED" : "");
    case ROW_HOLDS:
        *colour = s->unrecorded ? COLOUR_FAIL : COLOUR_PASS;
        return std::string("holds the image") + (s->unrecorded ? " \u2014 NOT RECORDED" : "");
    case ROW_FAILED: *colour = COLOUR_FAIL; return s->shown + " \u2014 remove";
    case ROW_LEFT_ALONE: return "left alone until removed (present at the start)";
    case ROW_NO_PORT: return s->shown;
    default: return "empty";
    }
}

static std::string slot_row(const runner *run, slot *s, int32_t blocks, uint32_t now, int width,
                            view_colour *colour)
{
    std::lock_guard<std::mutex> hold(s->mutex);
    const job_settings &job = run->settings->job;
    *colour = COLOUR_NONE;
    std::string name = label_of(s);
    if (s->running)
        return progress_line(name, job_progress(&s->running->job), blocks, job.check, now, width);
    std::string text = row_text(run->settings, s, colour);
    // On a narrow terminal the port's folder goes first, so that the result stays readable.
    if (name.size() + 2 + text.size() > (size_t)width)
        name = name.substr(name.rfind('/') + 1);
    return name + ": " + text;
}

static void draw(runner *run)
{
    if (!view_has_area(run->view))
        return;
    const job_settings &job = run->settings->job;
    int32_t blocks = padded_size(*job.image) / MODBUS_PROG_BLOCKSIZE_MAX;
    int width = view_width(run->view);
    uint32_t now = tick_count_ms();
    std::vector<view_line> lines;
    for (const auto &s : run->slots) {
        if (!run->settings->watch) {
            std::lock_guard<std::mutex> hold(s->mutex);
            board *b = s->running ? s->running
                                  : s->ended.empty() ? nullptr : s->ended.back().get();
            if (b)
                lines.push_back({progress_line(job.prefixed ? s->port : "", job_progress(&b->job),
                                               blocks, job.check, now, width),
                                 COLOUR_NONE});
            continue;
        }
        view_line line;
        line.text = slot_row(run, s.get(), blocks, now, width, &line.colour);
        lines.push_back(line);
    }
    if (run->settings->watch)
        lines.push_back({tally(run, running_count(run)), COLOUR_NONE});
    view_draw(run->view, lines);
}

// Starts the slots of the ports that are new, and tells those whose port has
// gone to end. A list's ports are all new at the first scan.
static void scan(runner *run, bool first)
{
    const run_settings *settings = run->settings;
    if (!settings->watch) {
        if (first)
            for (const auto &port : settings->ports)
                start_slot(run, port, false);
        return;
    }
    std::vector<std::string> present = matching_ports(settings->ports);
    for (const auto &s : run->slots)
        if (std::find(present.begin(), present.end(), s->port) == present.end())
            s->leave = true;
    if (!run->taking)
        return;
    for (const auto &port : presence_scan(&run->presence, present))
        start_slot(run, port, first && settings->skip_present);
}

static void tell_watch_start(runner *run)
{
    std::string watched;
    for (const auto &pattern : run->settings->ports)
        watched += (watched.empty() ? "" : ", ") + pattern;
    say(run, "kep-update: watching " + watched + " (Ctrl-C: take no new boards)\n");
}

// A list's end: each board's message, and the table when there were several.
static void tell_list_end(runner *run)
{
    const run_settings *settings = run->settings;
    std::vector<const board *> boards;
    for (const auto &s : run->slots)
        for (const auto &b : s->ended)
            boards.push_back(b.get());
    for (const board *b : boards)
        if (!b->job.result.message.empty())
            view_note(run->view, "kep-update: " + (settings->job.prefixed ? b->job.port + ": " : "") +
                                     b->job.result.message + "\n");
    if (settings->job.prefixed)
        view_note(run->view, format_summary(boards, settings->job.check));
}

int run_boards(const run_settings *settings, const std::atomic<bool> *stopping)
{
    runner run;
    run.settings = settings;
    run.view = settings->job.view;
    bool told_stop = false;
    for (bool first = true;; first = false) {
        if (*stopping)
            run.taking = false;
        scan(&run, first);
        if (first && settings->watch)
            tell_watch_start(&run);
        reap(&run);
        if (settings->watch && *stopping && !told_stop) {
            told_stop = true;
            say(&run, "kep-update: taking no new boards; " + std::to_string(running_count(&run)) +
                          " running to finish (Ctrl-C again interrupts them)\n");
        }
        draw(&run);
        bool open = settings->watch && run.taking;
        bool running = std::any_of(run.slots.begin(), run.slots.end(),
                                   [](const auto &s) { return s->worker.joinable(); });
        if (!open && !running) {
            reap(&run); // what ended since this scan's reaping
            break;
        }
        sleep_ms(RUNNER_TICK_MS);
    }
    view_close(run.view);
    if (settings->watch && !settings->quiet)
        view_note(run.view, "kep-update: watch ended: " + tally(&run, 0) + "\n");
    if (!settings->watch)
        tell_list_end(&run);
    return run.worst;
}
