// kep-update's pure parts, as tables: the live area's line at any width,
// which watched ports start, how a slot follows its boards, and the serial
// number's format, field and file.
// The records and their summary are records_test.cpp's.
#include "cli_options.h"
#include "port_presence.h"
#include "progress_line.h"
#include "serial_number.h"
#include "slot_table.h"
#include "system.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <sstream>
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

// A slot's life as the operator makes it: "D0=u" is a probe at 0 ms finding a
// board that differs, to be updated; probes: S silent, A application, H holds
// the image, D differs, B the half-written board again, G port gone; runs
// ending: p passed, f failed, t timed out half-way, r removed (another board
// in its place). Actions: w wait, u update, h record holding, a record application.
TEST(SlotTable, ANewPlacingIsAnAnswerAfterSilenceOrAfterAnotherBoardAnswered)
{
    const std::pair<const char *, const char *> stories[] = {
        // clang-format off
        {"a failed board stays until it has been away 150 ms",
         "D0=u f2000 D2040=w S2100 D2200=w S2300 S2400 D2450=u"},
        {"a passed board: its reset, its application, its restart, then a board placed back",
         "D0=u p3000 H3040=w A3100=w S3120 H3290=w S3400 S3500 H3560=h"},
        {"a passed board swapped quicker than silence shows", "D0=u p3000 D3050=u"},
        {"a hung board is the same board when it answers again, a blank one is new",
         "D0=u t5000 S5100 S6000 B6100=w S6200 S6400 D6500=u"},
        {"another board answered in place of the one written: it is new at once", "D0=u r900 D950=u"},
        {"not in its bootloader: recorded once, however long it stays", "A0=a f1 A40=w D80=w"},
        {"the board present at the start is left alone until it leaves", "!H0=w D40=w S80 D300=u"},
        {"a port that failed: what answers when it works again is new", "D0=u p3000 G3100=w H3200=h"},
        {"silence across the tick counter's wrap", "D4294967000=u f4294967100 S4294967200 D200=u"},
        // clang-format on
    };
    for (const auto &[story, steps] : stories) {
        std::istringstream words(steps);
        std::string word;
        words >> word;
        bool leave_alone = word[0] == '!';
        slot_memory memory = slot_start(leave_alone);
        std::string done = "", expected;
        for (words.seekg(0); words >> word;) {
            size_t at = leave_alone && done.empty() ? 1 : 0;
            char kind = word[at];
            uint32_t now = (uint32_t)std::stoul(word.substr(at + 1));
            const std::string probes = "SAHDBG", ends = "pftr", actions = "wuha";
            const probe_verdict verdicts[] = {PROBE_SILENT, PROBE_APPLICATION, PROBE_HOLDS_IMAGE,
                                              PROBE_DIFFERS, PROBE_SAME_BOARD, PROBE_PORT_GONE};
            const outcome_id outcomes[] = {OUTCOME_UPDATED, OUTCOME_VERIFY_FAILED,
                                           OUTCOME_TIMED_OUT, OUTCOME_REMOVED};
            const slot_action meant[] = {SLOT_WAIT, SLOT_UPDATE, SLOT_RECORD_HOLDS,
                                         SLOT_RECORD_APPLICATION};
            done += word + " ";
            if (ends.find(kind) != std::string::npos) {
                slot_ended(&memory, outcomes[ends.find(kind)], kind == 't', now);
                EXPECT_EQ(memory.unfinished, kind == 't') << story;
                continue;
            }
            slot_action action = slot_next(&memory, verdicts[probes.find(kind)], now);
            size_t equals = word.find('=');
            if (equals != std::string::npos) {
                EXPECT_EQ(action, meant[actions.find(word[equals + 1])]) << story << ": " << done;
            }
        }
    }
}

// What a board whose run stopped holds, for the probes that tell it from another.
TEST(SlotTable, AHalfWrittenBoardIsOneThatStoppedWhileTakingOrBeingAskedABlock)
{
    const std::tuple<outcome_id, link_state, int32_t> rows[] = {
        {OUTCOME_TIMED_OUT, STATE_PROGRAM, 2048},  {OUTCOME_STALLED, STATE_PROGRAM, 2048},
        {OUTCOME_TIMED_OUT, STATE_COMPARE, 2048}, // hung while asked whether it holds block 3
        {OUTCOME_TIMED_OUT, STATE_VERIFY, 0},     // all written: it will be found holding the image
        {OUTCOME_VERIFY_FAILED, STATE_PROGRAM, 0}, {OUTCOME_REMOVED, STATE_COMPARE, 0},
    };
    for (const auto &[outcome, state, held] : rows)
        EXPECT_EQ(half_written_bytes(outcome, state, 2048), held) << state << " " << outcome;
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

} // namespace
