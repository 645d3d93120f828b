// kep-update's live area on a terminal (a pseudo-terminal here): trace lines
// whole above it in every mode, one line per running target, at any width.
#include "rig.h"

#include <algorithm>
#include <csignal>
#include <fstream>
#include <gmock/gmock.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

using testing::HasSubstr;

namespace
{

using LiveView = rig;

// The rows a terminal shows after `shown`, which moves the cursor with
// carriage return, line feed, ESC [ n A (up) and ESC [ J (clear below).
std::vector<std::string> screen_after(const std::string &shown)
{
    std::vector<std::string> rows(1);
    size_t row = 0, col = 0;
    for (size_t i = 0; i < shown.size(); i++) {
        if (shown[i] == '\033') {
            size_t end = shown.find_first_of("AJm", i);
            if (shown[end] == 'A') // 'm', a colour, moves nothing
                row -= std::stoul(shown.substr(i + 2)); // the digits after "ESC ["
            else if (shown[end] == 'J')
                rows.resize(row + 1), rows[row].resize(std::min(col, rows[row].size()));
            i = end;
        } else if (shown[i] == '\n' && ++row == rows.size()) {
            rows.emplace_back();
        } else if (shown[i] == '\r') {
            col = 0;
        } else if (shown[i] != '\n') {
            rows[row].resize(std::max(rows[row].size(), col + 1), ' ');
            rows[row][col++] = shown[i];
        }
    }
    return rows;
}

// Reads the terminal into `shown` until `done`, the tool closing it, or `limit_ms`.
bool read_until(int master, std::string *shown, const std::function<bool()> &done,
                int limit_ms = 15000)
{
    char buffer[4096];
    pollfd output{master, POLLIN, 0};
    clock_point deadline = in_ms(limit_ms);
    while (!done() && std::chrono::steady_clock::now() < deadline)
        if (poll(&output, 1, 50) > 0) {
            ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0)
                break;
            shown->append(buffer, (size_t)n);
        }
    return done();
}

// The screen at the end, each trace row whole: acknowledged, or timed out
// (the machine is busy) and sent again; the station's tally on a row alone.
std::string final_screen(const std::string &shown)
{
    std::string screen;
    for (const auto &row : screen_after(shown)) {
        screen += row + "\n";
        if (row.find("PROG ADDR") != std::string::npos) {
            EXPECT_THAT(row, testing::MatchesRegex(".*: PROG ADDR 0x[0-9a-f]+, LEN 0x400, FROM "
                                                   "[0-9a-fx]+\\.\\.\\. - SENT - (- OK|TIMEOUT)"))
                << "cut, glued or overwritten";
        }
    }
    return screen;
}

// Three targets at once on a terminal, one failing on its own: a progress
// line per port stays below the trace, ending on its outcome.
TEST_F(LiveView, OnATerminalSeveralTargetsOfTheBuiltInImageCompleteOrFailOnTheirOwn)
{
    // a keeps no copy of its flash: its CRC check shows it whole.
    std::string a = start_sim("a", {"--dump", ""}), b = start_sim("b", {"--wrong-verify"}),
                c = start_sim("c");
    int master = -1, slave = -1;
    winsize wide{24, 160, 0, 0}; // room for each line's rate
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, &wide), 0);
    ASSERT_TRUE(start_tool(&tool, {"--port", a + "," + b, "--port", c}, {}, slave));
    close(slave);
    std::string shown;
    read_until(master, &shown, [] { return false; }); // until the tool has closed the terminal
    close(master);
    EXPECT_EQ(child_finish(&tool, in_ms(5000)).status, 1);
    EXPECT_EQ(child_finish(&sims[0], in_ms(2000)).status, 0) << "reset, with no --dump file";
    EXPECT_TRUE(flash_holds("c", FIRMWARE_BIN));

    std::string screen = final_screen(shown);
    std::string below = screen.substr(screen.rfind("PROG ADDR"));
    EXPECT_EQ(std::ranges::count(below, '%'), 3) << "one line per port below the trace:\n" << screen;
    // A bar part way, at the line's rate: a 25 KiB image takes seconds.
    EXPECT_THAT(shown, testing::ContainsRegex("\\] +[1-9][0-9]?%  programming 0x[0-9a-f]+ +[1-9][0-9]*\\.[0-9] "
                                              "KiB/s  0:[0-5][0-9] left"));
    for (const auto &port : {a, c})
        expect_in_order(
            screen, {"Flash Image Size 0x6400 bytes\n", port + ":  . Opening serial port " + port,
                     port + ": REMOTE DEVICE LINK ESTABLISHED\n",
                     port + ": PROG ADDR 0x8000800, LEN 0x400, FROM 0... - SENT - - OK\n",
                     port + ": PROG ADDR 0x8006800, LEN 0x400, FROM 0x6000... - SENT - - OK\n",
                     port + ": CRCs match\n", port + ": frame length    5 bytes received & OK\n"});
    expect_in_order(screen, {b + ": Remote CRC", b + ": CRC FAIL\n", "] 100%  updated",
                             a + "  updated  25/25", b + "  FAILED   25/25",
                             c + "  updated  25/25", "2 of 3 targets updated"});
    // --version names the built-in firmware as the Windows version resource does.
    EXPECT_THAT(run_tool({"--version"}).out,
                HasSubstr("\nBuilt-in firmware firmware.bin, 25600 bytes, CRC-16 0xab23\n"));
    EXPECT_THAT(run_tool({"--describe"}).out, HasSubstr("\nData         0x08000800.."));
    EXPECT_THAT(screen, HasSubstr("Local  CRC 0xab23\n"));
}

