#include "summary.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

std::string format_summary(const std::vector<const board *> &boards, bool check)
{
    size_t width = 4, outcome_width = 7;
    for (const auto &b : boards) {
        width = std::max(width, b->job.port.size());
        outcome_width = std::max(outcome_width, strlen(outcome_words(b->job.result.outcome, check)));
    }
    std::string out;
    char line[512];
    snprintf(line, sizeof line, "%-*s  %-*s  %-7s  %s\n", (int)width, "PORT", (int)outcome_width,
             "OUTCOME", "BLOCKS", "TIME");
    out += line;
    int failures = 0;
    for (const auto &b : boards) {
        const job_result &r = b->job.result;
        char written[32];
        snprintf(written, sizeof written, "%d/%d", (int)r.blocks_acknowledged, (int)r.blocks_total);
        snprintf(line, sizeof line, "%-*s  %-*s  %-7s  %.1f s\n", (int)width, b->job.port.c_str(),
                 (int)outcome_width, outcome_words(r.outcome, check), written, r.seconds);
        out += line;
        failures += board_status(b) != EXIT_UPDATED;
    }
    snprintf(line, sizeof line, "%d of %d targets %s\n", (int)boards.size() - failures,
             (int)boards.size(), check ? "equal" : "updated");
    return out + line;
}
