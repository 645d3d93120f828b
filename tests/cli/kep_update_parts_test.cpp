// kep-update's pure parts, as tables: the live area's line at any width, the
// report's JSON strings and UTC stamps, and which watched ports start.
#include "port_presence.h"
#include "progress_line.h"
#include "report_log.h"
#include "serial_number.h"

#include <fstream>
#include <gmock/gmock.h>

using testing::HasSubstr;

namespace
{

job_snapshot snapshot(int32_t state, int32_t done, outcome_id outcome = OUTCOME_RUNNING,
                      const char *status = "programming 0x8001c00", uint32_t started = 0)
{
    job_snapshot s;
    s.status = status;
    s.state = state;
    s.blocks_done = done;
    s.program_started_ms = started;
    s.outcome = outcome;
    return s;
}

TEST(ProgressLine, KeepsTheStatusOrOutcomeAndFitsEveryWidth)
{
    const std::string port = "/dev/serial/by-id/usb-FTDI_A50285BI";
    struct row {
        job_snapshot s;
        bool check;
        int width;
        std::string expected; // the whole line
    };
    // 25 blocks; the first acknowledged 10 s ago at tick 20000, 10 done since: 1.0 KiB/s.
    // clang-format off
    const std::vector<row> rows = {
        {snapshot(STATE_PROGRAM, 10, OUTCOME_RUNNING, "programming 0x8003000", 10000), false, 120,
         port + ": [########................]  37%  programming 0x8003000  1.0 KiB/s  0:15 left"},
        {snapshot(STATE_PROGRAM, 0, OUTCOME_RUNNING, "programming 0x8000800", 20000), false, 120,
         port + ": [........................]   0%  programming 0x8000800  -.- KiB/s  -:-- left"},
        {snapshot(STATE_PROGRAM, 10, OUTCOME_RUNNING, "programming 0x8003000", 10000), false, 39,
         "usb-FTDI_A50285BI: programming 0x800300"},
        {snapshot(STATE_DONE, 25, OUTCOME_RESET_UNCONFIRMED), false, 40,
         "usb-FTDI_A50285BI: updated, reset not co"},
        {snapshot(STATE_FAILED, 25, OUTCOME_VERIFY_FAILED), false, 19, "usb-FTDI_A50285BI: "},
        {snapshot(STATE_DONE, 0, OUTCOME_UPDATED), true, 30, "usb-FTDI_A50285BI: 100%  equal"},
    };
    // clang-format on
    for (const auto &r : rows)
        EXPECT_EQ(progress_line(port, r.s, 25, r.check, 20000, r.width), r.expected) << r.width;
    // Without a port name, 20 columns keep a short bar and show how it ended.
    EXPECT_EQ(progress_line("", snapshot(STATE_FAILED, 25, OUTCOME_VERIFY_FAILED), 25, false, 0, 19),
              "[###.]  92%  FAILED");
    job_snapshot refused = snapshot(STATE_PROGRAM, 3, OUTCOME_RUNNING, "programming 0x8001400");
    refused.blocks_refused = 2;
    EXPECT_THAT(progress_line("", refused, 25, false, 0, 79), HasSubstr("0x8001400 (2 refused)"));
}

TEST(Report, JsonStringsAndUtcStamps)
{
    const std::vector<std::pair<std::string, std::string>> strings = {
        {"plain /dev/ttyUSB0", "\"plain /dev/ttyUSB0\""},
        {"q\"b\\n\nt\t\x01\x7f", "\"q\\\"b\\\\n\\nt\\t\\u0001\\u007f\""},
        {"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x8c", "\"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x8c\""},
        {"\xff\xc3(\xe2\x82", "\"\\ufffd\\ufffd(\\ufffd\\ufffd\""}, // not UTF-8, or cut short
    };
    for (const auto &[text, json] : strings)
        EXPECT_EQ(json_string(text), json);
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
    port_presence skipping;
    skipping.skip_present = true;
    EXPECT_EQ(presence_scan(&skipping, {"A"}), ports{});
    EXPECT_EQ(presence_scan(&skipping, {"A", "B"}), ports{});
    EXPECT_EQ(presence_scan(&skipping, {"A", "B"}), ports{"B"});
}

TEST(SerialNumber, FormatsAndFieldsAreCheckedBeforeAnyBoard)
{
    using bytes = std::vector<uint8_t>;
    struct encoding {
        const char *format;
        uint64_t number;
        bytes expected; // empty: does not fit
    };
    // clang-format off
    const std::vector<encoding> encodings = {
        {"u32le", 0x12345678, {0x78, 0x56, 0x34, 0x12}},
        {"u32be", 0x12345678, {0x12, 0x34, 0x56, 0x78}},
        {"u32be", 0x100000000, {}},
        {"u64le", 0x0102030405060708, {8, 7, 6, 5, 4, 3, 2, 1}},
        {"ascii:8", 42, bytes{'0', '0', '0', '0', '0', '0', '4', '2'}},
        {"ascii:8", 99999999, bytes{'9', '9', '9', '9', '9', '9', '9', '9'}},
        {"ascii:8", 100000000, {}},
        {"ascii:20", 18446744073709551614u, bytes{'1', '8', '4', '4', '6', '7', '4', '4', '0', '7',
                                                 '3', '7', '0', '9', '5', '5', '1', '6', '1', '4'}},
    };
    // clang-format on
    for (const auto &e : encodings) {
        serial_format format;
        ASSERT_TRUE(parse_serial_format(e.format, &format)) << e.format;
        bytes got;
        EXPECT_EQ(encode_serial_number(e.number, format, &got), !e.expected.empty()) << e.number;
        if (!e.expected.empty()) {
            EXPECT_EQ(got, e.expected) << e.format;
        }
    }
    // A serial file as editors save it; -1: holds no number.
    const std::vector<std::pair<std::string, int64_t>> files = {
        {"2000", 2000},
        {"2000\r\nnotes", 2000},
        {"\xEF\xBB\xBF" "2000\r\n", 2000},                           // Notepad, UTF-8
        {std::string("\xFF\xFE" "2\0" "0\0" "0\0" "7\0" "\r\0\n\0", 14), 2007}, // PowerShell 5
        {std::string("\xFE\xFF" "\0" "4" "\0" "2", 6), 42},            // UTF-16, big-endian
        {std::string("\xFF\xFE" "4\x01" "2\0", 6), -1},               // a letter beyond ASCII
        {std::string("\xFF\x00" "7\0", 4), -1},                       // 0xFF alone is no mark
        {"\xEF\xBB" "2000", -1},
        {"", -1},
        {"\r\n2000", -1},
    };
    for (const auto &[text, expected] : files) {
        uint64_t number = 0;
        bool holds = serial_file_number(text, &number);
        EXPECT_EQ(holds ? (int64_t)number : -1, expected) << text;
    }
    serial_format unused;
    for (const char *bad : {"u16le", "ascii:", "ascii:0", "ascii:21", "ascii:8x", "ASCII:8"})
        EXPECT_FALSE(parse_serial_format(bad, &unused)) << bad;

    update_image image; // data 0x08000800..0x080013B7: blank at 0x100 (0xFF) and 0x200 (0x00)
    image.data_size = 3000;
    image.padded.assign(3072, 0x5A);
    std::fill_n(image.padded.begin() + 0x100, 8, 0xFF);
    std::fill_n(image.padded.begin() + 0x200, 8, 0x00);
    struct field {
        uint32_t address;
        const char *format;
        std::string why; // empty: accepted
    };
    // clang-format off
    const std::vector<field> fields = {
        {0x08000900, "u64le", ""},
        {0x08000A00, "u32be", ""},
        {0x08000904, "u32le", ""},
        {0x08000905, "u32le", "the image holds data at 0x08000905..0x08000908; a serial number would overwrite it"},
        {0x08000A04, "ascii:8", "the image holds data at 0x08000A04..0x08000A0B"},
        {0x080007FE, "u32le", "the serial number's field 0x080007FE..0x08000801 lies outside the image's data 0x08000800..0x080013B7"},
        {0x080013B5, "u32le", "lies outside the image's data"}, // its last byte padding: no field
        {0xFFFFFFFE, "u64le", "lies outside the image's data"},
    };
    // clang-format on
    for (const auto &f : fields) {
        serial_settings serial;
        serial.address = f.address;
        ASSERT_TRUE(parse_serial_format(f.format, &serial.format));
        std::string why = check_serial_field(image, serial);
        EXPECT_TRUE(f.why.empty() ? why.empty() : why.find(f.why) != std::string::npos)
            << std::hex << f.address << ": " << why;
    }
    // A field at the image's start leaves one range to check, none empty; a
    // field that is all the image leaves nothing, and is refused.
    serial_settings first;
    first.used = true;
    first.address = 0x08000800;
    std::vector<image_range> ranges = check_ranges(image, &first);
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_EQ(std::make_pair(ranges[0].offset, ranges[0].length), std::make_pair(4, 2996));
    image.data_size = 4;
    EXPECT_THAT(check_serial_field(image, first), HasSubstr("holds nothing but"));
    // The largest number a format holds is still taken; one more is not.
    first.file = testing::TempDir() + "serial-number-largest";
    ASSERT_TRUE(parse_serial_format("ascii:2", &first.format));
    for (const char *next : {"99", "100"}) {
        std::ofstream(first.file) << next;
        EXPECT_EQ(check_serial_file(first).empty(), std::string(next) == "99") << next;
    }
}

} // namespace
