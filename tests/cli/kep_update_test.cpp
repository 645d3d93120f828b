// kep-update against kep-sim over a pseudo-terminal, as a user runs it.
#include "rig.h"
#include "serial/serial_port.h"
#include "sha256.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

using testing::HasSubstr;
using testing::Not;

namespace
{

class KepUpdate : public rig
{
};

// Fails at the first of `lines` missing from `text` after the one before it.
void expect_in_order(const std::string &text, const std::vector<std::string> &lines)
{
    size_t at = 0;
    for (const auto &line : lines) {
        size_t found = text.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing, or out of order: " << line;
        at = found + line.size();
    }
}

std::string local_crc(const std::string &trace)
{
    std::smatch crc;
    return std::regex_search(trace, crc, std::regex("Local  CRC (0x[0-9a-f]+)")) ? crc[1].str()
                                                                                 : "?";
}

// One whole run per target, all at once: the exit status, what the messages
// say, and, where the run claims success, that the flash holds the image.
TEST_F(KepUpdate, EveryFaultEndsWithItsStatusAndNeverAFalseSuccess)
{
    std::string hex = dir + "/app.hex";
    ASSERT_EQ(system(("arm-none-eabi-objcopy -I binary -O ihex --change-addresses 0x08000800 " +
                      small_image + " " + hex)
                         .c_str()),
              0);
    struct fault_case {
        std::vector<std::string> sim, tool; // kep-sim's switches, kep-update's options
        int status;
        std::vector<std::string> out, err; // expected in this order
    };
    const std::string &bin = small_image;
    const std::vector<fault_case> cases = {
        {{},
         {"--image", hex},
         0,
         {"\nFlash Image Base 0x8000800\n", "Flash Image Size 0xc00 bytes\n",
          " . Opening serial port " + dir + "/rig/fault0 at 115200 baud\n", "CONTACTING...\n",
          "REMOTE DEVICE LINK ESTABLISHED\n",
          "PROG ADDR 0x8000800, LEN 0x400, FROM 0... - SENT - - OK\n",
          "PROG ADDR 0x8001000, LEN 0x400, FROM 0x800... - SENT - - OK\n",
          "Verifying address 0x8000800, image size 0xc00 bytes\n", "CRCs match\n",
          "Resetting target\n", "frame length    5 bytes received & OK\n"},
         {"Contacting Device...\n", "Establishing Link...\n", "programming 0x8000800\n",
          "Verifying...\n", "Program Verified OK\n", "Programming Completed OK\n"}},
        {{"--drop-ack", "2"},
         {"--image", bin},
         0,
         {"FROM 0x400... - SENT - TIMEOUT\nPROG ADDR 0x8000c00"},
         {}},
        {{"--late-ack", "2:700"}, {"--image", bin}, 0, {}, {}},
        {{"--split-ack", "2:40"}, {"--image", bin}, 0, {}, {}},
        {{"--duplicate-ack", "1"}, {"--image", bin}, 0, {}, {}},
        {{"--corrupt-ack", "3"}, {"--image", bin}, 0, {}, {}},
        {{"--flash-ms", "700"},
         {"--image", bin},
         0,
         {"CRCs match\n"},
         {}}, // every ack after the re-send
        {{"--restart-on-reset"},
         {"--image", bin},
         0,
         {"CRCs match\n"},
         {"did not confirm its reset; power-cycle"}},
        {{"--exception", "2"},
         {"--image", bin},
         1,
         {"CRC FAIL\n"},
         {"FAILED: the target's CRC of the written range differs from the image; the target "
          "refused block 2 (exception 0x02)"}},
        {{"--wrong-verify"}, {"--image", bin}, 1, {"CRC FAIL\n"}, {"FAILED"}},
        // Not the verify reply: never compared, the request goes again.
        {{"--short-verify"},
         {"--image", bin, "--timeout", "2"},
         4,
         {"frame length   13 bytes sent\nVerifying address"},
         {"no valid reply for 2 s while verifying"}},
        {{"--silent"},
         {"--image", bin, "--timeout", "1"},
         4,
         {},
         {"timed out: no valid reply for 1 s while contacting the target; check the cable"}},
        {{"--hangup-after", "1"},
         {"--image", bin, "--timeout", "5"},
         4,
         {},
         {"the port stopped working (Input/output error) while writing block 2 of 3"}},
        {{"--stop-reading-after", "1"},
         {"--image", bin, "--timeout", "2"},
         4,
         {},
         {"the target stopped taking data (the line takes no more, and no valid reply for 2 s) "
          "while writing block 2 of 3 (1024 of 3072 bytes acknowledged); the target holds an "
          "incomplete image: run the update again"}},
    };
    std::vector<child> tools(cases.size());
    for (size_t i = 0; i < cases.size(); i++) {
        std::vector<std::string> args = {"--port",
                                         start_sim("fault" + std::to_string(i), cases[i].sim)};
        args.insert(args.end(), cases[i].tool.begin(), cases[i].tool.end());
        start_tool(&tools[i], args);
    }
    child_run described = run_tool({"--describe", "--image", hex});
    clock_point deadline = in_ms(8000); // the longest time-out plus a few seconds
    std::vector<child_run> runs;
    for (size_t i = 0; i < cases.size(); i++) {
        const child_run &run = runs.emplace_back(child_finish(&tools[i], deadline));
        SCOPED_TRACE(i);
        EXPECT_EQ(run.status, cases[i].status) << run.err;
        expect_in_order(run.out, cases[i].out);
        expect_in_order(run.err, cases[i].err);
        if (run.status == 0)
            EXPECT_TRUE(flash_holds("fault" + std::to_string(i), bin))
                << "success over a wrong flash";
        else
            EXPECT_THAT(run.out, Not(HasSubstr("CRCs match")));
    }
    // --describe shows beforehand what the clean run from the HEX file wrote.
    std::string padded = text_of(bin);
    padded.resize(3072, '\0');
    char digest[SHA256_HEX_SIZE];
    sha256_hex((const uint8_t *)padded.data(), padded.size(), digest);
    EXPECT_EQ(described.status, 0) << described.err;
    expect_in_order(described.out,
                    {"Format       Intel HEX\n", "Data         0x08000800..0x080013B7\n",
                     "Padded size  3072 bytes\n", "Blocks       3 of 1024 bytes\n",
                     "Local  CRC   " + local_crc(runs[0].out) + "\n",
                     "SHA-256      " + std::string(digest) + "\n"});
}

TEST_F(KepUpdate, InterruptEndsABlockedWriteClosesThePortAndSaysAtWhichBlock)
{
    std::string port = start_sim("interrupted", {"--stop-reading-after", "1"});
    ASSERT_TRUE(start_tool(&tool, {"--port", port, "--image", small_image, "--timeout", "0"}));
    // The write of block 2 has blocked once its trace line stays ended before "SENT".
    std::string seen;
    ASSERT_TRUE(wait_until([&] {
        std::string now = text_of(tool.out_path);
        return std::exchange(seen, now) == now && now.ends_with("FROM 0x400...");
    }));
    kill(tool.pid, SIGINT);
    child_run run = child_finish(&tool, in_ms(1000));
    EXPECT_EQ(run.status, 130);
    expect_in_order(run.err, {"interrupted while writing block 2 of 3", "run the update again"});
    EXPECT_TRUE(run.out.ends_with("\n")) << "the last trace line is ended";
    port_handle again = port_open(port.c_str()); // released
    EXPECT_NE(again, INVALID_PORT_HANDLE);
    port_close(again);
}

TEST_F(KepUpdate, OpenFailuresNameThePortAndTheCause)
{
    std::string held = start_sim("held");
    port_handle holder = port_open(held.c_str()); // this test process has it
    ASSERT_NE(holder, INVALID_PORT_HANDLE);
    // A device of group dialout that a user outside the group cannot open.
    std::string denied = std::filesystem::read_symlink(start_sim("denied"));
    ASSERT_EQ(chown(denied.c_str(), 0, 20), 0);
    ASSERT_EQ(chmod(denied.c_str(), 0660), 0);
    const std::vector<std::string> nobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                             "--clear-groups"};
    const std::vector<std::tuple<std::string, std::string, std::vector<std::string>>> cases = {
        {dir + "/no-such-port", "it is not present; check the cable", {}},
        {small_image, "it is not a serial port", {}},
        {held,
         "it is in use by another program (kep_update_test (process " + std::to_string(getpid()),
         {}},
        {denied, "permission denied; the device belongs to group dialout", nobody},
    };
    for (const auto &[port, cause, runner] : cases) {
        child_run run = run_tool({"--port", port}, runner);
        EXPECT_EQ(run.status, 3) << run.err;
        EXPECT_THAT(run.err, HasSubstr("kep-update: cannot open port " + port + ": " + cause));
    }
    port_close(holder);
}

