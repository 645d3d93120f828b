// kep-update's live area on a terminal (a pseudo-terminal here): trace lines
// whole above it in every mode, one line per running target, at any width.
#include "rig.h"

#include <algorithm>
#include <csignal>
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
            size_t end = shown.find_first_of("AJ", i);
            if (shown[end] == 'A')
                row -= std::stoul(shown.substr(i + 2)); // the digits after "ESC ["
            else
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
        if (row.find("in progress") != std::string::npos) {
            EXPECT_THAT(row, testing::MatchesRegex(
                                 "(kep-update: watch ended: )?updated [0-9]+  failed [0-9]+  in progress [0-9]+"));
        }
    }
    return screen;
}

// Three targets at once on a terminal, one failing on its own: a progress
// line per port stays below the trace, ending on its outcome.
TEST_F(LiveView, OnATerminalSeveralTargetsOfTheBuiltInImageCompleteOrFailOnTheirOwn)
{
    std::string a = start_sim("a"), b = start_sim("b", {"--wrong-verify"}), c = start_sim("c");
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    ASSERT_TRUE(start_tool(&tool, {"--port", a + "," + b, "--port", c}, {}, slave));
    close(slave);
    std::string shown;
    read_until(master, &shown, [] { return false; }); // until the tool has closed the terminal
    close(master);
    EXPECT_EQ(child_finish(&tool, in_ms(5000)).status, 1);
    EXPECT_TRUE(flash_holds("a", FIRMWARE_BIN));
    EXPECT_TRUE(flash_holds("c", FIRMWARE_BIN));

    std::string screen = final_screen(shown);
    std::string below = screen.substr(screen.rfind("PROG ADDR"));
    EXPECT_EQ(std::ranges::count(below, '%'), 3) << "one line per port below the trace:\n" << screen;
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
    EXPECT_THAT(screen, HasSubstr("Local  CRC 0xab23\n"));
}

// The station's two boards at once: the same area as named ports, trace lines
// whole above it, and its lines follow the terminal's width when it changes.
TEST_F(LiveView, AStationKeepsTraceLinesWholeAndFollowsTheTerminalsWidth)
{
    start_sim("ttyA", {"--flash-ms", "400"});
    start_sim("ttyB", {"--flash-ms", "400", "--wrong-verify"});
    int master = -1, slave = -1;
    winsize size{24, 100, 0, 0};
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, &size), 0);
    ASSERT_TRUE(start_tool(&tool, {"--watch", "--port", dir + "/rig/tty*", "--image", small_image},
                           {}, slave));
    close(slave);
    std::string shown;
    auto seen = [&](const char *text) { return [&, text] { return shown.find(text) != std::string::npos; }; };
    ASSERT_TRUE(read_until(master, &shown, seen("FROM 0x400..."))) << shown;
    size.ws_col = 40;
    ASSERT_EQ(ioctl(master, TIOCSWINSZ, &size), 0);
    read_until(master, &shown, [] { return false; }, 250); // what was drawn before it
    size_t resized = shown.size();
    ASSERT_TRUE(read_until(master, &shown, seen("in progress 0"))) << shown;
    kill(tool.pid, SIGINT);
    read_until(master, &shown, [] { return false; }, 5000);
    close(master);
    EXPECT_EQ(child_finish(&tool, in_ms(5000)).status, 1);

    std::string screen = final_screen(shown);
    expect_in_order(screen, {"kep-update: watching", "rig/ttyB: CRC FAIL\n"});
    EXPECT_THAT(screen, testing::ContainsRegex("rig/ttyA  serial -  updated  [0-9.]+ s\n"));
    EXPECT_THAT(screen, testing::ContainsRegex("rig/ttyB  serial -  FAILED  [0-9.]+ s\n"));
    // Each drawing after the resize: its progress lines fit 40 columns.
    int drawn = 0;
    for (size_t at = resized; (at = shown.find("%  ", at)) != std::string::npos; at++, drawn++) {
        size_t start = std::max(shown.find_last_of('\n', at) + 1, shown.rfind("\033[J", at) + 3);
        size_t end = shown.find_first_of("\n\r", at);
        EXPECT_LT(end - start, 40u) << shown.substr(start, end - start);
    }
    EXPECT_GT(drawn, 0);
}

} // namespace
