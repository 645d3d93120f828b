#include "report_summary.h"

#include "board_record.h"
#include "line_stats.h"
#include "serial_source.h"
#include "system.h"
#include "text_printf.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <tuple>

// Keeps the members in the order written, as a reader of the output expects.
using json = nlohmann::ordered_json;

// Gaps in the serial numbers listed: in the text, and in the JSON object.
#define GAPS_SHOWN 10
#define GAPS_LISTED 100

struct pass_time {
    double seconds;
    std::string port;
    int64_t started_ms;
};

struct record_group {
    std::string station, lot; // empty: not recorded
    size_t records = 0;
    line_stats stats;
    std::vector<pass_time> passes;
    std::vector<ledger_entry> burnt;
};

// Named stations and lots first, then those not recorded.
using group_key = std::tuple<bool, std::string, bool, std::string>;

static group_key key_of(const std::string &station, const std::string &lot)
{
    return {station.empty(), station, lot.empty(), lot};
}

// Calls `take` with each line of `path` and its number; false when the file
// cannot be read to its end, with `problems` saying so.
template <typename take_line>
static bool read_lines(const std::string &path, const char *what, std::string *problems,
                       take_line take)
{
    std::ifstream file(utf8_path(path), std::ios::binary);
    if (!file) {
        *problems += "kep-update: cannot read " + std::string(what) + " " + path + ": " +
                     strerror(errno) + "\n";
        return false;
    }
    int line_number = 0;
    for (std::string line; std::getline(file, line);)
        take(line, ++line_number); // a CR before the line feed is white space to the JSON reader
    if (file.bad()) {
        *problems += "kep-update: cannot read " + std::string(what) + " " + path + " to its end\n";
        return false;
    }
    return true;
}

static json text_or_null(const std::string &text) { return text.empty() ? json() : json(text); }

static json serial_numbers(const line_stats &stats)
{
    if (stats.numbers.empty())
        return nullptr;
    json gaps = json::array(), repeated = json::array();
    uint64_t missing = 0, used = 0, burnt = 0, last = stats.numbers.begin()->first;
    for (const auto &[number, use] : stats.numbers) {
        used += use.records > 0;
        burnt += use.burnt;
        if (use.records > 1)
            repeated.push_back(number);
        if (number - last > 1) {
            missing += number - last - 1;
            if (gaps.size() < GAPS_LISTED)
                gaps.push_back({last + 1, number - 1});
        }
        last = number;
    }
    return {{"first", stats.numbers.begin()->first},
            {"last", last},
            {"count", used},
            {"burnt", burnt},
            {"missing", missing},
            {"gaps", gaps},
            {"repeated", repeated}};
}

static json summarize_group(record_group group)
{
    const line_stats &stats = group.stats;
    line_figures f = stats_figures(stats);
    std::sort(group.passes.begin(), group.passes.end(),
              [](const pass_time &a, const pass_time &b) { return a.seconds < b.seconds; });
    json median = nullptr, slowest = nullptr;
    if (!group.passes.empty()) {
        size_t middle = group.passes.size() / 2;
        const auto &p = group.passes;
        median = p.size() % 2 ? p[middle].seconds : (p[middle - 1].seconds + p[middle].seconds) / 2;
        slowest = {{"seconds", p.back().seconds},
                   {"port", p.back().port},
                   {"started", stamp_text(p.back().started_ms)}};
    }
    json burnt = json::array();
    std::sort(group.burnt.begin(), group.burnt.end(),
              [](const ledger_entry &a, const ledger_entry &b) {
                  return a.serial_number < b.serial_number;
              });
    for (const auto &entry : group.burnt)
        burnt.push_back({{"serial_number", entry.serial_number},
                         {"station", text_or_null(entry.station)},
                         {"port", text_or_null(entry.port)},
                         {"slot", text_or_null(entry.slot)},
                         {"taken", stamp_text(entry.taken_ms)}});
    json summary = {{"station", text_or_null(group.station)}, {"lot", text_or_null(group.lot)}};
    summary["boards"] = f.updates;
    summary["passed"] = stats.passed;
    summary["failed"] = stats.failed_outcomes;
    summary["checks"] = stats.check_outcomes;
    summary["first_attempts"] = f.first_attempts;
    summary["first_attempts_passed"] = f.first_passed;
    summary["first_pass_yield"] =
        f.first_attempts ? json((double)f.first_passed / f.first_attempts) : json();
    summary["active_seconds"] = (double)f.active_ms / 1000;
    summary["boards_per_hour"] = f.active_ms > 0 ? json(f.boards_per_hour) : json();
    summary["serial_numbers"] = serial_numbers(stats);
    summary["burnt"] = burnt;
    summary["median_seconds"] = median;
    summary["slowest"] = slowest;
    return summary;
}

