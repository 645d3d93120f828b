// kep-update against kep-sim over a pseudo-terminal, as a user runs it.
#include "firmware_image.h"
#include "frames.h"
#include "serial/serial_port.h"
#include "sha256.h"
#include "sim_process.h"
#include "tool_process.h"

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <regex>
#include <unistd.h>

using testing::HasSubstr;
using testing::Not;

namespace
{

class KepUpdate : public testing::Test
{
  protected:
    void SetUp() override
    {
        dir = make_temp_dir();
        small_image = dir + "/small.bin";
        std::vector<uint8_t> bytes(3000);
        for (size_t i = 0; i < bytes.size(); i++)
            bytes[i] = (uint8_t)(i * 31 + 7);
        write_file(small_image, bytes);
    }
    void TearDown() override
    {
        for (auto &sim : sims) {
            if (sim.pid > 0)
                kill(sim.pid, SIGTERM); // those that were not reset are still serving
            sim_wait(&sim, 2000);
        }
        remove_temp_dir(dir);
    }

    static void write_file(const std::string &path, const std::vector<uint8_t> &bytes)
    {
        std::ofstream(path, std::ios::binary).write((const char *)bytes.data(), (long)bytes.size());
    }

    // Starts a simulated target; returns its port.
    std::string start_sim(const std::string &name, std::vector<std::string> faults = {})
    {
        std::vector<std::string> args = {"--link", dir + "/" + name, "--dump",
                                         dir + "/" + name + ".flash"};
        args.insert(args.end(), faults.begin(), faults.end());
        sims.emplace_back();
        EXPECT_TRUE(sim_start(&sims.back(), args, 5000)) << "kep-sim did not start";
        return dir + "/" + name;
    }

    // The target's flash equals the image padded with zeros to whole blocks.
    bool flash_holds(const std::string &name, const std::string &image_path)
    {
        auto image = read_file_bytes(image_path);
        image.resize((image.size() + 1023) / 1024 * 1024, 0);
        auto flash = read_file_bytes(dir + "/" + name + ".flash");
        return flash.size() >= image.size() &&
               std::equal(image.begin(), image.end(), flash.begin());
    }

    static std::string read_link_target(const std::string &path)
    {
        char target[4096];
        ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        return n > 0 ? std::string(target, (size_t)n) : "";
    }

