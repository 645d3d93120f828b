// kep-update as a production station: --watch over a folder of simulated
// targets, --check, and the --report records read back with a JSON parser.
#include "sim_process.h"
#include "tool_process.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

using testing::HasSubstr;
using testing::Not;

namespace
{

// Checks every record of a report against the image and prints, a line each,
// the fields that differ from run to run: port (as JSON), operation, outcome,
// exit status, blocks acknowledged/total, resends, usb (as JSON), message.
const char *const report_reader = R"(
import hashlib, json, re, sys
image = open(sys.argv[2], 'rb').read()
padded = image + bytes(-len(image) % 1024)
crc = 0xFFFF
for byte in padded:
    crc ^= byte
    for _ in range(8):
        crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
stamp = re.compile(r'^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$')
for line in open(sys.argv[1]):
    r = json.loads(line)
    assert list(r) == ['started', 'ended', 'port', 'usb', 'image', 'operation', 'outcome',
                       'exit_status', 'blocks_acknowledged', 'blocks_total', 'resends', 'seconds',
                       'message'], list(r)
    assert stamp.match(r['started']) and stamp.match(r['ended']) and r['started'] <= r['ended'], line
    assert 0 <= r['seconds'] < 30, line
    assert r['image'] == {'path': sys.argv[2], 'format': 'raw binary', 'size': len(image),
                          'padded_size': len(padded), 'crc16': '0x%04x' % crc,
                          'sha256': hashlib.sha256(padded).hexdigest()}, r['image']
    print('|'.join([json.dumps(r['port']), r['operation'], r['outcome'], str(r['exit_status']),
                    '%d/%d' % (r['blocks_acknowledged'], r['blocks_total']), str(r['resends']),
                    json.dumps(r['usb']), r['message']]))
)";

class Station : public testing::Test
{
  protected:
    void SetUp() override
    {
        dir = make_temp_dir();
        image = dir + "/small.bin";
        std::vector<char> bytes(3000);
        for (size_t i = 0; i < bytes.size(); i++)
            bytes[i] = (char)(i * 31 + 7);
        std::ofstream(image, std::ios::binary).write(bytes.data(), (long)bytes.size());
        bytes.resize(3072, 0);
        std::ofstream(dir + "/padded.bin", std::ios::binary).write(bytes.data(), 3072);
        std::ofstream(dir + "/reader.py") << report_reader;
        report = dir + "/report.jsonl";
        std::filesystem::create_directory(dir + "/rig"); // the links only
    }
    void TearDown() override
    {
        if (tool.pid > 0)
            tool_finish(&tool, 0); // a watch left running by a failed check
        for (auto &sim : sims) {
            if (sim.pid > 0)
                kill(sim.pid, SIGTERM);
            sim_wait(&sim, 2000);
        }
        std::filesystem::remove_all(dir);
    }

    std::string start_sim(const std::string &name, std::vector<std::string> options = {})
    {
        std::vector<std::string> args = {"--link", dir + "/rig/" + name, "--dump",
                                         dir + "/" + name + ".flash"};
        args.insert(args.end(), options.begin(), options.end());
        sims.emplace_back();
        sims.back().log_path = dir + "/" + name + ".log";
        EXPECT_TRUE(sim_start(&sims.back(), args, 5000)) << "kep-sim did not start";
        return dir + "/rig/" + name;
    }

    std::string text_of(const std::string &path)
    {
        std::stringstream text;
        text << std::ifstream(path).rdbuf();
        return text.str();
    }

    // Polls every 20 ms for at most `limit_ms`.
    static bool wait_until(const std::function<bool()> &done, int limit_ms = 10000)
    {
        for (int waited = 0; !done(); waited += 20) {
            if (waited >= limit_ms)
                return false;
            usleep(20 * 1000);
        }
        return true;
    }
    bool has_records(size_t count)
    {
        return wait_until([&] {
            std::string text = text_of(report);
            return (size_t)std::count(text.begin(), text.end(), '\n') >= count;
        });
    }
    bool writing(const std::string &name)
    {
        return wait_until([&] {
            return text_of(dir + "/" + name + ".log").find("request 0xf2") != std::string::npos;
        });
    }

    // The report's records as the reader prints them.
    std::vector<std::string> records()
    {
        std::string command = "python3 " + dir + "/reader.py " + report + " " + image + " 2>&1";
        std::vector<std::string> lines;
        FILE *reader = popen(command.c_str(), "r");
        char line[2048];
        while (reader && fgets(line, sizeof line, reader))
            lines.emplace_back(line, strcspn(line, "\n"));
        if (reader)
            pclose(reader);
        return lines;
    }

    std::string dir, image, report;
    std::vector<sim_process> sims;
    tool_process tool;
};

