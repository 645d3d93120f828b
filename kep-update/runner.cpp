#include "runner.h"

#include "live_view.h"
#include "os_services.h"
#include "port_presence.h"
#include "progress_line.h"
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
    const run_settings *settings;
    live_view *view;
    port_presence presence;
    std::vector<std::unique_ptr<board>> boards; // a watch drops each once reaped
    size_t reaped = 0;                          // of a list: the first ones are done
    int passed = 0, failed = 0, worst = 0;
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
    record.check = settings->job.check;
    record.outcome = outcome_words(r.outcome, settings->job.check);
    record.exit_status = outcome_status(r.outcome);
    record.blocks_acknowledged = r.blocks_acknowledged;
    record.blocks_refused = r.blocks_refused;
    record.blocks_total = r.blocks_total;
    record.resends = r.resends;
    record.seconds = r.seconds;
    record.message = r.message;
    record.numbered = b->numbered;
    record.serial_number = b->serial_number;
    record.written_sha256 = b->numbered ? b->image.sha256 : settings->job.image->sha256;
    std::string why;
    b->recorded = report_append(settings->report, format_report_record(&record), &why);
    if (!b->recorded)
        view_note(settings->job.view, "kep-update: " + b->job.port +
                                          ": its record could not be written to the report (" +
                                          why + "); the report holds every record before it\n");
}

// Takes the board's number and makes its copy of the image, before its port
// is touched. False when no number could be taken: the board is left alone.
static bool number_board(const run_settings *settings, board *b)
{
    if (!settings->serial.used || settings->job.check)
        return true;
    std::string why;
    b->numbered = take_serial_number(settings->serial, &b->serial_number, &why);
    if (!b->numbered) {
        b->job.result.outcome = OUTCOME_NO_SERIAL_NUMBER;
        b->job.result.message = why;
        std::lock_guard<std::mutex> hold(b->job.mutex);
        b->job.snapshot.outcome = OUTCOME_NO_SERIAL_NUMBER;
        return false;
    }
    patch_serial_number(*settings->job.image, settings->serial, b->serial_number, &b->image);
    return true;
}

static void start_board(runner *run, const std::string &port)
{
    run->boards.push_back(std::make_unique<board>());
    board *b = run->boards.back().get();
    b->job.port = port;
    const run_settings *settings = run->settings;
    b->worker = std::thread([b, settings] {
        b->usb = port_usb_identity(b->job.port);
        b->started_ms = wall_clock_ms();
        if (number_board(settings, b))
            run_board_job(&b->job, &settings->job, b->numbered ? &b->image : settings->job.image);
        b->ended_ms = wall_clock_ms();
        if (settings->report)
            record(settings, b);
        b->done = true;
    });
}

static std::string clock_time()
{
    time_t now = time(nullptr);
    char text[16];
    strftime(text, sizeof text, "%H:%M:%S", localtime(&now)); // only the runner's thread calls
    return text;
}

// "23:59:01  /dev/ttyUSB0  serial A1B2C3  updated  3.2 s", and why when it failed.
static std::string finished_line(const runner *run, const board *b)
{
    const job_result &r = b->job.result;
    char seconds[32];
    snprintf(seconds, sizeof seconds, "%.1f s", r.seconds);
    std::string line = clock_time() + "  " + b->job.port + "  serial " +
                       (b->usb.serial.empty() ? "-" : b->usb.serial) +
                       (b->numbered ? "  number " + std::to_string(b->serial_number) : "") + "  " +
                       outcome_words(r.outcome, run->settings->job.check) + "  " + seconds + "\n";
    if (!r.message.empty())
        line += "kep-update: " + b->job.port + ": " + r.message + "\n";
    return line;
}

static std::string tally(const runner *run, size_t running)
{
    char text[120];
    snprintf(text, sizeof text, "%s %d  failed %d  in progress %zu",
             run->settings->job.check ? "equal" : "updated", run->passed, run->failed, running);
    return text;
}

static size_t running_count(const runner *run)
{
    return run->settings->watch ? run->boards.size() : run->boards.size() - run->reaped;
}

// Lines for standard error: on a terminal above the area, else unless --quiet.
static void say(runner *run, const std::string &lines)
{
    if (!run->settings->quiet)
        view_note(run->view, lines);
}

