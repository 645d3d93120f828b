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
    std::vector<std::unique_ptr<slot>> slots; // a watch's by port name, a list's in its order
    std::atomic<bool> taking{true};             // slots may start new boards
    int passed = 0, failed = 0, worst = 0;
    int updates = 0, updates_passed = 0; // for the first-pass yield
    uint32_t started_ms = 0;
    bool refusing = false; // takes no new boards
};

static void record(const run_settings *settings, board *b)
{
    const job_result &r = b->job.result;
    report_record record;
    record.started_ms = b->started_ms;
    record.ended_ms = b->ended_ms;
    record.port = b->job.port;
    record.usb = b->usb;
    record.image = settings->job.image;
    record.check = b->check;
    record.outcome = outcome_words(r.outcome, b->check);
    record.exit_status = outcome_status(r.outcome);
    record.blocks_acknowledged = r.blocks_acknowledged;
    record.blocks_refused = r.blocks_refused;
    record.blocks_total = r.blocks_total;
    record.resends = r.resends;
    record.seconds = r.seconds;
    record.message = r.message;
    record.numbered = b->job.numbered;
    record.serial_number = b->job.serial_number;
    record.written_sha256 = b->job.numbered ? b->job.numbered_image.sha256
                                            : settings->job.image->sha256;
    std::string why;
    b->recorded = report_append(settings->report, format_report_record(&record), &why);
    if (!b->recorded)
        view_note(settings->job.view, "kep-update: " + b->job.port +
                                          ": its record could not be written to the report (" +
                                          why + "); the report holds every record before it\n");
}

static void set_slot(slot *s, slot_state state, const std::string &shown = "")
{
    std::lock_guard<std::mutex> hold(s->mutex);
    s->state = state;
    s->shown = shown;
}

// The verdict that starts a finished board's line and its row.
static const char *verdict(const board *b)
{
    outcome_id outcome = b->job.result.outcome;
    if (b->check) // a check wrote nothing: it never says FAILED
        return outcome_passed(outcome)             ? "EQUAL"
               : outcome == OUTCOME_VERIFY_FAILED ? "DIFFERS"
                                                  : "UNCHECKED";
    return outcome_passed(outcome) ? "PASS" : "FAILED";
}

// The row a board leaves behind it until it leaves the slot.
static void show_result(const run_settings *settings, slot *s, const board *b)
{
    const board_job &job = b->job;
    if (!outcome_passed(job.result.outcome)) {
        s->state = SLOT_FAILED;
        s->shown = std::string(verdict(b)) + (job.result.outcome == OUTCOME_VERIFY_FAILED && b->check
                                                   ? ""
                                                   : std::string(": ") + outcome_reason(job.result.outcome));
    } else {
        s->state = b->check && !settings->job.check ? SLOT_HOLDS : SLOT_PASSED;
        s->shown = job.numbered ? std::to_string(job.serial_number) : "";
    }
}

// A board has ended: recorded, shown and handed to the runner to reap.
static void end_board(const run_settings *settings, slot *s, std::unique_ptr<board> b)
{
    b->usb = port_usb_identity(s->port);
    b->ended_ms = wall_clock_ms();
    if (settings->report)
        record(settings, b.get());
    std::lock_guard<std::mutex> hold(s->mutex);
    s->running = nullptr;
    if (settings->watch)
        show_result(settings, s, b.get());
    s->ended.push_back(std::move(b));
}

// Runs one board on `link` (open) or, without one, on its own opening of
// the port.
static void run_one(const run_settings *settings, slot *s, std::unique_ptr<board> b,
                    update_link *link)
{
    b->job.port = s->port;
    b->check = settings->job.check;
    b->started_ms = wall_clock_ms();
    {
        std::lock_guard<std::mutex> hold(s->mutex);
        s->state = SLOT_BUSY;
        s->running = b.get();
    }
    if (link)
        run_board_job(&b->job, &settings->job, link);
    else
        run_board_on_port(&b->job, &settings->job);
    end_board(settings, s, std::move(b));
}

static slot_state state_of(slot *s)
{
    std::lock_guard<std::mutex> hold(s->mutex);
    return s->state;
}

static bool opened(const run_settings *settings, slot *s, update_link *link)
{
    board_job opening;
    opening.port = s->port;
    if (open_board_port(&opening, &settings->job, link))
        return true;
    set_slot(s, SLOT_NO_PORT, opening.result.message);
    return false;
}