static std::string counts_text(const json &counts)
{
    std::string text;
    for (const auto &[words, count] : counts.items())
        text += (text.empty() ? "" : ", ") + words + " " + std::to_string(count.get<int>());
    return text;
}

static std::string numbers_text(const json &numbers)
{
    auto number = [&](const char *name) {
        return (unsigned long long)numbers[name].get<uint64_t>();
    };
    std::string text = text_printf("  serial numbers %llu to %llu: %llu used", number("first"),
                                   number("last"), number("count"));
    if (number("burnt"))
        text += text_printf(", %llu burnt", number("burnt"));
    const json &gaps = numbers["gaps"];
    std::string shown;
    for (size_t i = 0; i < gaps.size() && i < GAPS_SHOWN; i++) {
        uint64_t from = gaps[i][0].get<uint64_t>(), to = gaps[i][1].get<uint64_t>();
        shown += text_printf("%s%llu", i ? ", " : "", (unsigned long long)from);
        if (to != from)
            shown += text_printf("-%llu", (unsigned long long)to);
    }
    if (!gaps.empty())
        text += text_printf("; %llu missing: %s%s", number("missing"), shown.c_str(),
                            gaps.size() > GAPS_SHOWN ? ", ..." : "");
    for (size_t i = 0; i < numbers["repeated"].size(); i++)
        text += (i ? ", " : "; repeated: ") + numbers["repeated"][i].dump();
    return text + "\n";
}

static std::string name(const json &value)
{
    return value.is_null() ? "-" : value.get<std::string>();
}

static std::string group_text(const json &g)
{
    std::string text = "station " + name(g["station"]) + ", lot " + name(g["lot"]) + "\n";
    int boards = g["boards"].get<int>(), passed = g["passed"].get<int>();
    text += text_printf("  boards %d: passed %d, failed %d", boards, passed, boards - passed);
    text += g["failed"].empty() ? "\n" : " (" + counts_text(g["failed"]) + ")\n";
    if (!g["checks"].empty())
        text += "  checks: " + counts_text(g["checks"]) + "\n";
    if (!g["first_pass_yield"].is_null())
        text += text_printf("  first-pass yield %.1f %% (%d of %d first attempts)\n",
                            g["first_pass_yield"].get<double>() * 100,
                            g["first_attempts_passed"].get<int>(), g["first_attempts"].get<int>());
    int64_t active = (int64_t)(g["active_seconds"].get<double>() + 0.5);
    text += text_printf("  %s boards per hour over %lld:%02lld:%02lld active\n",
                        g["boards_per_hour"].is_null()
                            ? "-"
                            : text_printf("%.1f", g["boards_per_hour"].get<double>()).c_str(),
                        (long long)(active / 3600), (long long)(active / 60 % 60),
                        (long long)(active % 60));
    if (!g["serial_numbers"].is_null())
        text += numbers_text(g["serial_numbers"]);
    for (const auto &b : g["burnt"])
        text += text_printf("  burnt %llu: taken %s, station %s, port %s, slot %s\n",
                            (unsigned long long)b["serial_number"].get<uint64_t>(),
                            b["taken"].get<std::string>().c_str(), name(b["station"]).c_str(),
                            name(b["port"]).c_str(), name(b["slot"]).c_str());
    if (!g["slowest"].is_null())
        text +=
            text_printf("  update time: median %.2f s, slowest %.2f s (%s, started %s)\n",
                        g["median_seconds"].get<double>(), g["slowest"]["seconds"].get<double>(),
                        g["slowest"]["port"].get<std::string>().c_str(),
                        g["slowest"]["started"].get<std::string>().c_str());
    return text;
}

// The group of `entry`'s station whose records are nearest its time, or one
// of its own.
static record_group &burnt_group(std::map<group_key, record_group> *groups,
                                 const ledger_entry &entry)
{
    record_group *nearest = nullptr;
    int64_t best = INT64_MAX;
    for (auto &[key, group] : *groups) {
        if (group.station != entry.station)
            continue;
        for (const auto &[from, to] : group.stats.spans) {
            int64_t distance = std::max({from - entry.taken_ms, entry.taken_ms - to, (int64_t)0});
            if (distance < best) {
                best = distance;
                nearest = &group;
            }
        }
    }
    if (nearest)
        return *nearest;
    record_group &own = (*groups)[key_of(entry.station, "")];
    own.station = entry.station;
    return own;
}

// Where the records and ledger entries come from: files, or the database.
struct summary_source {
    std::string what; // "files" or "database", the JSON summary's member
    std::vector<std::string> names, ledger_names;
    // Gives each of the source's record lines, then each ledger line, to `take`.
    std::function<bool(bool ledger, const std::function<void(const std::string &, const std::string &, int)> &take,
                       std::string *problems)>
        read;
};

