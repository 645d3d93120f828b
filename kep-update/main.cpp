// kep-update: the command-line front end over the update engine.
#include "cli_options.h"
#include "database/database_summary.h"
#include "database/station_database.h"
#include "image_description.h"
#include "live_view.h"
#include "outcome.h"
#include "record_sink.h"
#include "report_summary.h"
#include "runner.h"
#include "serial/port_list.h"
#include "serial_number.h"
#include "serial_source.h"
#include "system.h"
#include "update_image.h"

#include <atomic>
#include <cstdio>

static std::atomic<bool> interrupted{false};
// --watch: the first stop signal only stops taking new boards; the next interrupts.
static std::atomic<bool> stopping{false};
static bool watching = false;

static void on_stop_signal(int)
{
    if (watching && !stopping)
        stopping = true;
    else
        interrupted = true;
}

static int list_ports()
{
    auto ports = list_serial_ports();
    for (const auto &port : ports)
        printf("%s%s%s\n", port.label.c_str(), port.description.empty() ? "" : "  ",
               port.description.c_str());
    if (ports.empty())
        fprintf(stderr, "kep-update: no serial ports found\n");
    return EXIT_UPDATED;
}

// --summarize: the report files read back, with the serial file's ledger,
// or the line's records and ledger in the database.
static int summarize(const cli_options &options)
{
    std::string summary, problems;
    std::vector<std::string> ledgers;
    if (!options.serial.file.empty()) // the burnt numbers are in its ledger
        ledgers.push_back(ledger_path(options.serial));
    int status = options.database.empty()
                     ? summarize_reports(options.summarize, ledgers, options.json, &summary,
                                         &problems)
                     : summarize_database(options.database, options.origin, options.json,
                                          &summary, &problems);
    fputs(problems.c_str(), stderr);
    fputs(summary.c_str(), stdout);
    return status;
}

// The image to write, refused before any port is touched when it is not
// the one expected or its serial number's field or file will not do.
static bool load_image(const cli_options &options, update_image *image)
{
    std::string problem;
    bool loaded = load_update_image(options.image_path, image, &problem);
    if (loaded && !options.expect_sha256.empty() && image->sha256 != options.expect_sha256) {
        problem = "image " + image->path + " has SHA-256 " + image->sha256 + ", not the expected " +
                  options.expect_sha256 + "; it is not written";
    } else if (loaded && options.serial.used) {
        problem = check_serial_field(*image, options.serial);
        if (problem.empty() && !options.check && options.database.empty())
            problem = check_serial_file(options.serial);
    }
    if (!problem.empty())
        fprintf(stderr, "kep-update: %s\n", problem.c_str());
    return problem.empty();
}

// The line's database, reached and checked before any port is touched.
static bool open_database(const cli_options &options, report_file *report, station_database *db)
{
    db->connection = options.database;
    db->station = options.origin.station;
    db->pool = options.serial_pool;
    db->serial = &options.serial;
    db->report = options.report_path.empty() ? nullptr : report;
    std::string folder = station_state_folder();
    db->outbox = !options.outbox.empty() ? options.outbox
                 : folder.empty()        ? "kep-update-outbox.jsonl"
                                         : folder + "/outbox.jsonl";
    std::string why;
    if (!database_open(db, options.serial.used && !options.check, &why)) {
        fprintf(stderr, "kep-update: %s\n", why.c_str());
        return false;
    }
    database_start_sending(db);
    return true;
}

static void close_database(station_database *db)
{
    int left = 0;
    database_close(db, &left);
    if (left > 0)
        fprintf(stderr,
                "kep-update: %d records wait in the outbox %s for the database at %s; the "
                "next kep-update --database sends them\n",
                left, db->outbox.c_str(), db->server.c_str());
}

static void settle_run(const cli_options &options, live_view *view, run_settings *settings)
{
    settings->ports = options.watch && options.ports.empty() ? default_port_patterns() : options.ports;
    settings->watch = options.watch;
    settings->skip_present = options.skip_present;
    settings->bell = options.bell;
    settings->quiet = options.quiet;
    settings->origin = options.origin;
    settings->slot_names = options.slot_names;
    settings->job.serial = &options.serial;
    settings->job.fixture = options.watch;
    settings->job.check = options.check;
    settings->job.skip_unchanged = options.skip_unchanged;
    settings->job.timeout_ms = (uint32_t)(options.timeout_seconds * 1000 + 0.5);
    settings->job.interrupted = &interrupted;
    settings->job.view = view;
    settings->job.status_lines = !options.quiet && !view_has_area(view);
    settings->job.prefixed = options.watch || options.ports.size() > 1;
}

int main(int argc, char **argv)
{
    // Before anything is opened: no port or report may become standard
    // output or error, and a closed pipe must not end an update.
    guard_standard_streams();
    std::vector<std::string> words = program_arguments(argc, argv);
    std::vector<char *> word_pointers;
    for (auto &word : words)
        word_pointers.push_back(word.data());
    cli_options options;
    int status = parse_cli_options((int)word_pointers.size(), word_pointers.data(), &options);
    if (status >= 0)
        return status;
    if (options.list_ports)
        return list_ports();
    if (options.describe)
        return describe_image(options.image_path);
    if (options.summarizing)
        return summarize(options);
    if (options.init_database)
        return database_init(options.database, options.serial_pool,
                             options.serial.has_start ? options.serial.start : 1);
    update_image image;
    if (!load_image(options, &image))
        return EXIT_USAGE;
    trace_update_image(image);
    report_file report;
    std::string error;
    if (!options.report_path.empty() && !report_open(&report, options.report_path, &error)) {
        fprintf(stderr, "kep-update: %s\n", error.c_str());
        return EXIT_USAGE;
    }
    if (options.origin.station.empty())
        options.origin.station = host_name();
    record_sink records = report_file_sink(&report);
    serial_file_source serial_file{&options.serial, options.origin.station};
    serial_source serials = file_serial_source(&serial_file);
    station_database database;
    if (!options.database.empty()) {
        if (!open_database(options, &report, &database))
            return EXIT_USAGE;
        records = database_record_sink(&database);
        serials = database_serial_source(&database);
    }

    watching = options.watch; // before a signal can come
    catch_stop_signals(on_stop_signal);

    live_view view;
    view_open(&view, !options.quiet, options.watch);
    run_settings settings;
    settle_run(options, &view, &settings);
    settings.records = options.report_path.empty() && options.database.empty() ? nullptr : &records;
    settings.job.image = &image;
    settings.job.serials = &serials;
    int worst = run_boards(&settings, &stopping);
    if (!options.database.empty())
        close_database(&database);
    report_close(&report);
    return worst;
}