// A watched port: looks for a board with the engine's own contact request
// and asks a bootloader that answers for its CRC of the image. A board
// whose CRC differs is updated; one that holds the image is recorded once.
// A board's result stays until it leaves (no bootloader's answer for
// BOARD_LEFT_MS); a board that passed is asked again meanwhile, so that
// one swapped in quicker than that is still found, while a failed one
// stays shown until the slot has been empty.
static void watch_slot(const run_settings *settings, const std::atomic<bool> *taking, slot *s)
{
    update_link link;
    std::vector<uint8_t> frame;
    prepare_link(&link, &frame, s->port);
    uint32_t answered_at = tick_count_ms();
    slot_state state = s->leave_alone ? SLOT_LEFT_ALONE : SLOT_EMPTY;
    set_slot(s, state);
    while (!s->leave && *taking && !settings->job.interrupted->load()) {
        if (link.handle == INVALID_PORT_HANDLE && !opened(settings, s, &link)) {
            for (uint32_t waited = 0; waited < REOPEN_PAUSE_MS && !s->leave && *taking;
                 waited += RUNNER_TICK_MS)
                sleep_ms(RUNNER_TICK_MS);
            continue;
        }
        auto look = std::make_unique<board>();
        look->job.port = s->port;
        look->started_ms = wall_clock_ms();
        link.state = STATE_START;
        run_board_job(&look->job, &s->look, &link);
        outcome_id seen = look->job.result.outcome;
        if (seen == OUTCOME_PORT_LOST || seen == OUTCOME_STALLED) {
            port_close(link.handle);
            link.handle = INVALID_PORT_HANDLE;
            set_slot(s, state = SLOT_NO_PORT, outcome_words(seen, false));
            continue;
        }
        uint32_t now = tick_count_ms();
        if (seen == OUTCOME_TIMED_OUT && link.state <= STATE_CONTACT) { // nobody answered
            if (state != SLOT_EMPTY && now - answered_at > BOARD_LEFT_MS)
                set_slot(s, state = SLOT_EMPTY);
            continue;
        }
        if (seen == OUTCOME_INTERRUPTED)
            break;
        answered_at = now;
        if (seen == OUTCOME_NOT_IN_BOOTLOADER) {
            if (state == SLOT_EMPTY || state == SLOT_NO_PORT)
                set_slot(s, state = SLOT_NOT_IN_BOOTLOADER);
            continue;
        }
        bool found = state == SLOT_EMPTY || state == SLOT_NOT_IN_BOOTLOADER || state == SLOT_NO_PORT;
        bool differs = seen == OUTCOME_VERIFY_FAILED || seen == OUTCOME_VERIFY_REFUSED;
        bool another = (state == SLOT_PASSED || state == SLOT_HOLDS) && differs;
        if (!found && !another)
            continue; // the same board, or a failed one not yet removed
        if (!*taking)
            break;
        if (outcome_passed(seen) || settings->job.check) {
            look->check = true; // the look is the board's record
            release_held_trace(&look->job);
            end_board(settings, s, std::move(look));
        } else {
            auto update = std::make_unique<board>();
            update->job.held_trace = std::move(look->job.held_trace);
            link.state = STATE_LINKED; // it answered contact: on to its number and first block
            run_one(settings, s, std::move(update), &link);
        }
        state = state_of(s);
        answered_at = tick_count_ms();
    }
    if (link.handle != INVALID_PORT_HANDLE)
        port_close(link.handle);
}