// A station's screen: a row per slot in the ports' order, its board's PASS
// or FAILED kept in colour (none with NO_COLOR) at any width, no trace.
TEST_F(LiveView, AStationShowsARowPerSlotWithEachBoardsResultUntilItIsRemoved)
{
    fixture("ttyD", "remove");
    fixture("ttyB", "insert --wrong-verify");
    std::string app = fixture("ttyC", "insert", {"--after-reset", "app"});
    ASSERT_EQ(run_tool({"--port", app, "--image", small_image}).status, 0);
    fixture("ttyA", "insert");
    fixture("ttyE", "insert --load " + small_image);
    for (int columns : {80, 40}) {
        SCOPED_TRACE(columns);
        if (columns == 40) { // new boards in place of the first run's
            command("ttyA", "insert\n");
            command("ttyB", "insert --wrong-verify\n");
        }
        int master = -1, slave = -1;
        winsize size{24, (unsigned short)columns, 0, 0};
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, &size), 0);
        std::vector<std::string> colour = {"/usr/bin/env", columns == 40 ? "NO_COLOR=1" : "NO_COLOR="};
        ASSERT_TRUE(start_tool(&tool, {"--watch", "--bell", "--port", dir + "/rig/tty*", "--image",
                                       small_image},
                               colour, slave));
        close(slave);
        std::string shown;
        ASSERT_TRUE(read_until(master, &shown, [&] {
            return shown.find("ttyA: PASS") != std::string::npos &&
                   shown.find("ttyB: FAILED") != std::string::npos;
        })) << shown;
        kill(tool.pid, SIGINT);
        read_until(master, &shown, [] { return false; }, 5000);
        close(master);
        EXPECT_EQ(child_finish(&tool, in_ms(5000)).status, 4); // ttyC's

        EXPECT_EQ(std::ranges::count(shown, '\a'), 2);
        EXPECT_THAT(shown.substr(shown.rfind('\a'), 40), HasSubstr("FAILED")) << "a failed board's bell";
        std::string screen = final_screen(shown);
        EXPECT_THAT(screen, testing::Not(HasSubstr("PROG ADDR"))) << "the trace stays off";
        EXPECT_THAT(screen, HasSubstr("\nkep-update: watch ended: ")) << "on a line below the rows";
        std::string last = shown.substr(shown.rfind("\033[J"));
        expect_in_order(last, {"ttyA: PASS", "ttyB: FAILED: CRC differs \u2014 remove",
                               "ttyC: FAILED: not in its bootloader", "ttyD: empty",
                               "ttyE: holds the image", "passed 1  failed 2"});
        if (columns == 80) {
            EXPECT_THAT(last, HasSubstr("\033[32m" + dir + "/rig/ttyA: PASS\033[0m"));
            EXPECT_THAT(last, HasSubstr("\033[1;31m" + dir + "/rig/ttyB: FAILED"));
        } else {
            EXPECT_THAT(last, testing::Not(testing::ContainsRegex("\033\\[[0-9;]*m")));
        }
        for (const auto &row : screen_after(last.substr(0, last.find("kep-update: watch"))))
            EXPECT_LT( // columns: UTF-8 characters
                std::ranges::count_if(row, [](char c) { return (c & 0xC0) != 0x80; }), columns)
                << row;
    }
}

} // namespace
