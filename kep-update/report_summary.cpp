#include "report_summary.h"

#include "text_printf.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>

// Keeps the members in the order written, as a reader of the output expects.
using json = nlohmann::ordered_json;

// A pause longer than this with no board on the line is not active time;
// shorter ones are the time to take a board off and place the next.
#define PAUSE_MS (5 * 60 * 1000)
// Gaps in the serial numbers listed: in the text, and in the JSON object.
#define GAPS_SHOWN 10
#define GAPS_LISTED 100

// The members of one record that a summary needs.
struct summary_record {
    bool check;
    std::string outcome;
    bool passed; // exit status 0: updated (or equal, for a check)
    int64_t started_ms, ended_ms;
    std::string started;
    double seconds;
    std::string port;
    bool numbered;
    uint64_t serial_number;
};

struct record_group {
    json station, lot; // a string, or null when not recorded
    std::vector<summary_record> records;
};

// "2026-12-06T23:59:01.123Z", as the records write it, to milliseconds since 1970.
static bool parse_stamp(const std::string &text, int64_t *unix_ms)
{
    static const std::regex shape(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
    if (!std::regex_match(text, shape))
        return false;
    auto number = [&](size_t at, size_t length) { return std::stoi(text.substr(at, length)); };
    std::chrono::year_month_day date{std::chrono::year{number(0, 4)},
                                     std::chrono::month{(unsigned)number(5, 2)},
                                     std::chrono::day{(unsigned)number(8, 2)}};
    int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
    if (!date.ok() || hour > 23 || minute > 59 || second > 59)
        return false;
    int64_t days = std::chrono::sys_days{date}.time_since_epoch().count();
    *unix_ms = ((days * 24 + hour) * 60 + minute) * 60000 + second * 1000 + number(20, 3);
    return true;
}

static bool member_is(const json &object, const char *name, json::value_t type)
{
    auto found = object.find(name);
    return found != object.end() && found->type() == type;
}

// A record is an object with the members below; station, lot and serial
// number may be missing (reports written before they were recorded).
static bool read_record(const std::string &line, summary_record *record, json *station, json *lot)
{
    json r = json::parse(line, nullptr, false);
    if (r.is_discarded() || !r.is_object() || !member_is(r, "operation", json::value_t::string) ||
        !member_is(r, "outcome", json::value_t::string) ||
        !member_is(r, "port", json::value_t::string) ||
        !member_is(r, "started", json::value_t::string) ||
        !member_is(r, "ended", json::value_t::string) || !r.contains("seconds") ||
        !r["seconds"].is_number() || !r.contains("exit_status") ||
        !r["exit_status"].is_number_integer())
        return false;
    std::string operation = r["operation"].get<std::string>();
    if ((operation != "update" && operation != "check") ||
        !parse_stamp(r["started"].get<std::string>(), &record->started_ms) ||
        !parse_stamp(r["ended"].get<std::string>(), &record->ended_ms) ||
        record->ended_ms < record->started_ms)
        return false;
    json number = r.value("serial_number", json());
    *station = r.value("station", json());
    *lot = r.value("lot", json());
    if (!(number.is_null() || number.is_number_unsigned()) ||
        !(station->is_null() || station->is_string()) || !(lot->is_null() || lot->is_string()))
        return false;
    record->check = operation == "check";
    record->outcome = r["outcome"].get<std::string>();
    record->passed = r["exit_status"].get<int64_t>() == 0;
    record->started = r["started"].get<std::string>();
    record->seconds = r["seconds"].get<double>();
    record->port = r["port"].get<std::string>();
    record->numbered = !number.is_null();
    record->serial_number = record->numbered ? number.get<uint64_t>() : 0;
    return true;
}

// Reads every line of `path` into its group; returns the lines skipped.
static int read_report(const std::string &path, std::map<std::string, record_group> *groups,
                       std::string *problems, bool *unreadable)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *problems += "kep-update: cannot read report " + path + ": " + strerror(errno) + "\n";
        *unreadable = true;
        return 0;
    }
    int skipped = 0, line_number = 0;
    for (std::string line; std::getline(file, line);) {
        line_number++; // a CR before the line feed is white space to the JSON reader
        summary_record record;
        json station, lot;
        if (!read_record(line, &record, &station, &lot)) {
            *problems += "kep-update: " + path + ": line " + std::to_string(line_number) +
                         " is not a report record; skipped\n";
            skipped++;
            continue;
        }
        record_group &group = (*groups)[station.dump() + "\n" + lot.dump()];
        group.station = station;
        group.lot = lot;
        group.records.push_back(record);
    }
    if (file.bad()) {
        *problems += "kep-update: cannot read report " + path + " to its end\n";
        *unreadable = true;
    }
    return skipped;
}

// From the first start to the last end, less the pauses over PAUSE_MS.
static int64_t active_ms(const std::vector<summary_record> &records)
{
    std::vector<std::pair<int64_t, int64_t>> spans;
    for (const auto &r : records)
        spans.push_back({r.started_ms, r.ended_ms});
    std::sort(spans.begin(), spans.end());
    int64_t total = 0, start = spans[0].first, end = spans[0].second;
    for (const auto &[from, to] : spans) {
        if (from > end + PAUSE_MS) {
            total += end - start;
            start = from;
        }
        end = std::max(end, to);
    }
    return total + end - start;
}