static int summarize(const summary_source &source, bool has_ledger, const record_origin &only,
                     bool as_json, std::string *out, std::string *problems)
{
    std::map<group_key, record_group> groups;
    int skipped = 0;
    bool unreadable = false;
    size_t records = 0;
    std::set<uint64_t> held; // by update records
    unreadable |= !source.read(false, [&](const std::string &where, const std::string &line, int at) {
            board_record r;
            if (!record_from_line(line, &r)) {
                *problems += "kep-update: " + where + ": line " + std::to_string(at) +
                             " is not a report record; skipped\n";
                skipped++;
                return;
            }
            if ((!only.station.empty() && r.origin.station != only.station) ||
                (!only.lot.empty() && r.origin.lot != only.lot))
                return;
            record_group &group = groups[key_of(r.origin.station, r.origin.lot)];
            group.station = r.origin.station;
            group.lot = r.origin.lot;
            group.records++;
            records++;
            stats_add(&group.stats, r);
            if (!r.check && outcome_passed(r.result.outcome))
                group.passes.push_back({r.result.seconds, r.port, r.started_ms});
            if (!r.check && r.numbered)
                held.insert(r.serial_number);
        }, problems);
    std::vector<ledger_entry> taken;
    unreadable |= !source.read(true, [&](const std::string &where, const std::string &line, int at) {
            ledger_entry entry;
            if (!ledger_from_line(line, &entry)) {
                *problems += "kep-update: " + where + ": line " + std::to_string(at) +
                             " is not a ledger entry; skipped\n";
                skipped++;
            } else if (only.station.empty() || entry.station == only.station) {
                taken.push_back(entry);
            }
        }, problems);
    size_t burnt = 0;
    for (const auto &entry : taken) {
        if (!held.insert(entry.serial_number).second)
            continue; // a board holds it, or it was listed twice
        record_group &group = burnt_group(&groups, entry);
        if (!only.lot.empty() && group.lot != only.lot)
            continue;
        group.burnt.push_back(entry);
        stats_add_burnt(&group.stats, entry.serial_number);
        burnt++;
    }
    json summary = {{source.what, source.names}, {"records", records}};
    if (has_ledger) {
        if (!source.ledger_names.empty())
            summary["ledgers"] = source.ledger_names;
        summary["ledger_entries"] = taken.size();
        summary["burnt"] = burnt;
    }
    summary["skipped_lines"] = skipped;
    summary["groups"] = json::array();
    for (const auto &[key, group] : groups)
        if (only.lot.empty() || group.lot == only.lot)
            summary["groups"].push_back(summarize_group(group));
    if (as_json) {
        *out = summary.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    } else {
        std::string from = source.what == "files" ? std::to_string(source.names.size()) + " files"
                                                  : source.names[0];
        *out = "records: " + std::to_string(records) + " from " + from;
        *out += skipped ? text_printf(", %d skipped (not records)\n", skipped) : "\n";
        if (has_ledger)
            *out += (source.ledger_names.empty()
                         ? "ledger: " + std::to_string(taken.size()) + " numbers taken, "
                         : "ledgers: " + std::to_string(taken.size()) + " numbers taken from " +
                               std::to_string(source.ledger_names.size()) + " files, ") +
                    std::to_string(burnt) + " burnt\n";
        for (const auto &g : summary["groups"])
            *out += group_text(g);
    }
    return skipped || unreadable ? 2 : 0;
}

int summarize_reports(const std::vector<std::string> &paths,
                      const std::vector<std::string> &ledgers, bool as_json, std::string *out,
                      std::string *problems)
{
    summary_source files{"files", paths, ledgers, nullptr};
    files.read = [&](bool ledger, const auto &take, std::string *problems_out) {
        bool readable = true;
        for (const auto &path : ledger ? ledgers : paths)
            readable &= read_lines(path, ledger ? "ledger" : "report", problems_out,
                                   [&](const std::string &line, int at) { take(path, line, at); });
        return readable;
    };
    return summarize(files, !ledgers.empty(), record_origin{}, as_json, out, problems);
}

int summarize_lines(const std::string &source, const std::vector<std::string> &record_lines,
                    const std::vector<std::string> &ledger_lines, const record_origin &only,
                    bool as_json, std::string *out, std::string *problems)
{
    summary_source database{"database", {source}, {}, nullptr};
    database.read = [&](bool ledger, const auto &take, std::string *) {
        int at = 0;
        for (const auto &line : ledger ? ledger_lines : record_lines)
            take(source, line, ++at);
        return true;
    };
    return summarize(database, true, only, as_json, out, problems);
}
