#include "progress_line.h"

#include <cstdio>

#define BAR_WIDTH 24
#define BAR_WIDTH_MIN 4

// Steps done of the whole: each block, then the verify, then the reset; a
// check has the verify only.
static void steps(const job_snapshot &s, int32_t blocks, bool check, int32_t *done, int32_t *total)
{
    *total = check ? 1 : blocks + 2;
    if (outcome_passed(s.outcome) && s.outcome != OUTCOME_RUNNING)
        *done = *total;
    else if (s.state == STATE_PROGRAM || s.state == STATE_COMPARE)
        *done = s.blocks_done;
    else if (s.state == STATE_VERIFY || s.state == STATE_FAILED)
        *done = check ? 0 : blocks;
    else if (s.state == STATE_RESET)
        *done = blocks + 1;
    else
        *done = s.state == STATE_DONE ? *total : 0;
}

static std::string format_seconds(double seconds)
{
    char text[32];
    int whole = (int)(seconds + 0.5);
    snprintf(text, sizeof text, "%d:%02d", whole / 60, whole % 60);
    return text;
}

static std::string rate_text(const job_snapshot &s, int32_t blocks, uint32_t now)
{
    bool writing = s.state == STATE_PROGRAM || s.state == STATE_COMPARE;
    if (s.outcome != OUTCOME_RUNNING || !writing || s.program_started_ms == 0)
        return "";
    double seconds = (now - s.program_started_ms) / 1000.0;
    int32_t written = s.blocks_done - s.blocks_skipped; // the rate is the line's, not the skips'
    if (seconds <= 0 || written <= 0)
        return "  -.- KiB/s  -:-- left";
    double blocks_per_second = written / seconds;
    char text[80];
    snprintf(text, sizeof text, "  %.1f KiB/s  %s left", blocks_per_second,
             format_seconds((blocks - s.blocks_done) / blocks_per_second).c_str());
    return text;
}

static std::string bar_text(int32_t done, int32_t total, int width)
{
    int filled = (int)((int64_t)done * width / total);
    std::string bar(1, '[');
    bar.append((size_t)filled, '#').append((size_t)(width - filled), '.').append("] ");
    return bar;
}

std::string progress_line(const std::string &label, const job_snapshot &s, int32_t blocks_total,
                          bool check, uint32_t now, int width)
{
    std::string text = s.outcome == OUTCOME_RUNNING ? s.status : outcome_words(s.outcome, check);
    if (s.blocks_refused > 0)
        text += " (" + std::to_string(s.blocks_refused) + " refused)";
    if (s.blocks_skipped > 0)
        text += " (" + std::to_string(s.blocks_skipped) + " already there)";
    bool started = blocks_total > 0 && s.state >= STATE_PROGRAM && s.state != STATE_LINKED;
    int32_t done = 0, total = 1;
    steps(s, blocks_total, check, &done, &total);
    char percent[16];
    snprintf(percent, sizeof percent, "%3d%%  ", (int)((int64_t)done * 100 / total));
    std::string pct = started ? percent : "";
    std::string rate = rate_text(s, blocks_total, now);
    std::string name = label.empty() ? "" : label + ": ";

    auto fits = [&](size_t bar) {
        return name.size() + bar + pct.size() + text.size() + rate.size() <= (size_t)width;
    };
    if (!fits(started ? BAR_WIDTH + 3 : 0))
        rate.clear();
    int bar = started ? BAR_WIDTH : 0;
    while (bar > BAR_WIDTH_MIN && !fits((size_t)bar + 3))
        bar--;
    if (bar > 0 && !fits((size_t)bar + 3))
        bar = 0;
    if (bar == 0 && !fits(0) && !label.empty())
        name = label.substr(label.rfind('/') + 1) + ": ";
    if (bar == 0 && !fits(0))
        pct.clear();
    std::string line = name + (bar ? bar_text(done, total, bar) : "") + pct + text + rate;
    if ((int)line.size() > width)
        line.resize((size_t)(width > 0 ? width : 0));
    return line;
}