TEST_F(KepUpdate, BadImagesAndOptionsAreRefusedBeforeThePortIsTouched)
{
    const std::string port = dir + "/never-opened", ram = dir + "/ram.hex";
    std::ofstream(ram) << ":020000042000DA\n:01000000AA55\n:00000001FF\n";
    std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--bogus"}, "unknown option \"--bogus\""},
        {{}, "name the target's port with --port"},
        {{"--port", port, "app.bin"}, "\"app.bin\" belongs to no option"},
        {{"--port", "a,b,a"}, "port a is named more than once"},
        {{"--port", ""}, "--port needs a port name"}};
    for (const char *bad : {"soon", "nan", "-1", "86401"})
        cases.push_back(
            {{"--port", port, "--timeout", bad},
             std::string("--timeout takes 0 or a number of seconds up to 86400, not \"") + bad +
                 "\""});
    for (const auto &[path, why] : std::vector<std::pair<std::string, std::string>>{
             {dir + "/absent.bin", "cannot open image " + dir + "/absent.bin: No such file"},
             {ram, "ram.hex: line 2: data at 0x20000000..0x20000000 reaches 0x08200000"},
             {dir, "cannot read image"}}) {
        cases.push_back({{"--port", port, "--image", path}, why});
        cases.push_back({{"--describe", "--image", path}, why});
    }
    for (const auto &[args, why] : cases) {
        child_run run = run_tool(args);
        EXPECT_EQ(run.status, 2) << testing::PrintToString(args);
        EXPECT_THAT(run.err, HasSubstr(why));
        EXPECT_THAT(run.out, Not(HasSubstr("Opening serial port")));
    }
    EXPECT_EQ(run_tool({"--list-ports"}).status, 0);
    EXPECT_THAT(run_tool({"--help"}).out, HasSubstr("Exit status:"));
}