static json serial_numbers(const std::vector<summary_record> &updates)
{
    std::vector<uint64_t> numbers;
    for (const auto &r : updates)
        if (r.numbered)
            numbers.push_back(r.serial_number);
    if (numbers.empty())
        return nullptr;
    std::sort(numbers.begin(), numbers.end());
    json gaps = json::array(), repeated = json::array();
    uint64_t missing = 0, used = 1;
    for (size_t i = 1; i < numbers.size(); i++) {
        if (numbers[i] == numbers[i - 1]) {
            if (repeated.empty() || repeated.back() != numbers[i])
                repeated.push_back(numbers[i]);
            continue;
        }
        used++;
        if (numbers[i] - numbers[i - 1] > 1) {
            missing += numbers[i] - numbers[i - 1] - 1;
            if (gaps.size() < GAPS_LISTED)
                gaps.push_back({numbers[i - 1] + 1, numbers[i] - 1});
        }
    }
    return {{"first", numbers.front()}, {"last", numbers.back()}, {"count", used},
            {"missing", missing},       {"gaps", gaps},           {"repeated", repeated}};
}

static json summarize_group(const record_group &group)
{
    std::vector<summary_record> updates;
    json failed = json::object(), checks = json::object();
    int passed = 0, first_attempts = 0, first_passed = 0;
    std::map<uint64_t, const summary_record *> first_by_number;
    for (const auto &r : group.records) {
        if (r.check) {
            checks[r.outcome] = checks.value(r.outcome, 0) + 1;
            continue;
        }
        updates.push_back(r);
        passed += r.passed;
        if (!r.passed)
            failed[r.outcome] = failed.value(r.outcome, 0) + 1;
        if (!r.numbered) {
            first_attempts++;
            first_passed += r.passed;
        } else if (!first_by_number.count(r.serial_number) ||
                   r.started_ms < first_by_number[r.serial_number]->started_ms) {
            first_by_number[r.serial_number] = &r;
        }
    }
    for (const auto &[number, first] : first_by_number) {
        first_attempts++;
        first_passed += first->passed;
    }
    std::vector<const summary_record *> passes;
    for (const auto &r : updates)
        if (r.passed)
            passes.push_back(&r);
    std::sort(passes.begin(), passes.end(), [](auto a, auto b) { return a->seconds < b->seconds; });
    json median = nullptr, slowest = nullptr;
    if (!passes.empty()) {
        size_t middle = passes.size() / 2;
        median = passes.size() % 2 ? passes[middle]->seconds
                                   : (passes[middle - 1]->seconds + passes[middle]->seconds) / 2;
        slowest = {{"seconds", passes.back()->seconds},
                   {"port", passes.back()->port},
                   {"started", passes.back()->started}};
    }
    int64_t active = active_ms(group.records);
    json summary = {{"station", group.station}, {"lot", group.lot}};
    summary["boards"] = updates.size();
    summary["passed"] = passed;
    summary["failed"] = failed;
    summary["checks"] = checks;
    summary["first_attempts"] = first_attempts;
    summary["first_attempts_passed"] = first_passed;
    summary["first_pass_yield"] =
        first_attempts ? json((double)first_passed / first_attempts) : json();
    summary["active_seconds"] = (double)active / 1000;
    summary["boards_per_hour"] =
        active > 0 ? json((double)updates.size() * 3600000 / (double)active) : json();
    summary["serial_numbers"] = serial_numbers(updates);
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
    std::string text = text_printf("  serial numbers %llu to %llu: %llu used",
                                   (unsigned long long)numbers["first"].get<uint64_t>(),
                                   (unsigned long long)numbers["last"].get<uint64_t>(),
                                   (unsigned long long)numbers["count"].get<uint64_t>());
    const json &gaps = numbers["gaps"];
    std::string shown;
    for (size_t i = 0; i < gaps.size() && i < GAPS_SHOWN; i++) {
        uint64_t from = gaps[i][0].get<uint64_t>(), to = gaps[i][1].get<uint64_t>();
        shown += text_printf("%s%llu", i ? ", " : "", (unsigned long long)from);
        if (to != from)
            shown += text_printf("-%llu", (unsigned long long)to);
    }
    if (!gaps.empty())
        text += text_printf("; %llu missing: %s%s",
                            (unsigned long long)numbers["missing"].get<uint64_t>(), shown.c_str(),
                            gaps.size() > GAPS_SHOWN ? ", ..." : "");
    for (size_t i = 0; i < numbers["repeated"].size(); i++)
        text += (i ? ", " : "; repeated: ") + numbers["repeated"][i].dump();
    return text + "\n";
}

static std::string group_text(const json &g)
{
    auto name = [](const json &value) { return value.is_null() ? "-" : value.get<std::string>(); };
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
    if (!g["slowest"].is_null())
        text +=
            text_printf("  update time: median %.2f s, slowest %.2f s (%s, started %s)\n",
                        g["median_seconds"].get<double>(), g["slowest"]["seconds"].get<double>(),
                        g["slowest"]["port"].get<std::string>().c_str(),
                        g["slowest"]["started"].get<std::string>().c_str());
    return text;
}

int summarize_reports(const std::vector<std::string> &paths, bool as_json, std::string *out,
                      std::string *problems)
{
    std::map<std::string, record_group> groups;
    int skipped = 0;
    bool unreadable = false;
    for (const auto &path : paths)
        skipped += read_report(path, &groups, problems, &unreadable);
    size_t records = 0;
    json summary = {{"files", paths}, {"records", 0}, {"skipped_lines", skipped}};
    summary["groups"] = json::array();
    for (const auto &[key, group] : groups) {
        records += group.records.size();
        summary["groups"].push_back(summarize_group(group));
    }
    summary["records"] = records;
    if (as_json) {
        *out = summary.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    } else {
        *out = "records: " + std::to_string(records) + " from " + std::to_string(paths.size()) +
               " files";
        *out += skipped ? text_printf(", %d skipped (not records)\n", skipped) : "\n";
        for (const auto &g : summary["groups"])
            *out += group_text(g);
    }
    return skipped || unreadable ? 2 : 0;
}