TEST_F(Station, WatchUpdatesEachBoardOncePerPluggingAndStopsInTwoStages)
{
    std::string tty0 = start_sim("tty0", {"--serve-forever", "--drop-ack", "2"});
    std::vector<std::string> watch = {"--watch",  "--port", dir + "/rig/tty*", "--image", image,
                                      "--report", report,   "--timeout",       "3"};
    ASSERT_TRUE(tool_start(&tool, watch, dir));
    ASSERT_TRUE(has_records(1)); // present at the start: updated at once
    start_sim("tty1", {"--wrong-verify"});
    ASSERT_TRUE(has_records(2));
    start_sim("tty2", {"--hangup-after", "1"});
    ASSERT_TRUE(has_records(3));
    sim_wait(&sims[2], 2000); // unplugged: its link is gone
    usleep(250 * 1000);       // two scans see the port absent
    start_sim("tty2");        // the next board on the same port
    ASSERT_TRUE(has_records(4));
    start_sim("tty3", {"--flash-ms", "300"});
    ASSERT_TRUE(writing("tty3"));
    kill(tool.pid, SIGINT); // no new boards; tty3 finishes
    start_sim("tty4");
    tool_run first = tool_finish(&tool, 10000);
    EXPECT_EQ(first.status, 4) << first.err; // the highest: tty2's lost port
    EXPECT_THAT(first.err, HasSubstr("taking no new boards; 1 running to finish"));
    EXPECT_THAT(first.err, testing::ContainsRegex(tty0 + "  serial -  updated  [0-9.]+ s\n"));
    EXPECT_THAT(first.err, HasSubstr("tty2: the port stopped working"));
    EXPECT_THAT(first.err, HasSubstr("updated 3  failed 2  in progress 0"));

    // tty4 (present) is skipped; tty5 comes later and is interrupted half-way.
    ASSERT_TRUE(tool_start(&tool,
                           {"--watch", "--skip-present", "--port", dir + "/rig/tty4", "--port",
                            dir + "/rig/tty5", "--image", image, "--report", report},
                           dir));
    ASSERT_TRUE(
        wait_until([&] { return text_of(tool.err_path).find("watching") != std::string::npos; }));
    start_sim("tty5", {"--flash-ms", "400"});
    ASSERT_TRUE(writing("tty5"));
    kill(tool.pid, SIGINT);
    ASSERT_TRUE(wait_until(
        [&] { return text_of(tool.err_path).find("taking no new boards") != std::string::npos; }));
    kill(tool.pid, SIGINT);
    tool_run second = tool_finish(&tool, 5000);
    EXPECT_EQ(second.status, 130) << second.err;
    EXPECT_THAT(second.err, HasSubstr("tty5: interrupted while writing block"));
    EXPECT_THAT(text_of(dir + "/tty4.log"), Not(HasSubstr("request")));

    std::string quoted = "\"" + dir + "/rig/tty";
    EXPECT_THAT(
        records(),
        testing::ElementsAre(
            quoted + "0\"|update|updated|0|3/3|1|null|",
            quoted + "1\"|update|FAILED|1|3/3|0|null|FAILED: the target's CRC of the written "
                     "range differs from the image",
            testing::StartsWith(quoted + "2\"|update|port lost|4|1/3|0|null|the port stopped"),
            quoted + "2\"|update|updated|0|3/3|0|null|",
            quoted + "3\"|update|updated|0|3/3|0|null|",
            testing::AllOf(testing::StartsWith(quoted + "5\"|update|interrupted|130|"),
                           HasSubstr("run the update again"))));
}

TEST_F(Station, CheckComparesWithoutWritingOrResetting)
{
    // A USB adapter as sysfs shows it, for the port named ttyUSB7.
    std::string sys = dir + "/sys", device = sys + "/devices/usb1/1-1";
    std::filesystem::create_directories(device + "/1-1:1.0/ttyUSB7");
    std::filesystem::create_directories(sys + "/class/tty/ttyUSB7");
    std::filesystem::create_directory_symlink(device + "/1-1:1.0/ttyUSB7",
                                              sys + "/class/tty/ttyUSB7/device");
    for (auto [file, text] :
         {std::pair{"idVendor", "0403"}, {"idProduct", "6001"}, {"serial", "A1B2C3"}})
        std::ofstream(device + "/" + file) << text << "\n";
    setenv("KEP_UPDATE_SYSFS", sys.c_str(), 1);

    std::string same = start_sim("ttyUSB7", {"--load", dir + "/padded.bin"});
    std::string odd =
        start_sim("odd\"\\\x01\xff", {"--load", image}); // erased bytes after the image
    tool_run refused =
        run_tool({"--check", "--port", same, "--report", dir + "/no/such.jsonl"}, dir);
    EXPECT_EQ(refused.status, 2);
    tool_run equal = run_tool({"--check", "--port", same, "--image", image}, dir);
    EXPECT_EQ(equal.status, 0) << equal.err;
    tool_run both = run_tool(
        {"--check", "--port", same + "," + odd, "--image", image, "--report", report}, dir);
    unsetenv("KEP_UPDATE_SYSFS");
    EXPECT_EQ(both.status, 1) << both.err;
    EXPECT_THAT(both.err, HasSubstr("1 of 2 targets equal"));
    for (std::string name : {"ttyUSB7", "odd\"\\\x01\xff"}) {
        EXPECT_THAT(text_of(dir + "/" + name + ".log"), Not(HasSubstr("request 0xf2"))) << name;
        EXPECT_THAT(text_of(dir + "/" + name + ".log"), Not(HasSubstr("request 0xf4"))) << name;
        EXPECT_FALSE(std::filesystem::exists(dir + "/" + name + ".flash")) << name;
    }
    EXPECT_THAT(equal.out + both.out, Not(HasSubstr("PROG ADDR")));
    EXPECT_THAT(records(),
                testing::UnorderedElementsAre(
                    "\"" + same +
                        "\"|check|equal|0|0/3|0|{\"vendor_id\": \"0403\", \"product_id\": "
                        "\"6001\", \"serial\": \"A1B2C3\"}|",
                    "\"" + dir +
                        "/rig/odd\\\"\\\\\\u0001\\ufffd\"|check|differs|1|0/3|0|null|DIFFERS: the "
                        "target's CRC of the image's range differs from the image"));
}

} // namespace