// The rows a terminal shows after `shown`, which moves the cursor with
// carriage return, line feed, ESC [ n A (up) and ESC [ J (clear below).
std::vector<std::string> screen_after(const std::string &shown)
{
    std::vector<std::string> rows(1);
    size_t row = 0, col = 0;
    for (size_t i = 0; i < shown.size(); i++) {
        if (shown[i] == '\r') {
            col = 0;
        } else if (shown[i] == '\n') {
            if (++row == rows.size())
                rows.emplace_back();
        } else if (shown[i] == '\033') {
            size_t end = shown.find_first_of("AJ", i);
            if (shown[end] == 'A')
                row -= std::stoul(shown.substr(i + 2, end - i - 2));
            else
                rows.resize(row + 1), rows[row].resize(std::min(col, rows[row].size()));
            i = end;
        } else {
            rows[row].resize(std::max(rows[row].size(), col + 1), ' ');
            rows[row][col++] = shown[i];
        }
    }
    return rows;
}

TEST_F(KepUpdate, OnATerminalTraceLinesStayWholeAboveOneProgressLinePerPort)
{
    std::string a = start_sim("ta"), b = start_sim("tb");
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    ASSERT_TRUE(start_tool(&tool, {"--port", a + "," + b, "--image", small_image}, {}, slave));
    close(slave);
    std::string shown;
    char buffer[4096];
    pollfd output{master, POLLIN, 0};
    ssize_t n = 1;
    while (n > 0 && poll(&output, 1, 10000) > 0 && (n = read(master, buffer, sizeof buffer)) > 0)
        shown.append(buffer, (size_t)n); // until the tool has closed the terminal
    close(master);
    EXPECT_EQ(child_finish(&tool, in_ms(5000)).status, 0);

    std::vector<std::string> rows = screen_after(shown);
    std::string screen;
    size_t last_trace = 0, bars = 0;
    for (size_t i = 0; i < rows.size(); i++) {
        screen += rows[i] + "\n";
        if (rows[i].find("PROG ADDR") != std::string::npos) {
            EXPECT_THAT(rows[i], testing::EndsWith("- SENT - - OK")) << "cut or overwritten";
            last_trace = i;
        }
        bars += rows[i].find("] 100%  updated") != std::string::npos && i > last_trace;
    }
    EXPECT_EQ(bars, 2u) << "one full bar per port below the trace:\n" << screen;
    for (const auto &port : {a, b})
        expect_in_order(
            screen, {port + ": PROG ADDR 0x8000800, LEN 0x400, FROM 0... - SENT - - OK\n",
                     port + ": PROG ADDR 0x8001000, LEN 0x400, FROM 0x800... - SENT - - OK\n",
                     port + ": CRCs match\n", port + ": frame length    5 bytes received & OK\n"});
}

TEST_F(KepUpdate, SeveralTargetsOfTheBuiltInImageEachCompleteOrFailOnTheirOwn)
{
    std::string a = start_sim("a"), b = start_sim("b", {"--wrong-verify"}), c = start_sim("c");
    child_run run = run_tool({"--port", a + "," + b, "--port", c});
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_TRUE(flash_holds("a", FIRMWARE_BIN));
    EXPECT_TRUE(flash_holds("c", FIRMWARE_BIN));
    EXPECT_THAT(run.out, HasSubstr("Flash Image Size 0x6400 bytes\n"));
    for (const auto &port : {a, c})
        expect_in_order(
            run.out,
            {port + ":  . Opening serial port " + port, port + ": REMOTE DEVICE LINK ESTABLISHED\n",
             port + ": PROG ADDR 0x8000800, LEN 0x400, FROM 0... - SENT - - OK\n",
             port + ": PROG ADDR 0x8006800, LEN 0x400, FROM 0x6000... - SENT - - OK\n",
             port + ": CRCs match\n", port + ": frame length    5 bytes received & OK\n"});
    expect_in_order(run.out, {b + ": Remote CRC", b + ": CRC FAIL\n"});
    expect_in_order(run.err, {a + "  updated  25/25", b + "  FAILED   25/25",
                              c + "  updated  25/25", "2 of 3 targets updated"});
    // Every line of standard output belongs to one port, whole.
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(line.empty() || line.starts_with("Flash Image") || line.starts_with(a + ": ") ||
                    line.starts_with(b + ": ") || line.starts_with(c + ": "))
            << line;
    // --version names the built-in firmware as the Windows version resource does.
    EXPECT_THAT(run_tool({"--version"}).out,
                HasSubstr("\nBuilt-in firmware firmware.bin, 25600 bytes, CRC-16 " +
                          local_crc(run.out) + "\n"));
}

} // namespace
