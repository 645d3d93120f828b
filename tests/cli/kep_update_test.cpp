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

TEST_F(KepUpdate, DisturbedAcksStillEndVerifiedOrFailedNeverFalselyOk)
{
    const std::vector<std::vector<std::string>> faults = {{"--drop-ack", "2"},
                                                          {"--late-ack", "2:700"},
                                                          {"--split-ack", "2:40"},
                                                          {"--duplicate-ack", "1"},
                                                          {"--corrupt-ack", "3"}};
    for (size_t i = 0; i < faults.size(); i++) {
        std::string name = "disturbed" + std::to_string(i);
        std::string port = start_sim(name, faults[i]);
        tool_run run = run_tool({"--port", port, "--image", small_image}, dir);
        SCOPED_TRACE(faults[i][0]);
        ASSERT_TRUE(run.status == 0 || run.status == 1) << run.err;
        if (run.status == 0)
            EXPECT_TRUE(flash_holds(name, small_image)) << "reported success over a wrong flash";
        else
            EXPECT_THAT(run.err, HasSubstr("FAILED"));
    }
}

TEST_F(KepUpdate, ALostAckIsResentAndTheUpdateCompletes)
{
    std::string port = start_sim("lost", {"--drop-ack", "2"});
    tool_run run = run_tool({"--port", port, "--image", small_image}, dir);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("FROM 0x400... - SENT - TIMEOUT\nPROG ADDR 0x8000c00"));
    EXPECT_TRUE(flash_holds("lost", small_image));
}

TEST_F(KepUpdate, RefusedBlocksAndWrongOrShortVerifyRepliesFail)
{
    const std::vector<std::vector<std::string>> faults = {
        {"--exception", "2"}, {"--wrong-verify"}, {"--short-verify"}};
    for (size_t i = 0; i < faults.size(); i++) {
        std::string port = start_sim("failing" + std::to_string(i), faults[i]);
        tool_run run = run_tool({"--port", port, "--image", small_image}, dir);
        SCOPED_TRACE(faults[i][0]);
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_THAT(run.out, HasSubstr("CRC FAIL\n"));
        EXPECT_THAT(run.err, HasSubstr("FAILED"));
        EXPECT_THAT(run.out, Not(HasSubstr("CRCs match")));
    }
}

TEST_F(KepUpdate, SilentTargetTimesOutSayingWhereItStood)
{
    std::string port = start_sim("silent", {"--silent"});
    tool_run run = run_tool({"--port", port, "--timeout", "1"}, dir, 10000);
    EXPECT_EQ(run.status, 4);
    EXPECT_THAT(run.err, HasSubstr("timed out: no valid reply for 1 s in STATE_CONTACT"));
    EXPECT_LT(run.seconds, 3.0);
}

TEST_F(KepUpdate, UnpluggedTargetEndsWithAMessageWithinTheTimeout)
{
    std::string port = start_sim("unplugged", {"--hangup-after", "1"});
    tool_run run = run_tool({"--port", port, "--image", small_image, "--timeout", "5"}, dir, 15000);
    EXPECT_EQ(run.status, 4) << run.err;
    EXPECT_THAT(run.err, HasSubstr("block 2 of 3"));
    EXPECT_THAT(run.err, HasSubstr("run the update again"));
    EXPECT_LT(run.seconds, 6.0);
}

TEST_F(KepUpdate, PortsThatCannotBeOpenedGiveTheFatalReportAndStatus3)
{
    tool_run missing = run_tool({"--port", dir + "/no-such-port"}, dir);
    EXPECT_EQ(missing.status, 3);
    EXPECT_THAT(missing.err,
                HasSubstr("Unable to open serial port. In use already, or not present"));
    EXPECT_THAT(missing.err, HasSubstr("Error number 2 reported\nNo such file or directory"));

    std::string port = start_sim("held");
    port_handle held = port_open(port.c_str()); // another program has it
    ASSERT_NE(held, INVALID_PORT_HANDLE);
    tool_run busy = run_tool({"--port", port}, dir);
    port_close(held);
    EXPECT_EQ(busy.status, 3);
    EXPECT_THAT(busy.err, HasSubstr("In use already"));
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
    for (auto args : std::vector<std::vector<std::string>>{{"--bogus"},
                                                           {},
                                                           {"--port", "a", "--timeout", "soon"},
                                                           {"--port", "a,b,a"},
                                                           {"--port", ""}}) {
        tool_run run = run_tool(args, dir);
        EXPECT_EQ(run.status, 2) << testing::PrintToString(args);
        EXPECT_THAT(run.out, Not(HasSubstr("Opening serial port")));
    }
    EXPECT_EQ(run_tool({"--list-ports"}, dir).status, 0);
    tool_run help = run_tool({"--help"}, dir);
    EXPECT_EQ(help.status, 0);
    EXPECT_THAT(help.out, HasSubstr("Exit status:"));
}

TEST_F(KepUpdate, InterruptClosesThePortAndSaysAtWhichBlock)
{
    std::string port = start_sim("interrupted", {"--flash-ms", "200"});
    tool_process tool;
    ASSERT_TRUE(tool_start(&tool, {"--port", port}, dir));
    usleep(1500 * 1000); // contact plus a few slow blocks
    kill(tool.pid, SIGINT);
    tool_run run = tool_finish(&tool, 5000);
    EXPECT_EQ(run.status, 130);
    EXPECT_THAT(run.err, HasSubstr("interrupted while writing block "));
    EXPECT_THAT(run.err, HasSubstr("run the update again"));
    port_handle again = port_open(port.c_str()); // released
    EXPECT_NE(again, INVALID_PORT_HANDLE);
    port_close(again);
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
