// kep-update's pure parts, as tables: the live area's line at any width, the
// report's JSON strings and UTC stamps, which watched ports start, and the
// summary of a report.
#include "cli_options.h"
#include "port_presence.h"
#include "progress_line.h"
#include "report_log.h"
#include "report_summary.h"
#include "serial_number.h"
#include "system.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <unistd.h>

using testing::HasSubstr;

namespace
{

TEST(ProgressLine, KeepsTheStatusOrOutcomeAndFitsEveryWidth)
{
    const std::string port = "/dev/serial/by-id/usb-FTDI_A50285BI";
    // 25 blocks at tick 20000; `mid` started 10 s before, `fast` 5 s before, 10 done since.
    const char *busy = "programming 0x8001c00"; // an ended run shows its outcome instead
    const job_snapshot mid{"programming 0x8003000", STATE_PROGRAM, 10, 0, 10000},
        fast{"programming 0x8003000", STATE_PROGRAM, 10, 0, 15000},
        ended{busy, STATE_FAILED, 25, 0, 0, OUTCOME_VERIFY_FAILED};
    const std::tuple<job_snapshot, bool, int, std::string> rows[] = { // the whole line
        // clang-format off
        {fast, false, 120, port + ": [########................]  37%  programming 0x8003000  2.0 KiB/s  0:08 left"},
        {{"Resetting target...", STATE_RESET, 25}, false, 120, port + ": [#######################.]  96%  Resetting target..."},
        {{"programming 0x8000800", STATE_PROGRAM, 0, 0, 20000}, false, 120,
         port + ": [........................]   0%  programming 0x8000800  -.- KiB/s  -:-- left"},
        {mid, false, 110, port + ": [########................]  37%  programming 0x8003000"}, // rate gone, bar whole
        {{"Programming Completed OK", STATE_DONE, 25}, false, 120,
         port + ": [########################] 100%  Programming Completed OK"},
        {mid, false, 39, "usb-FTDI_A50285BI: programming 0x800300"},
        {{busy, STATE_DONE, 25, 0, 0, OUTCOME_RESET_UNCONFIRMED}, false, 40, "usb-FTDI_A50285BI: updated, reset not co"},
        {ended, false, 19, "usb-FTDI_A50285BI: "},
        {{busy, STATE_DONE, 0, 0, 0, OUTCOME_UPDATED}, true, 30, "usb-FTDI_A50285BI: 100%  equal"},
        {{"contacting", STATE_CONTACT}, false, 40, "usb-FTDI_A50285BI: contacting"},
        // clang-format on
    };
    for (const auto &[s, check, width, expected] : rows)
        EXPECT_EQ(progress_line(port, s, 25, check, 20000, width), expected) << width;
    // Without a port name, 20 columns keep a short bar and show how it ended.
    EXPECT_EQ(progress_line("", ended, 25, false, 0, 19), "[###.]  92%  FAILED");
    EXPECT_THAT(progress_line("", {"programming 0x8001400", STATE_PROGRAM, 3, 2}, 25, false, 0, 79),
                HasSubstr("0x8001400 (2 refused)"));
}

TEST(Report, JsonStringsAndUtcStamps)
{
    const std::vector<std::pair<std::string, std::string>> strings = {
        {"plain /dev/ttyUSB0", "\"plain /dev/ttyUSB0\""},
        {"q\"b\\n\nt\t\x01\x7f", "\"q\\\"b\\\\n\\nt\\t\\u0001\\u007f\""},
        {"\xc3\xa9 \xe2\x82\xac \xef\xbc\xa1 \xf0\x9f\x94\x8c", "\"\xc3\xa9 \xe2\x82\xac \xef\xbc\xa1 \xf0\x9f\x94\x8c\""},
        {"\xff\xc3(\xe2\x82", "\"\\ufffd\\ufffd(\\ufffd\\ufffd\""}, // not UTF-8, or cut short
    };
    for (const auto &[text, json] : strings)
        EXPECT_EQ(json_string(text), json);
    // A record's origin (station, lot, operator) the station tests read back as JSON.
    const std::vector<std::pair<int64_t, std::string>> stamps = {
        {0, "1970-01-01T00:00:00.000Z"},           {-1, "1969-12-31T23:59:59.999Z"},
        {951868799999, "2000-02-29T23:59:59.999Z"}, {1769860800000, "2026-01-31T12:00:00.000Z"},
        {1798761599999, "2026-12-31T23:59:59.999Z"}, {4107542400000, "2100-03-01T00:00:00.000Z"},
    };
    for (const auto &[ms, text] : stamps)
        EXPECT_EQ(iso8601_utc(ms), text);
}

TEST(PortPresence, EachBoardStartsOncePerPluggingIn)
{
    using ports = std::vector<std::string>;
    struct step {
        ports present;
        const char *ended; // a job that ended before this scan, or ""
        ports starting;
    };
    // clang-format off
    const std::vector<step> steps = {
        {{"A", "B"}, "", {"A", "B"}}, // present at the start: at once
        {{"A", "B", "C"}, "", {}},    // new: seen once first
        {{"A", "B", "C"}, "A", {"C"}},
        {{"A", "B", "C"}, "C", {}},   // done while plugged in: not again
        {{"B"}, "", {}},              // A and C unplugged
        {{"A", "B"}, "", {}},
        {{"A", "B"}, "", {"A"}},      // A plugged in again
        {{}, "", {}},                 // B unplugged while its update runs...
        {{"B"}, "B", {}},             // ...so what is there now is a new board
        {{"B"}, "", {"B"}},
    };
    // clang-format on
    port_presence presence;
    for (size_t i = 0; i < steps.size(); i++) {
        if (*steps[i].ended)
            presence_job_ended(&presence, steps[i].ended);
        EXPECT_EQ(presence_scan(&presence, steps[i].present), steps[i].starting) << "scan " << i;
    }
}

TEST(SerialNumber, FormatsAndFieldsAreCheckedBeforeAnyBoard)
{
    // clang-format off
    const std::tuple<const char *, uint64_t, std::string> encodings[] = { // empty: does not fit
        {"u32le", 0x12345678, "\x78\x56\x34\x12"}, {"u32be", 0x12345678, "\x12\x34\x56\x78"},
        {"u32be", 0x100000000, ""}, {"u64le", 0x0102030405060708, "\x08\x07\x06\x05\x04\x03\x02\x01"},
        {"ascii:8", 42, "00000042"}, {"ascii:8", 99999999, "99999999"}, {"ascii:8", 100000000, ""},
        {"ascii:20", 18446744073709551614u, "18446744073709551614"},
    };
    // clang-format on
    for (const auto &[name, number, expected] : encodings) {
        serial_format format;
        ASSERT_TRUE(parse_serial_format(name, &format)) << name;
        std::vector<uint8_t> got;
        EXPECT_EQ(encode_serial_number(number, format, &got), !expected.empty()) << number;
        EXPECT_EQ(expected.empty() ? "" : std::string(got.begin(), got.end()), expected) << name;
    }
    // A serial file as editors save it; -1: holds no number.
    const std::vector<std::pair<std::string, int64_t>> files = {
        {"2000", 2000}, {"2000\r\nnotes", 2000},
        {"\xEF\xBB\xBF" "2000\r\n", 2000},                           // Notepad, UTF-8
        {std::string("\xFF\xFE" "2\0" "0\0" "0\0" "7\0" "\r\0\n\0", 14), 2007}, // PowerShell 5
        {std::string("\xFE\xFF" "\0" "4" "\0" "2", 6), 42},            // UTF-16, big-endian
        {std::string("\xFF\xFE" "4\x01" "2\0", 6), -1},               // a letter beyond ASCII
        {std::string("\xFF\x00" "7\0", 4), -1},                       // 0xFF alone is no mark
        {std::string("\xFF\xFE" "7\0" "8", 5), 7},                    // an odd last byte is no letter
        {"\xEF\xBB" "2000", -1}, {"", -1}, {"\r\n2000", -1},
    };
    for (const auto &[text, expected] : files) {
        uint64_t number = 0;
        bool holds = serial_file_number(text, &number);
        EXPECT_EQ(holds ? (int64_t)number : -1, expected) << text;
    }
    serial_format unused;
    for (const char *bad : {"u16le", "ascii:", "ascii:0", "ascii:21", "ascii:8x", "ASCII:8"})
        EXPECT_FALSE(parse_serial_format(bad, &unused)) << bad;

    update_image image; // data 0x08000800..0x080013B7: blank at 0x100 (0xFF), 0x200 (0x00),
    image.data_size = 3000; // and in its first and last four bytes
    image.padded.assign(3072, 0x5A);
    std::fill_n(image.padded.begin() + 0x100, 8, 0xFF);
    std::fill_n(image.padded.begin() + 0x200, 8, 0x00);
    std::fill_n(image.padded.begin(), 4, 0xFF);
    std::fill_n(image.padded.begin() + 2996, 4, 0xFF);
    // clang-format off
    const std::tuple<uint32_t, const char *, std::string> fields[] = { // why refused; empty: accepted
        {0x08000900, "u64le", ""}, {0x08000A00, "u32be", ""}, {0x08000904, "u32le", ""},
        {0x08000905, "u32le", "the image holds data at 0x08000905..0x08000908; a serial number would overwrite it"},
        {0x08000A04, "ascii:8", "the image holds data at 0x08000A04..0x08000A0B"},
        {0x080007FE, "u32le", "the serial number's field 0x080007FE..0x08000801 lies outside the image's data 0x08000800..0x080013B7"},
        {0x08000800, "u32le", ""},
        {0x080013B4, "u32le", ""}, // ends on the data's last byte
        {0x080013B5, "u32le", "lies outside the image's data"}, // one past: the padding is no field
        {0xFFFFFFFE, "u64le", "lies outside the image's data"},
    };
    // clang-format on
    for (const auto &[address, format, expected] : fields) {
        serial_settings serial;
        serial.address = address;
        ASSERT_TRUE(parse_serial_format(format, &serial.format));
        std::string why = check_serial_field(image, serial);
        EXPECT_TRUE(expected.empty() ? why.empty() : why.find(expected) != std::string::npos)
            << std::hex << address << ": " << why;
    }
    // A field at the image's start or end leaves one range to check, none empty.
    serial_settings field;
    field.used = true;
    for (auto [address, offset] : {std::pair<uint32_t, int32_t>{0x080013B4, 0}, {0x08000800, 4}}) {
        field.address = address;
        std::vector<image_range> ranges = check_ranges(image, &field);
        ASSERT_EQ(ranges.size(), 1u) << std::hex << address;
        EXPECT_EQ(std::make_pair(ranges[0].offset, ranges[0].length), std::make_pair(offset, 2996));
    }
    // The highest address, and an errno left by an earlier call is not the address's.
    cli_options options;
    const char *words[] = {"kep-update", "--port", "p", "--serial-number", "0xFFFFFFFF",
                           "--serial-file", "f"};
    errno = ERANGE;
    EXPECT_EQ(parse_cli_options(7, (char **)words, &options), -1);
    image.data_size = 4; // and u32le, the default format
    EXPECT_EQ(check_serial_field(image, field), "the image holds nothing but the serial number's field");
}

// The rename is synced through the folder the path names: none (the current
// one), the root, or any other. The number read must fit its format.
TEST(SerialNumber, TheFileIsCheckedAndReplacedDurablyWhateverItsFolder)
{
    char here[] = "/tmp/kep-replace-XXXXXX";
    ASSERT_TRUE(mkdtemp(here));
    const std::string previous = std::filesystem::current_path();
    std::filesystem::current_path(here);
    std::string error;
    auto descriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    auto open_before = descriptors();
    for (const std::string &path : {std::string("next"), std::string(here) + "/next",
                                    "/kep-replace-" + std::to_string(getpid())}) {
        EXPECT_TRUE(replace_file_durably(path, "7\n", &error)) << path << ": " << error;
        std::ifstream file(path);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "7\n") << path;
        std::filesystem::remove(path);
    }
    EXPECT_EQ(descriptors(), open_before) << "the file and its folder are closed";
    EXPECT_FALSE(replace_file_durably(std::string(here) + "/no/next", "7\n", &error));
    EXPECT_EQ(error, "cannot write " + std::string(here) + "/no/next: No such file or directory");
    // A number that no longer fits its format is refused, never wrapped.
    const std::tuple<const char *, const char *, bool> numbers[] = {
        {"4294967295", "u32le", true}, {"4294967296", "u32le", false},
        {"18446744073709551614", "u64le", true}, {"18446744073709551615", "u64le", false}};
    for (auto [number, format, fits] : numbers) {
        serial_settings serial;
        serial.file = "next";
        serial.format_name = format;
        ASSERT_TRUE(parse_serial_format(format, &serial.format));
        std::ofstream(serial.file) << number << "\n";
        EXPECT_EQ(check_serial_file(serial), fits ? "" : "the next serial number, " + std::string(number) +
                                                  " (from next), does not fit the format " + format);
    }
    std::filesystem::current_path(previous);
    std::filesystem::remove_all(here);
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
    std::string path = testing::TempDir() + "summary-" + std::to_string(getpid()) + ".jsonl";
    std::ofstream file(path);
    for (const auto &line : lines)
        file << line << "\n";
    file.close();
    std::string text, json, problems, json_problems;
    const std::vector<std::string> paths = {path, path + ".absent"}; // an unreadable file adds no line
    EXPECT_EQ(summarize_reports(paths, false, &text, &problems), 2);
    EXPECT_EQ(summarize_reports(paths, true, &json, &json_problems), 2);
    unlink(path.c_str());
    EXPECT_EQ(text,
              "records: 7 from 2 files, 3 skipped (not records)\n"
              "station A, lot L1\n  boards 4: passed 3, failed 1 (FAILED 1)\n  checks: equal 1\n"
              "  first-pass yield 66.7 % (2 of 3 first attempts)\n"
              "  944.3 boards per hour over 0:00:15 active\n"
              "  serial numbers 100 to 105: 3 used; 3 missing: 102-104; repeated: 101\n"
              "  update time: median 2.00 s, slowest 3.00 s (/dev/ttyUSB2, started "
              "2026-12-07T08:00:08.000Z)\n"
              "station -, lot -\n  boards 2: passed 2, failed 0\n"
              "  first-pass yield 100.0 % (2 of 2 first attempts)\n"
              "  900.0 boards per hour over 0:00:08 active\n"
              "  update time: median 4.00 s, slowest 5.00 s (/dev/ttyUSB0, started "
              "2026-12-07T08:00:30.000Z)\n");
    const std::vector<std::string> in_json = {
        "\"records\":7,\"skipped_lines\":3,\"groups\":[{\"station\":\"A\",\"lot\":\"L1\","
        "\"boards\":4,\"passed\":3,\"failed\":{\"FAILED\":1},\"checks\":{\"equal\":1},"
        "\"first_attempts\":3,\"first_attempts_passed\":2,",
        "\"active_seconds\":15.25,\"boards_per_hour\":944.2622950819672,\"serial_numbers\":{"
        "\"first\":100,"
        "\"last\":105,\"count\":3,\"missing\":3,\"gaps\":[[102,104]],\"repeated\":[101]},"
        "\"median_seconds\":2.0,\"slowest\":{\"seconds\":3.0,",
        "{\"station\":null,\"lot\":null,\"boards\":2,",
    };
    for (const auto &expected : in_json)
        EXPECT_THAT(json, HasSubstr(expected));
    EXPECT_EQ(problems, "kep-update: " + path + ": line 3 is not a report record; skipped\n" +
                            "kep-update: " + path + ": line 8 is not a report record; skipped\n" +
                            "kep-update: " + path + ": line 10 is not a report record; skipped\n" +
                            "kep-update: cannot read report " + path + ".absent: No such file or directory\n");
    EXPECT_EQ(json_problems, problems);
}

} // namespace