static void start_slot(runner *run, const std::string &port, bool leave_alone)
{
    auto made = std::make_unique<slot>();
    slot *s = made.get();
    s->port = port;
    s->leave_alone = leave_alone;
    const run_settings *settings = run->settings;
    s->look = settings->job;
    s->look.check = true;
    s->look.probe = true;
    s->look.timeout_ms = LOOK_TIMEOUT_MS;
    const std::atomic<bool> *taking = &run->taking;
    s->worker = std::thread([settings, taking, s] {
        if (settings->watch)
            watch_slot(settings, taking, s);
        else
            run_one(settings, s, std::make_unique<board>(), nullptr);
        s->done = true;
    });
    auto at = run->slots.end();
    if (settings->watch) // rows in a fixed order, by port name
        at = std::upper_bound(run->slots.begin(), run->slots.end(), port,
                              [](const std::string &name, const auto &other) {
                                  return name < other->port;
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
static std::string finished_line(const board *b)
{
    const job_result &r = b->job.result;
    char head[64];
    snprintf(head, sizeof head, "%s  %-7s ", clock_time().c_str(), verdict(b));
    char seconds[32];
    snprintf(seconds, sizeof seconds, "%.1f s", r.seconds);
    std::string line = head + b->job.port + "  adapter " +
                       (b->usb.serial.empty() ? "-" : b->usb.serial) +
                       (b->job.numbered ? "  serial number " + std::to_string(b->job.serial_number)
                                        : "") +
                       "  " + outcome_words(r.outcome, b->check) + "  " + seconds + "\n";
    if (!r.message.empty())
        line += "kep-update: " + b->job.port + ": " + r.message + "\n";
    return line;
}

// "passed 12  failed 1  first-pass yield 92%  140 boards/h  in progress 2"; a check's
// "equal 12  not equal 1".
static std::string tally(const runner *run, size_t running)
{
    bool check = run->settings->job.check;
    std::string text = std::string(check ? "equal " : "passed ") + std::to_string(run->passed) +
                       (check ? "  not equal " : "  failed ") + std::to_string(run->failed);
    if (run->updates > 0)
        text += "  first-pass yield " + std::to_string(run->updates_passed * 100 / run->updates) + "%";
    // A rate from the first minute would promise what no line does.
    uint32_t ran_ms = tick_count_ms() - run->started_ms;
    if (ran_ms >= RATE_AFTER_MS)
        text += "  " + std::to_string((int)((run->passed + run->failed) * 3600000.0 / ran_ms + 0.5)) +
                " boards/h";
    return text + "  in progress " + std::to_string(running);
}

static size_t running_count(runner *run)
{
    size_t running = 0;
    for (const auto &s : run->slots)
        running += state_of(s.get()) == SLOT_BUSY;
    return running;
}

// Lines for standard error: on a terminal above the area, else unless --quiet.
static void say(runner *run, const std::string &lines)
{
    if (!run->settings->quiet)
        view_note(run->view, lines);
}

static void reap_board(runner *run, const board *b)
{
    int status = board_status(b);
    run->worst = std::max(run->worst, status);
    (status == EXIT_UPDATED ? run->passed : run->failed)++;
    if (!b->check) {
        run->updates++;
        run->updates_passed += status == EXIT_UPDATED;
    }
    if (!run->settings->watch)
        return; // a list's boards keep their line, and are told of at the end
    if (status != EXIT_UPDATED && run->settings->bell)
        view_bell(run->view);
    std::string line = finished_line(b);
    if (view_has_area(run->view))
        view_note(run->view, line);
    else if (!run->settings->quiet)
        view_note(run->view, line + tally(run, running_count(run)) + "\n");
    else if (status != EXIT_UPDATED)
        view_note(run->view, line);
    bool unnumbered = b->job.result.outcome == OUTCOME_NO_SERIAL_NUMBER;
    if ((!b->recorded || unnumbered) && !run->refusing) {
        run->refusing = true;
        run->taking = false;
        view_note(run->view, std::string("kep-update: taking no new boards, since ") +
                                 (unnumbered ? "no serial number could be taken"
                                             : "a record could not be written") +
                                 "; the running ones finish\n");
    }
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
            reap_board(run, b);
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

static std::string slot_row(const runner *run, slot *s, int32_t blocks, uint32_t now, int width,
                            view_colour *colour)
{
    std::lock_guard<std::mutex> hold(s->mutex);
    const job_settings &job = run->settings->job;
    *colour = COLOUR_NONE;
    std::string text;
    switch (s->state) {
    case SLOT_BUSY:
        if (s->running)
            return progress_line(s->port, job_progress(&s->running->job), blocks, job.check, now,
                                 width);
        [[fallthrough]];
    case SLOT_EMPTY: text = "empty"; break;
    case SLOT_PASSED:
        *colour = COLOUR_PASS;
        text = std::string(job.check ? "EQUAL" : "PASS") +
               (s->shown.empty() ? "" : " number " + s->shown);
        break;
    case SLOT_HOLDS:
        *colour = COLOUR_PASS;
        text = "holds the image";
        break;
    case SLOT_FAILED:
        *colour = COLOUR_FAIL;
        text = s->shown + " \u2014 remove";
        break;
    case SLOT_NOT_IN_BOOTLOADER: text = "not in its bootloader"; break;
    case SLOT_LEFT_ALONE: text = "left alone until removed (present at the start)"; break;
    case SLOT_NO_PORT: text = s->shown; break;
    }
    // On a narrow terminal the port's folder goes first, so that the result stays readable.
    std::string name = s->port;
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

int run_boards(const run_settings *settings, const std::atomic<bool> *stopping)
{
    runner run;
    run.settings = settings;
    run.view = settings->job.view;
    run.started_ms = tick_count_ms();
    bool told_stop = false;
    for (bool first = true;; first = false) {
        if (*stopping)
            run.taking = false;
        scan(&run, first);
        if (first && settings->watch) {
            std::string watched;
            for (const auto &pattern : settings->ports)
                watched += (watched.empty() ? "" : ", ") + pattern;
            say(&run, "kep-update: watching " + watched + " (Ctrl-C: take no new boards)\n");
        }
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
    if (settings->watch)
        return run.worst;
    std::vector<const board *> boards;
    for (const auto &s : run.slots)
        for (const auto &b : s->ended)
            boards.push_back(b.get());
    for (const board *b : boards)
        if (!b->job.result.message.empty())
            view_note(run.view, "kep-update: " + (settings->job.prefixed ? b->job.port + ": " : "") +
                                    b->job.result.message + "\n");
    if (settings->job.prefixed)
        view_note(run.view, format_summary(boards, settings->job.check));
    return run.worst;
}
