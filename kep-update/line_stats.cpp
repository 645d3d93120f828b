#include "line_stats.h"

#include "text_printf.h"

#include <algorithm>

void stats_add(line_stats *stats, const board_record &record)
{
    const char *words = outcome_words(record.result.outcome, record.check);
    bool passed = outcome_passed(record.result.outcome);
    stats->spans.push_back({record.started_ms, record.ended_ms});
    if (record.check) {
        stats->check_outcomes[words]++;
        (passed                                           ? stats->equal
         : record.result.outcome == OUTCOME_VERIFY_FAILED ? stats->differs
                                                          : stats->unchecked)++;
        return;
    }
    (passed ? stats->passed : stats->failed)++;
    if (!passed)
        stats->failed_outcomes[words]++;
    if (!record.numbered) {
        stats->unnumbered++;
        stats->unnumbered_passed += passed;
        return;
    }
    number_use &use = stats->numbers[record.serial_number];
    if (use.records == 0 || record.started_ms < use.first_started_ms) {
        use.first_started_ms = record.started_ms;
        use.first_passed = passed;
    }
    use.records++;
    use.burnt = false;
}

void stats_add_burnt(line_stats *stats, uint64_t number)
{
    number_use &use = stats->numbers[number];
    use.burnt = use.records == 0;
}

// From the first start to the last end, less the pauses over STATS_PAUSE_MS.
static int64_t active_ms(std::vector<std::pair<int64_t, int64_t>> spans)
{
    if (spans.empty())
        return 0;
    std::sort(spans.begin(), spans.end());
    int64_t total = 0, start = spans[0].first, end = spans[0].second;
    for (const auto &[from, to] : spans) {
        if (from > end + STATS_PAUSE_MS) {
            total += end - start;
            start = from;
        }
        end = std::max(end, to);
    }
    return total + end - start;
}

line_figures stats_figures(const line_stats &stats)
{
    line_figures f;
    f.updates = stats.passed + stats.failed;
    f.first_attempts = stats.unnumbered;
    f.first_passed = stats.unnumbered_passed;
    for (const auto &[number, use] : stats.numbers) {
        f.first_attempts++;
        f.first_passed += use.records > 0 && use.first_passed;
    }
    if (f.first_attempts > 0)
        f.yield_percent = 100.0 * f.first_passed / f.first_attempts;
    f.active_ms = active_ms(stats.spans);
    if (f.active_ms > 0)
        f.boards_per_hour = f.updates * 3600000.0 / (double)f.active_ms;
    return f;
}

std::string stats_tally(const line_stats &stats, bool check)
{
    line_figures f = stats_figures(stats);
    std::string text;
    if (!check) {
        text = text_printf("passed %d  failed %d", stats.passed, stats.failed);
        if (f.first_attempts > 0)
            text += text_printf("  first-pass yield %.1f %%", f.yield_percent);
        // A rate from the first minute would promise what no line does.
        if (f.active_ms >= STATS_RATE_AFTER_MS)
            text += text_printf("  %.0f boards/h", f.boards_per_hour);
    }
    if (check || stats.equal + stats.differs + stats.unchecked > 0) {
        text += text_printf("%sequal %d  differs %d", text.empty() ? "" : "  ", stats.equal,
                            stats.differs);
        if (stats.unchecked > 0)
            text += text_printf("  unchecked %d", stats.unchecked);
    }
    return text;
}
