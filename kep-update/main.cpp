// kep-update: the command-line front end over the update engine.
#include "cli_options.h"
#include "firmware_image.h"
#include "image_file.h"
#include "os_services.h"
#include "port_job.h"
#include "progress_display.h"
#include "serial/port_list.h"
#include "summary.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <unistd.h>

#define DISPLAY_REFRESH_MS 100u

static std::atomic<bool> interrupted{false};

static void on_interrupt(int) { interrupted = true; }

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

// The padded image in `link`: from --image, or the one built in.
static bool load_image(const cli_options &options, update_link *link)
{
    if (options.image_path.empty()) {
        load_firmware_image(link);
        return true;
    }
    std::vector<uint8_t> bytes;
    std::string error;
    if (!read_image_file(options.image_path, &bytes, &error)) {
        fprintf(stderr, "kep-update: %s\n", error.c_str());
        return false;
    }
    if (!set_firmware_image(link, bytes.data(), (int32_t)bytes.size())) {
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
    if (job->outcome == JOB_OPEN_FAILED) // the report text stands as it is
        fprintf(stderr, "%s%s", several ? job->prefix.c_str() : "", job->message.c_str());
    else
        fprintf(stderr, "kep-update: %s%s\n", several ? job->prefix.c_str() : "",
                job->message.c_str());
}

int main(int argc, char **argv)
{
    cli_options options;
    int status = parse_cli_options(argc, argv, &options);
    if (status >= 0)
        return status;
    if (options.list_ports)
        return list_ports();

    update_link image{};
    if (!load_image(options, &image))
        return EXIT_USAGE;

    std::signal(SIGINT, on_interrupt);
    std::signal(SIGTERM, on_interrupt);

    bool several = options.ports.size() > 1;
    bool terminal = !options.quiet && isatty(fileno(stderr));
    std::vector<std::unique_ptr<port_job>> jobs;
    progress_display display;
    for (const auto &port : options.ports) {
        jobs.push_back(std::make_unique<port_job>());
        port_job *job = jobs.back().get();
        job->port_name = port;
        job->prefix = several ? port + ": " : "";
        job->show_status_lines = !options.quiet && !terminal;
        display.jobs.push_back(job);
    }

    job_limits limits{(uint32_t)(options.timeout_seconds * 1000), &interrupted};
    std::atomic<size_t> finished{0};
    std::vector<std::thread> workers;
    for (auto &job : jobs)
        workers.emplace_back([&, job = job.get()] {
            run_port_job(job, image.image, image.image_size, &limits);
            finished++;
        });
    while (finished < jobs.size()) {
        if (terminal)
            display_refresh(&display, image.image_size);
        sleep_ms(DISPLAY_REFRESH_MS);
    }
    for (auto &worker : workers)
        worker.join();
    if (terminal)
        display_finish(&display, image.image_size);

    int worst = EXIT_UPDATED;
    for (const auto &job : jobs) {
        report_end(job.get(), several);
        worst = std::max(worst, (int)job_exit_status(job.get()));
    }
    if (several)
        print_summary(jobs, image.image_size);
    free(image.image);
    return worst;
}