static void reap_one(runner *run, board *b)
{
    b->worker.join();
    int status = board_status(b);
    run->worst = std::max(run->worst, status);
    (status == EXIT_UPDATED ? run->passed : run->failed)++;
    if (!run->settings->watch)
        return; // a list's boards keep their line, and are told of at the end
    presence_job_ended(&run->presence, b->job.port);
    std::string line = finished_line(run, b);
    if (view_has_area(run->view))
        view_note(run->view, line);
    else if (!run->settings->quiet)
        view_note(run->view, line + tally(run, running_count(run) - 1) + "\n");
    else if (status != EXIT_UPDATED)
        view_note(run->view, line);
    bool unnumbered = b->job.result.outcome == OUTCOME_NO_SERIAL_NUMBER;
    if ((!b->recorded || unnumbered) && !run->refusing) {
        run->refusing = true;
        view_note(run->view, std::string("kep-update: taking no new boards, since ") +
                                 (unnumbered ? "no serial number could be taken"
                                             : "a record could not be written") +
                                 "; the running ones finish\n");
    }
}

static void reap(runner *run)
{
    for (size_t i = run->settings->watch ? 0 : run->reaped; i < run->boards.size();) {
        board *b = run->boards[i].get();
        if (!b->done) {
            if (!run->settings->watch)
                break; // a list is reaped in its order, so its summary keeps it
            ++i;
            continue;
        }
        reap_one(run, b);
        if (run->settings->watch) {
            run->boards.erase(run->boards.begin() + (long)i);
        } else {
            run->reaped++;
            i++;
        }
    }
}

static void draw(runner *run)
{
    if (!view_has_area(run->view))
        return;
    const job_settings &job = run->settings->job;
    int32_t blocks = padded_size(*job.image) / MODBUS_PROG_BLOCKSIZE_MAX;
    bool labelled = job.prefixed || run->settings->watch;
    int width = view_width(run->view);
    uint32_t now = tick_count_ms();
    std::vector<std::string> lines;
    for (const auto &b : run->boards)
        lines.push_back(progress_line(labelled ? b->job.port : "", job_progress(&b->job), blocks,
                                      job.check, now, width));
    if (run->settings->watch)
        lines.push_back(tally(run, run->boards.size()));
    view_draw(run->view, lines);
}

// The ports whose update starts now.
static std::vector<std::string> new_ports(runner *run, bool first)
{
    const run_settings *settings = run->settings;
    if (!settings->watch)
        return first ? settings->ports : std::vector<std::string>{};
    return presence_scan(&run->presence, matching_ports(settings->ports));
}

int run_boards(const run_settings *settings, const std::atomic<bool> *stopping)
{
    runner run{settings, settings->job.view, {}, {}, 0, 0, 0, 0, false};
    run.presence.skip_present = settings->skip_present;
    bool told_stop = false;
    for (bool first = true;; first = false) {
        if (!*stopping && !run.refusing)
            for (const auto &port : new_ports(&run, first))
                start_board(&run, port);
        if (first && settings->watch) { // from now on, what is plugged in is new
            std::string watched;
            for (const auto &pattern : settings->ports)
                watched += (watched.empty() ? "" : ", ") + pattern;
            say(&run, "kep-update: watching " + watched + " (Ctrl-C: take no new boards)\n");
        }
        reap(&run);
        if (settings->watch && *stopping && !told_stop) {
            told_stop = true;
            say(&run, "kep-update: taking no new boards; " + std::to_string(run.boards.size()) +
                          " running to finish (Ctrl-C again interrupts them)\n");
        }
        draw(&run);
        bool open = settings->watch && !*stopping && !run.refusing;
        if (!open && running_count(&run) == 0)
            break;
        sleep_ms(RUNNER_TICK_MS);
    }
    view_close(run.view);
    if (settings->watch && !settings->quiet)
        view_note(run.view, "kep-update: watch ended: " + tally(&run, 0) + "\n");
    if (!settings->watch)
        for (const auto &b : run.boards)
            if (b->job.result.outcome != OUTCOME_UPDATED)
                view_note(run.view, "kep-update: " +
                                        (settings->job.prefixed ? b->job.port + ": " : "") +
                                        b->job.result.message + "\n");
    if (!settings->watch && settings->job.prefixed)
        view_note(run.view, format_summary(run.boards, settings->job.check));
    return run.worst;
}