    std::string dir, small_image;
    std::vector<sim_process> sims;
};

// The positions of `lines` in `text`, in order; fails at the first one missing.
void expect_in_order(const std::string &text, const std::vector<std::string> &lines)
{
    size_t at = 0;
    for (const auto &line : lines) {
        size_t found = text.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing, or out of order: " << line;
        at = found + line.size();
    }
}

TEST_F(KepUpdate, CleanUpdateOfTheBuiltInImage)
{
    std::string port = start_sim("clean");
    tool_run run = run_tool({"--port", port}, dir);
    EXPECT_EQ(run.status, 0) << run.err;
    expect_in_order(run.out,
                    {"\nFlash Image Base 0x8000800\n", "Flash Image Size 0x6400 bytes\n",
                     " . Opening serial port " + port + " at 115200 baud\n", "CONTACTING...\n",
                     "REMOTE DEVICE LINK ESTABLISHED\n",
                     "PROG ADDR 0x8000800, LEN 0x400, FROM 0... - SENT - - OK\n",
                     "PROG ADDR 0x8006800, LEN 0x400, FROM 0x6000... - SENT - - OK\n",
                     "Verifying address 0x8000800, image size 0x6400 bytes\n", "CRCs match\n",
                     "Resetting target\n", "frame length    5 bytes received & OK\n"});
    expect_in_order(run.err,
                    {"Contacting Device...\n", "Establishing Link...\n", "programming 0x8000800\n",
                     "Verifying...\n", "Program Verified OK\n", "Programming Completed OK\n"});
    EXPECT_TRUE(flash_holds("clean", FIRMWARE_BIN));
}

TEST_F(KepUpdate, UpdatesFromAHexFileThatDescribeShowsFirst)
{
    std::string hex = dir + "/app.hex";
    ASSERT_EQ(system(("arm-none-eabi-objcopy -I binary -O ihex --change-addresses 0x08000800 " +
                      small_image + " " + hex)
                         .c_str()),
              0);
    tool_run described = run_tool({"--describe", "--image", hex}, dir);
    std::string port = start_sim("hex");
    tool_run run = run_tool({"--port", port, "--image", hex}, dir);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(flash_holds("hex", small_image));

    EXPECT_EQ(described.status, 0) << described.err;
    auto padded = read_file_bytes(small_image);
    padded.resize(3072, 0);
    char digest[SHA256_HEX_SIZE];
    sha256_hex(padded.data(), padded.size(), digest);
    std::smatch local_crc;
    ASSERT_TRUE(std::regex_search(run.out, local_crc, std::regex("Local  CRC (0x[0-9a-f]+)")));
    expect_in_order(described.out,
                    {"Format       Intel HEX\n", "Data         0x08000800..0x080013B7\n",
                     "Padded size  3072 bytes\n", "Blocks       3 of 1024 bytes\n",
                     "Local  CRC   " + local_crc[1].str() + "\n",
                     "SHA-256      " + std::string(digest) + "\n"});

    // --version names the built-in firmware as the Windows version resource does.
    auto firmware = read_file_bytes(FIRMWARE_BIN);
    int32_t size = padded_image_size((int32_t)firmware.size());
    firmware.resize((size_t)size, 0);
    char crc[16];
    snprintf(crc, sizeof crc, "%#x", crc16_modbus(firmware.data(), size));
    EXPECT_THAT(run_tool({"--version"}, dir).out,
                HasSubstr("\nBuilt-in firmware firmware.bin, " + std::to_string(size) +
                          " bytes, CRC-16 " + crc + "\n"));
}

// One whole run per misbehaving target: the exit status, what the messages
// say, and, where the run claims success, that the flash holds the image.
TEST_F(KepUpdate, EveryFaultEndsWithItsStatusAndNeverAFalseSuccess)
{
    struct fault_case {
        std::vector<std::string> sim, tool; // kep-sim's switches, kep-update's extra options
        int status;
        std::string err, out; // expected in standard error and output; "" for nothing
    };
    const std::vector<fault_case> cases = {
        {{"--drop-ack", "2"}, {}, 0, "", "FROM 0x400... - SENT - TIMEOUT\nPROG ADDR 0x8000c00"},
        {{"--late-ack", "2:700"}, {}, 0, "", ""},
        {{"--split-ack", "2:40"}, {}, 0, "", ""},
        {{"--duplicate-ack", "1"}, {}, 0, "", ""},
        {{"--corrupt-ack", "3"}, {}, 0, "", ""},
        {{"--flash-ms", "700"}, {}, 0, "", "CRCs match\n"}, // every ack after the re-send
        {{"--restart-on-reset"}, {}, 0, "did not confirm its reset; power-cycle", "CRCs match\n"},
        {{"--exception", "2"},
         {},
         1,
         "FAILED: the target's CRC of the written range differs "
         "from the image; the target refused block 2 (exception 0x02)",
         "CRC FAIL\n"},
        {{"--wrong-verify"}, {}, 1, "FAILED", "CRC FAIL\n"},
        // Not the verify reply: never compared, the request goes again.
        {{"--short-verify"},
         {"--timeout", "2"},
         4,
         "no valid reply for 2 s while verifying",
         "frame length   13 bytes sent\nVerifying address"},
        {{"--silent"},
         {"--timeout", "1"},
         4,
         "timed out: no valid reply for 1 s while contacting the target; check the cable",
         ""},
        {{"--hangup-after", "1"},
         {"--timeout", "5"},
         4,
         "the port stopped working (Input/output error) while writing block 2 of 3",
         ""},
        {{"--stop-reading-after", "1"},
         {"--timeout", "2"},
         4,
         "the target stopped taking data (the line takes no more, and no valid reply for 2 s) "
         "while writing block 2 of 3 (1024 of 3072 bytes acknowledged); the target holds an "
         "incomplete image: run the update again",
         ""},
    };
    for (size_t i = 0; i < cases.size(); i++) {
        const fault_case &c = cases[i];
        std::string name = "fault" + std::to_string(i);
        std::string port = start_sim(name, c.sim);
        std::vector<std::string> args = {"--port", port, "--image", small_image};
        args.insert(args.end(), c.tool.begin(), c.tool.end());
        tool_run run = run_tool(args, dir, 8000); // the longest time-out plus a few seconds
        SCOPED_TRACE(c.sim[0]);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_THAT(run.err, HasSubstr(c.err));
        EXPECT_THAT(run.out, HasSubstr(c.out));
        if (run.status == 0)
            EXPECT_TRUE(flash_holds(name, small_image)) << "reported success over a wrong flash";
        else
            EXPECT_THAT(run.out, Not(HasSubstr("CRCs match")));
    }
}

TEST_F(KepUpdate, InterruptEndsABlockedWriteClosesThePortAndSaysAtWhichBlock)
{
    std::string port = start_sim("interrupted", {"--stop-reading-after", "1"});
    tool_process tool;
    ASSERT_TRUE(tool_start(&tool, {"--port", port, "--image", small_image, "--timeout", "0"}, dir));
    // The write of block 2 has blocked once its trace line stops before "SENT".
    std::string out;
    for (int tries = 0; tries < 100; tries++) {
        usleep(100 * 1000);
        auto bytes = read_file_bytes(tool.out_path);
        std::string now(bytes.begin(), bytes.end());
        if (now == out && now.size() > 3 && now.compare(now.size() - 3, 3, "...") == 0)
            break;
        out = now;
    }
    kill(tool.pid, SIGINT);
    tool_run run = tool_finish(&tool, 1000);
    EXPECT_EQ(run.status, 130);
    EXPECT_THAT(run.err, HasSubstr("interrupted while writing block 2 of 3"));
    EXPECT_THAT(run.err, HasSubstr("run the update again"));
    ASSERT_FALSE(run.out.empty());
    EXPECT_EQ(run.out.back(), '\n') << "the last trace line is ended";
    port_handle again = port_open(port.c_str()); // released
    EXPECT_NE(again, INVALID_PORT_HANDLE);
    port_close(again);
}

TEST_F(KepUpdate, OpenFailuresNameThePortAndTheCause)
{
    std::string regular = dir + "/regular-file";
    write_file(regular, {1, 2, 3});
    std::string held = start_sim("held");
    port_handle holder = port_open(held.c_str()); // this test process has it
    ASSERT_NE(holder, INVALID_PORT_HANDLE);
    // A device of group dialout that a user outside the group cannot open.
    std::string denied = read_link_target(start_sim("denied"));
    ASSERT_EQ(chown(denied.c_str(), 0, 20), 0);
    ASSERT_EQ(chmod(denied.c_str(), 0660), 0);
    tool_setup as_nobody{{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}};

    const std::vector<std::tuple<std::string, std::string, tool_setup>> cases = {
        {dir + "/no-such-port", "it is not present; check the cable", {}},
        {regular, "it is not a serial port", {}},
        {held, "it is in use by another program (", {}},
        {denied, "permission denied; the device belongs to group dialout", as_nobody},
    };
    for (const auto &[port, cause, setup] : cases) {
        tool_run run = run_tool({"--port", port}, dir, 30000, setup);
        EXPECT_EQ(run.status, 3) << run.err;
        EXPECT_THAT(run.err, HasSubstr("kep-update: cannot open port " + port + ": " + cause));
        if (port == held) {
            EXPECT_THAT(run.err, HasSubstr("kep_update_test (process " + std::to_string(getpid())));
        }
    }
    port_close(holder);
}

TEST_F(KepUpdate, BadImagesAndOptionsAreRefusedBeforeThePortIsTouched)
{
    std::string empty = dir + "/empty.bin", ram = dir + "/ram.hex";
    write_file(empty, {});
    std::string ram_text = ":020000042000DA\n:01000000AA55\n:00000001FF\n";
    write_file(ram, std::vector<uint8_t>(ram_text.begin(), ram_text.end()));
    const std::vector<std::pair<std::string, std::string>> images = {
        {dir + "/absent.bin", "No such file or directory"},
        {empty, "no data bytes"},
        {ram, "ram.hex: line 2: data at 0x20000000..0x20000000 reaches 0x08200000"},
        {dir, "cannot read image"}};
    for (const auto &[path, why] : images)
        for (auto args : std::vector<std::vector<std::string>>{
                 {"--port", dir + "/never-opened", "--image", path},
                 {"--describe", "--image", path}}) {
            tool_run run = run_tool(args, dir);
            EXPECT_EQ(run.status, 2) << path;
            EXPECT_THAT(run.err, HasSubstr(why));
            EXPECT_THAT(run.out, Not(HasSubstr("Opening serial port")));
        }
    const std::string port = dir + "/never-opened";
    std::vector<std::pair<std::vector<std::string>, std::string>> usages = {
        {{"--bogus"}, "unknown option \"--bogus\""},
        {{}, "name the target's port with --port"},
        {{"--port", port, "app.bin"}, "\"app.bin\" belongs to no option"},
        {{"--port", "a,b,a"}, "port a is named more than once"},
        {{"--port", ""}, "--port needs a port name"}};
    for (const char *bad : {"soon", "nan", "inf", "-1", "86401"})
        usages.push_back(
            {{"--port", port, "--timeout", bad},
             std::string("--timeout takes 0 or a number of seconds up to 86400, not \"") + bad +
                 "\""});
    for (const auto &[args, why] : usages) {
        tool_run run = run_tool(args, dir);
        EXPECT_EQ(run.status, 2) << testing::PrintToString(args);
        EXPECT_THAT(run.err, HasSubstr(why));
        EXPECT_THAT(run.out, Not(HasSubstr("Opening serial port")));
    }
    EXPECT_EQ(run_tool({"--list-ports"}, dir).status, 0);
    tool_run help = run_tool({"--help"}, dir);
    EXPECT_EQ(help.status, 0);
    EXPECT_THAT(help.out, HasSubstr("Exit status:"));
}

// The screen a terminal shows after `output`: carriage return, line feed,
// cursor up, clearing to the end of the line or screen, plain characters.
std::vector<std::string> screen_after(const std::string &output)
{
    std::vector<std::string> rows(1);
    size_t row = 0, col = 0;
    for (size_t i = 0; i < output.size(); i++) {
        char c = output[i];
        if (c == '\r') {
            col = 0;
        } else if (c == '\n') {
            if (++row == rows.size())
                rows.emplace_back();
        } else if (c == '\033' && i + 1 < output.size() && output[i + 1] == '[') {
            size_t end = output.find_first_not_of("0123456789", i + 2);
            size_t count = end > i + 2 ? std::stoul(output.substr(i + 2, end - i - 2)) : 1;
            if (output[end] == 'A')
                row -= std::min(row, count);
            if (output[end] == 'K' || output[end] == 'J')
                rows[row].resize(std::min(col, rows[row].size()));
            if (output[end] == 'J')
                rows.resize(row + 1);
            i = end;
        } else {
            if (rows[row].size() <= col)
                rows[row].resize(col + 1, ' ');
            rows[row][col++] = c;
        }
    }
    return rows;
}

TEST_F(KepUpdate, OnATerminalTraceLinesStayWholeAboveOneProgressLinePerPort)
{
    std::string a = start_sim("ta"), b = start_sim("tb");
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    tool_process tool;
    ASSERT_TRUE(
        tool_start(&tool, {"--port", a + "," + b, "--image", small_image}, dir, {{}, slave}));
    close(slave);
    std::string shown;
    char buffer[4096];
    pollfd output{master, POLLIN, 0};
    ssize_t n = 1;
    while (n > 0 && poll(&output, 1, 10000) > 0 && (n = read(master, buffer, sizeof buffer)) > 0)
        shown.append(buffer, (size_t)n); // until the tool has closed the terminal
    close(master);
    EXPECT_EQ(tool_finish(&tool, 5000).status, 0);

    std::vector<std::string> rows = screen_after(shown);
    std::string screen;
    for (const auto &row : rows)
        screen += row + "\n";
    for (const auto &port : {a, b})
        expect_in_order(
            screen, {port + ": PROG ADDR 0x8000800, LEN 0x400, FROM 0... - SENT - - OK\n",
                     port + ": PROG ADDR 0x8001000, LEN 0x400, FROM 0x800... - SENT - - OK\n",
                     port + ": CRCs match\n", port + ": frame length    5 bytes received & OK\n"});
    size_t last_trace = 0, bars = 0;
    for (size_t i = 0; i < rows.size(); i++) {
        if (rows[i].find("PROG ADDR") != std::string::npos) {
            EXPECT_THAT(rows[i], testing::EndsWith("- SENT - - OK")) << "cut or overwritten";
            last_trace = i;
        }
        if (rows[i].find("] 100%  updated") != std::string::npos) {
            EXPECT_GT(i, last_trace) << "the progress area sits below the trace";
            bars++;
        }
    }
    EXPECT_EQ(bars, 2u) << screen;
}

TEST_F(KepUpdate, SeveralTargetsAtOnceEachCompleteOrFailOnTheirOwn)
{
    std::string a = start_sim("a"), b = start_sim("b", {"--wrong-verify"}), c = start_sim("c");
    tool_run run = run_tool({"--port", a + "," + b, "--port", c}, dir, 60000);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_TRUE(flash_holds("a", FIRMWARE_BIN));
    EXPECT_TRUE(flash_holds("c", FIRMWARE_BIN));
    for (const auto &port : {a, c})
        expect_in_order(
            run.out,
            {port + ":  . Opening serial port " + port, port + ": REMOTE DEVICE LINK ESTABLISHED\n",
             port + ": PROG ADDR 0x8000800, LEN 0x400, FROM 0... - SENT - - OK\n",
             port + ": PROG ADDR 0x8006800, LEN 0x400, FROM 0x6000... - SENT - - OK\n",
             port + ": CRCs match\n", port + ": frame length    5 bytes received & OK\n"});
    expect_in_order(run.out, {b + ": Remote CRC", b + ": CRC FAIL\n"});
    EXPECT_THAT(run.err, testing::ContainsRegex(a + " +updated +25/25"));
    EXPECT_THAT(run.err, testing::ContainsRegex(b + " +FAILED +25/25"));
    EXPECT_THAT(run.err, testing::ContainsRegex(c + " +updated +25/25"));
    EXPECT_THAT(run.err, HasSubstr("2 of 3 targets updated"));
    // Every line of standard output belongs to one port, whole.
    std::istringstream lines(run.out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line.rfind("Flash Image", 0) == 0)
            continue;
        EXPECT_TRUE(line.rfind(a + ": ", 0) == 0 || line.rfind(b + ": ", 0) == 0 ||
                    line.rfind(c + ": ", 0) == 0)
            << line;
    }
}

} // namespace
