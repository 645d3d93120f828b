// kep-update: the command-line front end over the update engine.
#include "cli_options.h"
#include "firmware_image.h"
#include "image_description.h"
#include "image_file.h"
#include "os_services.h"
#include "port_job.h"
#include "system.h"
#include "progress_display.h"
#include "report_log.h"
#include "serial/port_list.h"
#include "station_job.h"
#include "summary.h"
#include "system.h"
#include "watch.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <unistd.h>

#define DISPLAY_REFRESH_MS 100u

static std::atomic<bool> interrupted{false};
// --watch: the first Ctrl-C only stops taking new boards; the next interrupts.
static std::atomic<bool> stopping{false};
static bool watching = false;

static void on_interrupt(int)
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

// The padded image in `link`: from --image, or the one built in. `*size`: its
// bytes before padding.
static bool load_image(const cli_options &options, update_link *link, int32_t *size,
                       const char **format)
{
    if (options.image_path.empty()) {
        find_firmware_resource(size);
        load_firmware_image(link);
        return true;
    }
    flat_image file;
    if (!read_image_file(options.image_path, &file)) {
        fprintf(stderr, "kep-update: %s\n", file.error.c_str());
        return false;
    }
    *size = (int32_t)file.bytes.size();
    *format = image_format_name(file.format);
    if (!set_firmware_image(link, file.bytes.data(), (int32_t)file.bytes.size())) {
        fprintf(stderr, "kep-update: not enough memory for the image\n");
        return false;
    }
    trace_firmware_image(link);
    return true;
}

static void report_end(const port_job *job, bool several)
{
    if (job->outcome == JOB_UPDATED)
        return;
    fprintf(stderr, "kep-update: %s%s\n", several ? job->prefix.c_str() : "", job->message.c_str());
}

int main(int argc, char **argv)
{
    cli_options options;
    int status = parse_cli_options(argc, argv, &options);
    if (status >= 0)
        return status;
    if (options.list_ports)
        return list_ports();
    if (options.describe)
        return describe_image(options.image_path);

    update_link image{};
    int32_t image_bytes = 0;
    const char *format = "built-in";
    if (!load_image(options, &image, &image_bytes, &format))
        return EXIT_USAGE;
    image_identity image_id =
        identify_image(options.image_path, format, image.image, image_bytes, image.image_size);
    report_file report;
    std::string report_error;
    if (!options.report_path.empty() && !report_open(&report, options.report_path, &report_error)) {
        fprintf(stderr, "kep-update: %s\n", report_error.c_str());
        free(image.image);
        return EXIT_USAGE;
    }
    job_limits limits{(uint32_t)(options.timeout_seconds * 1000), &interrupted};
    station_context station{image.image,
                            image.image_size,
                            &limits,
                            options.check,
                            options.report_path.empty() ? nullptr : &report,
                            &image_id};

    watching = options.watch; // before a signal can come
    std::signal(SIGINT, on_interrupt);
    std::signal(SIGTERM, on_interrupt);

    bool several = options.ports.size() > 1;
    bool terminal = !options.quiet && isatty(fileno(stderr));
    if (options.watch) {
        watch_settings settings{options.ports.empty() ? default_port_patterns() : options.ports,
                                options.skip_present, terminal, options.quiet};
        int worst = run_watch(&settings, &station, &stopping);
        report_close(&report);
        free(image.image);
        return worst;
    }
    // When the trace shares the terminal, its lines go above the progress area.
    bool shared_terminal = terminal && isatty(fileno(stdout));
    std::vector<std::unique_ptr<port_job>> jobs;
    progress_display display;
    display.image_size = image.image_size;
    // One column short of the edge: a line that fills it would wrap on some terminals.
    display.width = terminal_columns(display.width + 1) - 1;
    for (const auto &port : options.ports) {
        jobs.push_back(std::make_unique<port_job>());
        port_job *job = jobs.back().get();
        job->port_name = port;
        job->prefix = several ? port + ": " : "";
        job->show_status_lines = !options.quiet && !terminal;
        job->display = shared_terminal ? &display : nullptr;
        display.jobs.push_back(job);
    }

    std::atomic<size_t> finished{0};
    std::vector<std::thread> workers;
    std::vector<station_result> results(jobs.size());
    for (size_t i = 0; i < jobs.size(); i++)
        workers.emplace_back([&, i] {
            run_station_job(jobs[i].get(), &station, &results[i]);
            finished++;
        });
    while (finished < jobs.size()) {
        if (terminal)
            display_refresh(&display);
        sleep_ms(DISPLAY_REFRESH_MS);
    }
    for (auto &worker : workers)
        worker.join();
    if (terminal)
        display_finish(&display);

    int worst = EXIT_UPDATED;
    for (const auto &job : jobs) {
        report_end(job.get(), several);
        worst = std::max(worst, (int)job_exit_status(job.get()));
    }
    if (several)
        print_summary(jobs, image.image_size);
    report_close(&report);
    free(image.image);
    return worst;
}
