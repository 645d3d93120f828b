// The station's records, as tables: a record's line written and read back,
// the stamps, the serial numbers' ledger, the line's figures, and the summary
// of report files and ledgers.
#include "board_record.h"
#include "database/outbox.h"
#include "line_stats.h"
#include "record_sink.h"
#include "report_summary.h"
#include "serial_source.h"
#include "text_printf.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <unistd.h>

using testing::HasSubstr;

namespace
{

std::string text_of(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// 2026-12-07T08:00:00.000Z
const int64_t morning_ms = 1796630400000;

board_record full_record()
{
    board_record r;
    r.origin = {"A", "L1", "Ann"};
    r.started_ms = morning_ms;
    r.ended_ms = morning_ms + 3217;
    r.port = "/dev/tty\xff" "0"; // a name that is not UTF-8
    r.slot = "left";
    r.usb = {true, "0403", "6001", ""};
    r.image = {"/i.hex", "Intel HEX", 3000, 3072, 0xab23, "5e"};
    r.result = {OUTCOME_VERIFY_FAILED, "CRC \"differs\"", 3, 1, 3, 2, 3.2174};
    r.numbered = true;
    r.serial_number = 18446744073709551614u;
    r.written_sha256 = "9f";
    r.record_id = "r1";
    return r;
}

TEST(Records, AreWrittenAndReadBackByOneModule)
{
    EXPECT_EQ(record_line(full_record()),
              "{\"station\":\"A\",\"lot\":\"L1\",\"operator\":\"Ann\",\"tool_version\":\"" KEP_VERSION
              "\",\"started\":\"2026-12-07T08:00:00.000Z\",\"ended\":\"2026-12-07T08:00:03.217Z\","
              "\"port\":\"/dev/tty\xef\xbf\xbd" "0\",\"slot\":\"left\",\"usb\":{\"vendor_id\":\"0403\","
              "\"product_id\":\"6001\",\"serial\":null},\"image\":{\"path\":\"/i.hex\",\"format\":"
              "\"Intel HEX\",\"size\":3000,\"padded_size\":3072,\"crc16\":\"0xab23\",\"sha256\":\"5e\"},"
              "\"operation\":\"update\",\"outcome\":\"FAILED\",\"exit_status\":1,"
              "\"blocks_acknowledged\":3,\"blocks_refused\":1,\"blocks_skipped\":0,\"blocks_total\":3,"
              "\"resends\":2,"
              "\"seconds\":3.217,\"message\":\"CRC \\\"differs\\\"\",\"serial_number\":"
              "18446744073709551614,\"written_sha256\":\"9f\",\"record_id\":\"r1\"}\n");
    // What is written reads back as it was: a check, nulls, an unrecorded slot and origin.
    board_record check;
    check.check = true;
    check.started_ms = check.ended_ms = -1;
    check.result.outcome = OUTCOME_VERIFY_FAILED;
    for (const board_record &written : {full_record(), check}) {
        board_record r;
        ASSERT_TRUE(record_from_line(record_line(written), &r)) << record_line(written);
        std::string again = record_line(r);
        EXPECT_EQ(again, record_line(written));
        EXPECT_EQ(r.check, written.check);
        EXPECT_EQ(r.result.outcome, written.result.outcome);
    }
    // Lines an older kep-update wrote still read; others are no record.
    const std::string old = "{\"started\":\"2026-12-07T08:00:00.000Z\",\"ended\":"
                            "\"2026-12-07T08:00:01.000Z\",\"port\":\"p\",\"usb\":null,";
    const std::pair<std::string, bool> lines[] = {
        {old + "\"operation\":\"check\",\"outcome\":\"equal\",\"exit_status\":0,\"seconds\":1}", true},
        {old + "\"operation\":\"update\",\"outcome\":\"timed out\",\"exit_status\":4,\"seconds\":1,"
               "\"serial_number\":7}\r", true},
        {old + "\"operation\":\"update\",\"outcome\":\"timed out\",\"exit_status\":0,\"seconds\":1}", false},
        {old + "\"operation\":\"check\",\"outcome\":\"updated\",\"exit_status\":0,\"seconds\":1}", false},
        {old + "\"operation\":\"flash\",\"outcome\":\"updated\",\"exit_status\":0,\"seconds\":1}", false},
        {old + "\"operation\":\"update\",\"outcome\":\"updated\",\"exit_status\":0}", false},
        {old + "\"operation\":\"update\",\"outcome\":\"updated\",\"exit_status\":0,\"seconds\":1,"
               "\"serial_number\":-7}", false},
        {old + "\"operation\":\"update\",\"outcome\":\"updated\",\"exit_status\":0,\"seconds\":1,"
               "\"slot\":3}", false},
        {"{\"started\":\"2026-12-07T08:00:02.000Z\"" + old.substr(37) +
             "\"operation\":\"update\",\"outcome\":\"updated\",\"exit_status\":0,\"seconds\":1}", false},
        {"[1]", false}, {"{\"started\":", false},
    };
    for (const auto &[line, is_record] : lines) {
        board_record r;
        EXPECT_EQ(record_from_line(line, &r), is_record) << line;
    }
}

TEST(Records, StampsReadBackAsWritten)
{
    const std::pair<int64_t, std::string> stamps[] = {
        {0, "1970-01-01T00:00:00.000Z"},           {-1, "1969-12-31T23:59:59.999Z"},
        {951868799999, "2000-02-29T23:59:59.999Z"}, {1798761599999, "2026-12-31T23:59:59.999Z"},
        {4107542400000, "2100-03-01T00:00:00.000Z"},
    };
    for (const auto &[ms, text] : stamps) {
        int64_t back = 0;
        EXPECT_EQ(stamp_text(ms), text);
        EXPECT_TRUE(stamp_parse(text, &back) && back == ms) << text;
    }
    int64_t unused = 0;
    for (const char *bad : {"2026-02-29T00:00:00.000Z", "2026-12-07T24:00:00.000Z",
                            "2026-12-07T08:60:00.000Z", "2026-12-07T08:00:00.000", "2026-12-07 08:00:00.000Z",
                            "2026-12-07T08:00:00.0000Z", "+026-12-07T08:00:00.000Z"})
        EXPECT_FALSE(stamp_parse(bad, &unused)) << bad;
}

TEST(Records, TheReportFileSinkAppendsWholeLines)
{
    std::string path = testing::TempDir() + "sink-" + std::to_string(getpid()) + ".jsonl";
    report_file report;
    std::string why;
    ASSERT_TRUE(report_open(&report, path, &why)) << why;
    record_sink sink = report_file_sink(&report);
    EXPECT_TRUE(record_sink_write(&sink, full_record(), &why));
    EXPECT_TRUE(record_sink_write(&sink, board_record{}, &why));
    EXPECT_TRUE(record_sink_write(nullptr, full_record(), &why)); // no --report
    report_close(&report);
    EXPECT_EQ(text_of(path), record_line(full_record()) + record_line(board_record{}));
    unlink(path.c_str());
}

// Records leave the outbox only once the server took them, in order; one
// it refuses is set aside, not lost; one added while sending stays.
TEST(Outbox, KeepsWhatTheServerHasNotTaken)
{
    std::string path = testing::TempDir() + "outbox-" + std::to_string(getpid()), why;
    for (const char *line : {"a\n", "b\n", "c\n", "d\n"})
        ASSERT_TRUE(outbox_add(path, line, &why)) << why;
    struct round {
        const char *answers; // per line sent: Stored, Refused, Away
        int left;
        const char *kept, *refused;
    } rounds[] = {{"SRA", 2, "c\nd\n", "b\n"}, {"A", 2, "c\nd\n", "b\n"}, {"SS", 1, "e\n", "b\n"}};
    for (const round &r : rounds) {
        std::string sent;
        int left = outbox_send(path, [&](const std::string &line) {
            char answer = r.answers[sent.size() / 2];
            sent += line;
            if (&r == &rounds[2] && sent.size() == 2)
                outbox_add(path, "e\n", &why); // a board ends meanwhile
            return answer == 'S' ? OUTBOX_STORED : answer == 'R' ? OUTBOX_REFUSED : OUTBOX_AWAY;
        }, &why);
        EXPECT_EQ(left, r.left) << why;
        EXPECT_EQ(text_of(path), r.kept);
        EXPECT_EQ(text_of(path + ".refused"), r.refused);
    }
    for (const char *suffix : {"", ".refused", ".lock"})
        unlink((path + suffix).c_str());
}

// Numbers are handed out once, whatever a crash left behind, and each is in
// the ledger before it is handed out.
TEST(SerialSource, EveryNumberIsListedBeforeItIsHandedOutAndNeverTwice)
{
    std::string dir = testing::TempDir() + "serial-" + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    serial_settings serial;
    serial.file = dir + "/next";
    serial.has_start = true;
    serial.start = 100;
    serial_file_source file{&serial, "A"};
    serial_source source = file_serial_source(&file);
    std::string ledger = ledger_path(serial), why;
    auto take = [&](const char *slot) {
        uint64_t number = 0;
        return serial_take(&source, {"/dev/ttyUSB0", slot, "r"}, &number, &why) == SERIAL_TAKEN
                   ? (int64_t)number
                   : -1;
    };
    struct step {
        const char *ledger_before; // appended to the ledger first
        const char *file_before;   // the serial file's text first; null: as it is
        int64_t taken;             // -1: none
        const char *file_after;
    };
    const step steps[] = {
        {"", nullptr, 100, "101\n"},   // no file: --serial-start
        {"", nullptr, 101, "102\n"},
        {"", "90\n", 102, "103\n"},    // the file set back by hand: the ledger's highest + 1
        // a crash after listing 103: the file was not advanced
        {"{\"serial_number\":103,\"station\":\"A\",\"port\":null,\"slot\":null,\"taken\":"
         "\"2026-12-07T08:00:00.000Z\"}\n", nullptr, 104, "105\n"},
        {"{\"serial_number\":1", nullptr, 105, "106\n"}, // a cut line: the next starts on its own
    };
    for (const auto &s : steps) {
        std::ofstream(ledger, std::ios::app) << s.ledger_before;
        if (s.file_before)
            std::ofstream(serial.file) << s.file_before;
        EXPECT_EQ(take(*s.ledger_before ? "" : "left"), s.taken) << why;
        EXPECT_EQ(text_of(serial.file), s.file_after);
    }
    std::ifstream lines(ledger);
    std::vector<uint64_t> listed;
    ledger_entry entry;
    for (std::string line; std::getline(lines, line);)
        if (ledger_from_line(line, &entry))
            listed.push_back(entry.serial_number);
    EXPECT_THAT(listed, testing::ElementsAre(100, 101, 102, 103, 104, 105));
    EXPECT_EQ(entry.station + entry.port + entry.slot, "A/dev/ttyUSB0");
    EXPECT_THAT(text_of(ledger), HasSubstr("{\"serial_number\":101,\"station\":\"A\",\"port\":"
                                           "\"/dev/ttyUSB0\",\"slot\":\"left\",\"taken\":\"20"));
    // The file cannot be advanced: the number listed is burnt, and skipped next time.
    std::filesystem::create_directory(serial.file + ".new");
    EXPECT_EQ(take(""), -1);
    EXPECT_THAT(why, HasSubstr("serial number 106 is burnt: listed in the ledger " + ledger));
    std::filesystem::remove(serial.file + ".new");
    EXPECT_EQ(take(""), 107);
    // No ledger can be written: nothing is handed out, the file stays.
    std::filesystem::rename(ledger, ledger + ".old");
    std::filesystem::create_directory(ledger);
    EXPECT_EQ(take(""), -1);
    EXPECT_THAT(why, HasSubstr(ledger));
    EXPECT_EQ(text_of(serial.file), "108\n");
    EXPECT_EQ(serial_take(nullptr, {"p", "", ""}, nullptr, &why), SERIAL_REFUSED);
    std::filesystem::remove_all(dir);
}

board_record board(int start_s, double seconds, outcome_id outcome, int64_t number = -1,
                   bool check = false)
{
    board_record r;
    r.started_ms = morning_ms + start_s * 1000;
    r.ended_ms = r.started_ms + (int64_t)(seconds * 1000);
    r.check = check;
    r.result.outcome = outcome;
    r.result.seconds = seconds;
    r.numbered = number >= 0;
    r.serial_number = (uint64_t)number;
    return r;
}

// The screen's figures mean what the summary's do: checks apart, the rate
// over active time, a burnt number a first attempt that did not pass.
TEST(LineStats, TheScreenCountsAsTheSummaryDoes)
{
    const board_record passed = board(0, 20, OUTCOME_UPDATED, 1),
                       failed = board(30, 20, OUTCOME_TIMED_OUT, 2);
    struct row {
        std::vector<board_record> records;
        std::vector<uint64_t> burnt;
        bool check;
        std::string tally;
    };
    const row rows[] = {
        {{passed, failed}, {}, false, "passed 1  failed 1  first-pass yield 50.0 %"}, // under a minute
        {{passed, failed, board(60, 20, OUTCOME_UPDATED, 2)}, {}, false,
         "passed 2  failed 1  first-pass yield 50.0 %  135 boards/h"},
        {{passed, board(10, 1, OUTCOME_UPDATED, -1, true), board(700, 60, OUTCOME_UPDATED)}, {3, 1},
         false, "passed 2  failed 0  first-pass yield 66.7 %  90 boards/h  equal 1  differs 0"}, // a pause left out
        {{board(0, 1, OUTCOME_UPDATED, -1, true), board(2, 1, OUTCOME_VERIFY_FAILED, -1, true),
          board(4, 1, OUTCOME_PORT_LOST, -1, true)}, {}, true, "equal 1  differs 1  unchecked 1"},
        {{}, {}, false, "passed 0  failed 0"},
    };
    for (const auto &r : rows) {
        line_stats stats;
        for (uint64_t number : r.burnt)
            stats_add_burnt(&stats, number);
        for (const auto &record : r.records)
            stats_add(&stats, record);
        EXPECT_EQ(stats_tally(stats, r.check), r.tally);
    }
}

// A record as kep-update writes it, `start_s` after 08:00 on 2026-12-07, `origin`
// its first members.
std::string record(const char *origin, int start_s, double seconds, const char *outcome,
                   const char *number, const char *operation = "update")
{
    char line[600];
    int end_s = start_s + (int)seconds;
    snprintf(line, sizeof line,
             "{%s\"started\":\"2026-12-07T%02d:%02d:%02d.000Z\",\"ended\":\"2026-12-07T%02d:%02d:"
             "%02d.%03dZ\",\"port\":\"/dev/ttyUSB%d\",\"usb\":null,\"operation\":\"%s\","
             "\"outcome\":\"%s\",\"exit_status\":%d,\"seconds\":%.3f,\"serial_number\":%s}",
             origin, 8 + start_s / 3600, start_s / 60 % 60, start_s % 60, 8 + end_s / 3600,
             end_s / 60 % 60, end_s % 60, (int)(seconds * 1000) % 1000, start_s % 3, operation,
             outcome, strcmp(outcome, "updated") && strcmp(outcome, "equal") ? 1 : 0, seconds,
             number);
    return line;
}

std::string taken(int number, const char *station, int at_s)
{
    return text_printf("{\"serial_number\":%d,\"station\":\"%s\",\"port\":\"/dev/ttyUSB1\","
                       "\"slot\":null,\"taken\":\"2026-12-07T08:%02d:%02d.000Z\"}",
                       number, station, at_s / 60, at_s % 60);
}

TEST(ReportSummary, CountsPerStationAndLotAndNamesWhatIsNotARecord)
{
    const char *a = "\"station\":\"A\",\"lot\":\"L1\",";
    const std::vector<std::string> lines = {
        record(a, 0, 2, "updated", "100"),
        record(a, 3, 4, "FAILED", "101"),
        "{\"started\":",                   // line 3: cut short
        record(a, 8, 3, "updated", "101"), // the same board again: not its first attempt
        record(a, 12, 1.25, "equal", "null", "check"),
        record(a, 314, 2, "updated", "105") + "\r", // after a pause of 301 s; a CRLF line end
        record("", 30, 5, "updated", "null"),       // written before records had a station
        "{\"operation\":\"update\"}",               // line 8
        record("", 3598, 3, "updated", "null"),     // across an hour
        record(a, 20, 1, "updated", "\"7\""),       // line 10: a number that is text
    };
    // Taken: 100 to 102 and 105 by station A, 102 in no record; 106 by B, which wrote no record.
    const std::vector<std::string> ledger_lines = {
        taken(100, "A", 0), taken(101, "A", 3), taken(102, "A", 7), "{}", taken(105, "A", 314),
        taken(106, "B", 400)};
    std::string path = testing::TempDir() + "summary-" + std::to_string(getpid()) + ".jsonl";
    std::ofstream file(path), ledger(path + ".ledger");
    for (const auto &line : lines)
        file << line << "\n";
    for (const auto &line : ledger_lines)
        ledger << line << "\n";
    file.close();
    ledger.close();
    std::string text, json, problems, json_problems;
    const std::vector<std::string> paths = {path, path + ".absent"}; // an unreadable file adds no line
    EXPECT_EQ(summarize_reports(paths, {path + ".ledger"}, false, &text, &problems), 2);
    EXPECT_EQ(summarize_reports(paths, {path + ".ledger"}, true, &json, &json_problems), 2);
    unlink(path.c_str());
    unlink((path + ".ledger").c_str());
    EXPECT_EQ(text,
              "records: 7 from 2 files, 4 skipped (not records)\n"
              "ledgers: 5 numbers taken from 1 files, 2 burnt\n"
              "station A, lot L1\n  boards 4: passed 3, failed 1 (FAILED 1)\n  checks: equal 1\n"
              "  first-pass yield 50.0 % (2 of 4 first attempts)\n"
              "  944.3 boards per hour over 0:00:15 active\n"
              "  serial numbers 100 to 105: 3 used, 1 burnt; 2 missing: 103-104; repeated: 101\n"
              "  burnt 102: taken 2026-12-07T08:00:07.000Z, station A, port /dev/ttyUSB1, slot -\n"
              "  update time: median 2.00 s, slowest 3.00 s (/dev/ttyUSB2, started "
              "2026-12-07T08:00:08.000Z)\n"
              "station B, lot -\n  boards 0: passed 0, failed 0\n"
              "  first-pass yield 0.0 % (0 of 1 first attempts)\n"
              "  - boards per hour over 0:00:00 active\n"
              "  serial numbers 106 to 106: 0 used, 1 burnt\n"
              "  burnt 106: taken 2026-12-07T08:06:40.000Z, station B, port /dev/ttyUSB1, slot -\n"
              "station -, lot -\n  boards 2: passed 2, failed 0\n"
              "  first-pass yield 100.0 % (2 of 2 first attempts)\n"
              "  900.0 boards per hour over 0:00:08 active\n"
              "  update time: median 4.00 s, slowest 5.00 s (/dev/ttyUSB0, started "
              "2026-12-07T08:00:30.000Z)\n");
    const std::vector<std::string> in_json = {
        "\"records\":7,\"ledgers\":[\"" + path + ".ledger\"],\"ledger_entries\":5,\"burnt\":2,"
        "\"skipped_lines\":4,\"groups\":[{\"station\":\"A\",\"lot\":\"L1\","
        "\"boards\":4,\"passed\":3,\"failed\":{\"FAILED\":1},\"checks\":{\"equal\":1},"
        "\"first_attempts\":4,\"first_attempts_passed\":2,\"first_pass_yield\":0.5,",
        "\"active_seconds\":15.25,\"boards_per_hour\":944.2622950819672,\"serial_numbers\":{"
        "\"first\":100,\"last\":105,\"count\":3,\"burnt\":1,\"missing\":2,\"gaps\":[[103,104]],"
        "\"repeated\":[101]},\"burnt\":[{\"serial_number\":102,\"station\":\"A\",\"port\":"
        "\"/dev/ttyUSB1\",\"slot\":null,\"taken\":\"2026-12-07T08:00:07.000Z\"}],"
        "\"median_seconds\":2.0,\"slowest\":{\"seconds\":3.0,",
        "{\"station\":null,\"lot\":null,\"boards\":2,",
    };
    for (const auto &expected : in_json)
        EXPECT_THAT(json, HasSubstr(expected));
    EXPECT_EQ(problems, "kep-update: " + path + ": line 3 is not a report record; skipped\n" +
                            "kep-update: " + path + ": line 8 is not a report record; skipped\n" +
                            "kep-update: " + path + ": line 10 is not a report record; skipped\n" +
                            "kep-update: cannot read report " + path + ".absent: No such file or directory\n" +
                            "kep-update: " + path + ".ledger: line 4 is not a ledger entry; skipped\n");
    EXPECT_EQ(json_problems, problems);
}

} // namespace
