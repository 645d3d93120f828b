#include "summary.h"

#include "station_job.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

std::string format_summary(const std::vector<std::unique_ptr<port_job>> &jobs, int32_t image_size)
{
    size_t width = 4, outcome_width = 7;
    for (const auto &job : jobs) {
        width = std::max(width, job->port_name.size());
        outcome_width = std::max(outcome_width, strlen(job_result_text(job.get())));
    }
    int32_t blocks = image_size / MODBUS_PROG_BLOCKSIZE_MAX;
    std::string out;
    char line[512];
    snprintf(line, sizeof line, "%-*s  %-*s  %-7s  %s\n", (int)width, "PORT", (int)outcome_width,
             "OUTCOME", "BLOCKS", "TIME");
    out += line;
    int failures = 0;
    for (const auto &job : jobs) {
        char written[32];
        snprintf(written, sizeof written, "%d/%d",
                 (int)(job->link.offset / MODBUS_PROG_BLOCKSIZE_MAX), (int)blocks);
        snprintf(line, sizeof line, "%-*s  %-*s  %-7s  %.1f s\n", (int)width,
                 job->port_name.c_str(), (int)outcome_width, job_result_text(job.get()), written,
                 (job->ended_ms - job->started_ms) / 1000.0);
        out += line;
        failures += job_exit_status(job.get()) != EXIT_UPDATED;
    }
    bool check = !jobs.empty() && jobs.front()->check_only;
    snprintf(line, sizeof line, "%d of %d targets %s\n", (int)jobs.size() - failures,
             (int)jobs.size(), check ? "equal" : "updated");
    out += line;
    return out;
}

void print_summary(const std::vector<std::unique_ptr<port_job>> &jobs, int32_t image_size)
{
    fputs(format_summary(jobs, image_size).c_str(), stderr);
}
