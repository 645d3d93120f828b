#include "watch.h"

#include "os_services.h"
#include "system.h"
#include "port_presence.h"
#include "progress_display.h"
#include "system.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <thread>

struct watched_board {
    port_job job;
    station_result result;
    std::thread worker;
    std::atomic<bool> done{false};
};

struct watch_view {
    int lines_drawn = 0;
    std::string pending; // lines for the scroll-back since the last drawing
    int passed = 0, failed = 0;
};

static std::string clock_time()
{
    time_t now = time(nullptr);
    char text[16];
    strftime(text, sizeof text, "%H:%M:%S", localtime(&now)); // only the loop's thread calls
    return text;
}

// "23:59:01  /dev/ttyUSB0  serial A1B2C3  updated  3.2 s", and why when it failed.
static std::string finished_line(const watched_board *board)
{
    const port_job *job = &board->job;
    const usb_identity &usb = board->result.usb;
    char seconds[32];
    snprintf(seconds, sizeof seconds, "%.1f s", (job->ended_ms - job->started_ms) / 1000.0);
    std::string line = clock_time() + "  " + job->port_name + "  serial " +
                       (usb.serial.empty() ? "-" : usb.serial) + "  " + job_result_text(job) +
                       "  " + seconds + "\n";
    if (job->outcome == JOB_OPEN_FAILED)
        line += job->message; // the report text ends its own lines
    else if (!job->message.empty())
        line += "kep-update: " + job->port_name + ": " + job->message + "\n";
    return line;
}

static std::string tally(const watch_view *view, size_t running, bool check)
{
    char text[120];
    snprintf(text, sizeof text, "%s %d  failed %d  in progress %zu", check ? "equal" : "updated",
             view->passed, view->failed, running);
    return text;
}

static void draw(watch_view *view, const std::vector<std::unique_ptr<watched_board>> &boards,
                 const station_context *context)
{
    std::string out = "\r";
    if (view->lines_drawn > 1)
        out += "\033[" + std::to_string(view->lines_drawn - 1) + "A";
    out += "\033[J" + view->pending;
    view->pending.clear();
    uint32_t now = tick_count_ms();
    int width = terminal_columns(80) - 1; // a full line would wrap and break the redraw
    for (const auto &board : boards)
        out += progress_line(&board->job, context->image_size, now, width) + "\n";
    out += tally(view, boards.size(), context->check);
    view->lines_drawn = (int)boards.size() + 1;
    fputs(out.c_str(), stderr);
    fflush(stderr);
}

static void start_board(std::vector<std::unique_ptr<watched_board>> *boards,
                        const std::string &port, const watch_settings *settings,
                        const station_context *context)
{
    boards->push_back(std::make_unique<watched_board>());
    watched_board *board = boards->back().get();
    board->job.port_name = port;
    board->job.prefix = port + ": ";
    board->job.show_status_lines = !settings->quiet && !settings->terminal;
    board->worker = std::thread([board, context] {
        run_station_job(&board->job, context, &board->result);
        board->done = true;
    });
}

// Joins the boards that have ended and notes them. Returns the highest status.
static int reap(std::vector<std::unique_ptr<watched_board>> *boards, port_presence *presence,
                watch_view *view, const watch_settings *settings, const station_context *context)
{
    int worst = 0;
    for (auto it = boards->begin(); it != boards->end();) {
        watched_board *board = it->get();
        if (!board->done) {
            ++it;
            continue;
        }
        board->worker.join();
        presence_job_ended(presence, board->job.port_name);
        int status = (int)job_exit_status(&board->job);
        worst = std::max(worst, status);
        (status == EXIT_UPDATED ? view->passed : view->failed)++;
        std::string line = finished_line(board);
        it = boards->erase(it);
        if (settings->terminal) {
            view->pending += line;
        } else if (!settings->quiet) {
            fputs(line.c_str(), stderr);
            fprintf(stderr, "%s\n", tally(view, boards->size(), context->check).c_str());
        } else if (status != EXIT_UPDATED) {
            fputs(line.c_str(), stderr);
        }
    }
    return worst;
}

static void say(watch_view *view, const watch_settings *settings, const std::string &line)
{
    if (settings->terminal)
        view->pending += line;
    else if (!settings->quiet)
        fputs(line.c_str(), stderr);
}

int run_watch(const watch_settings *settings, const station_context *context,
              const std::atomic<bool> *stopping)
{
    port_presence presence;
    presence.skip_present = settings->skip_present;
    std::vector<std::unique_ptr<watched_board>> boards;
    watch_view view;
    std::string watched;
    for (const auto &pattern : settings->patterns)
        watched += (watched.empty() ? "" : ", ") + pattern;
    int worst = 0;
    bool told_stop = false;
    for (;;) {
        if (!*stopping)
            for (const auto &port : presence_scan(&presence, matching_ports(settings->patterns)))
                start_board(&boards, port, settings, context);
        if (!watched.empty()) // after the first scan: what is plugged in from now on is new
            say(&view, settings,
                "kep-update: watching " + watched + " (Ctrl-C: take no new boards)\n");
        watched.clear();
        worst = std::max(worst, reap(&boards, &presence, &view, settings, context));
        if (*stopping && !told_stop) {
            told_stop = true;
            say(&view, settings,
                "kep-update: taking no new boards; " + std::to_string(boards.size()) +
                    " running to finish (Ctrl-C again interrupts them)\n");
        }
        if (settings->terminal)
            draw(&view, boards, context);
        if (*stopping && boards.empty())
            break;
        sleep_ms(WATCH_SCAN_MS);
    }
    if (settings->terminal)
        fputs("\n", stderr);
    if (!settings->quiet)
        fprintf(stderr, "kep-update: watch ended: %s\n", tally(&view, 0, context->check).c_str());
    return worst;
}
