// kep-update as a production station: --watch over a folder of simulated
// targets, --check, and the --report records read back with a JSON parser.
#include "frames.h"
#include "rig.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <sstream>
#include <unistd.h>

using testing::HasSubstr;
using testing::Not;

namespace
{

// Checks every record of a report (argv[1]) against the image (argv[2]), its
// CRC (argv[3]) and the origin in the file argv[4], then prints a line each of
// the fields that differ from run to run: port, operation, outcome, exit
// status, blocks, resends, usb, message. Resends show only for checks, and for
// tty0 whether there was one (its dropped ack): a busy machine may delay any
// board's ack past the time-out.
const char *const report_reader = R"(
import hashlib, json, re, sys
image = open(sys.argv[2], 'rb').read()
padded = image + bytes(-len(image) % 1024)
stamp = r'\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z'
for line in open(sys.argv[1]):
    r = json.loads(line)
    assert ' '.join(r) == 'station lot operator tool_version started ended port slot usb image operation ' \
        'outcome exit_status blocks_acknowledged blocks_refused blocks_skipped blocks_total resends ' \
        'seconds message serial_number written_sha256 record_id', line
    assert re.fullmatch('[0-9a-f]{32}', r['record_id']), line
    assert [r['station'], r['lot'], r['operator'], r['tool_version']] == \
        json.load(open(sys.argv[4], encoding='utf-8')), line
    assert re.fullmatch(stamp, r['started']) and re.fullmatch(stamp, r['ended']), line
    assert '2026' < r['started'] <= r['ended'] and 0 <= r['seconds'] < 30, line
    assert r['image'] == {'path': sys.argv[2], 'format': 'raw binary', 'size': len(image),
                          'padded_size': len(padded), 'crc16': sys.argv[3],
                          'sha256': hashlib.sha256(padded).hexdigest()}, r['image']
    print('|'.join(map(str, [json.dumps(r['port']), r['operation'], r['outcome'], r['exit_status'],
                             '%d/%d' % (r['blocks_acknowledged'], r['blocks_total']),
                             r['resends'] if r['operation'] == 'check' else
                             min(r['resends'], 1) if r['port'].endswith('tty0') else '*',
                             json.dumps(r['usb']), r['message']]))
          + ('' if r['serial_number'] is None else '|#%d' % r['serial_number']))
    if r['serial_number'] is not None and r['outcome'] == 'updated': # the number at 0x08000864
        board = padded[:100] + r['serial_number'].to_bytes(4, 'little') + padded[104:]
        assert r['written_sha256'] == hashlib.sha256(board).hexdigest(), line
)";

class Station : public rig
{
  protected:
    void SetUp() override
    {
        rig::SetUp();
        std::ofstream(dir + "/reader.py") << report_reader;
        report = dir + "/report.jsonl";
        char host[256] = "";
        gethostname(host, sizeof host - 1);
        origin = "[\"" + std::string(host) + "\", null, null, \"" KEP_VERSION "\"]";
        image = small_image;
    }
    // A station handing out serial numbers from dir/serial into the field at 0x08000864.
    std::vector<std::string> station(const std::string &ports)
    {
        return {"--port",        ports,         "--image",        numbered, "--serial-number",
                "0x08000864",    "--serial-file", dir + "/serial", "--serial-start", "7000",
                "--report",      report,        "--quiet"};
    }
    bool has_records(long count)
    {
        return wait_until([&] { return std::ranges::count(text_of(report), '\n') >= count; });
    }
    // The records of a run that wrote `image`.
    std::vector<std::string> records()
    {
        std::string padded = text_of(image);
        padded.resize(3072, '\0');
        char crc[8];
        snprintf(crc, sizeof crc, "0x%04x", crc16_modbus((const uint8_t *)padded.data(), 3072));
        std::ofstream(dir + "/origin.json") << origin;
        std::string command = "python3 " + dir + "/reader.py " + report + " " + image + " " +
                              crc + " " + dir + "/origin.json >" + dir + "/records 2>&1";
        EXPECT_EQ(system(command.c_str()), 0) << text_of(dir + "/records");
        std::istringstream text(text_of(dir + "/records"));
        std::vector<std::string> lines;
        for (std::string line; std::getline(text, line);)
            lines.push_back(line);
        return lines;
    }

    // The records of `port` so far.
    long records_of(const std::string &port)
    {
        std::string text = text_of(report), key = "\"port\":\"" + port + "\"";
        long count = 0;
        for (size_t at = 0; (at = text.find(key, at)) != std::string::npos; at++)
            count++;
        return count;
    }

    std::string report, image;
    std::string origin; // station, lot, operator, tool_version of every record, as JSON
};

TEST_F(Station, WatchUpdatesEachBoardOncePerPluggingAndStopsInTwoStages)
{
    std::string tty0 = start_sim("tty0", {"--serve-forever", "--drop-ack", "2"});
    ASSERT_TRUE(start_tool(&tool, {"--watch", "--port", dir + "/rig/tty*", "--image", small_image,
                                   "--report", report, "--timeout", "3"}));
    ASSERT_TRUE(has_records(1)); // present at the start: updated at once
    start_sim("tty1", {"--wrong-verify"});
    ASSERT_TRUE(has_records(2));
    start_sim("tty2", {"--hangup-after", "1"});
    ASSERT_TRUE(has_records(3));
    child_finish(&sims[2], in_ms(2000)); // unplugged: its link is gone
    usleep(250 * 1000);                  // two scans see the port absent
    start_sim("tty2");                   // the next board on the same port
    ASSERT_TRUE(has_records(4));
    start_sim("tty3", {"--flash-ms", "300", "--dump", "/dev/full"});
    ASSERT_TRUE(wait_for(dir + "/tty3.err", "request 0xf2"));
    kill(tool.pid, SIGINT); // no new boards; tty3 finishes
    start_sim("tty4");
    child_run first = child_finish(&tool, in_ms(10000));
    EXPECT_EQ(first.status, 4) << first.err; // the highest: tty2's lost port
    EXPECT_THAT(first.err, HasSubstr("taking no new boards; 1 running to finish"));
    EXPECT_EQ(first.err.find("kep-update: watching "), first.err.rfind("kep-update: watching "))
        << "said once";
    EXPECT_THAT(first.err, testing::ContainsRegex("  PASS    " + tty0 + "  adapter -  updated  [0-9.]+ s\n"));
    EXPECT_THAT(first.err, HasSubstr("tty2: the port stopped working"));
    EXPECT_THAT(first.err, HasSubstr("passed 3  failed 2  first-pass yield 60.0 %"));
    EXPECT_THAT(text_of(dir + "/tty0.err"),
                testing::AllOf(HasSubstr("reply: reset echoed"), Not(HasSubstr("kep-sim: exit"))))
        << "--serve-forever";
    EXPECT_EQ(child_finish(&sims[4], in_ms(2000)).status, 1) << "its flash could not be dumped";

    // tty4 (present) is skipped; tty5 comes later and is interrupted half-way.
    ASSERT_TRUE(
        start_tool(&tool, {"--watch", "--skip-present", "--port", dir + "/rig/tty4", "--port",
                           dir + "/rig/tty5", "--image", small_image, "--report", report}));
    ASSERT_TRUE(wait_for(tool.err_path, "watching"));
    start_sim("tty5", {"--flash-ms", "400"});
    ASSERT_TRUE(wait_for(dir + "/tty5.err", "request 0xf2"));
    kill(tool.pid, SIGINT);
    ASSERT_TRUE(wait_for(tool.err_path, "taking no new boards"));
    kill(tool.pid, SIGINT);
    child_run second = child_finish(&tool, in_ms(5000));
    EXPECT_EQ(second.status, 130) << second.err;
    EXPECT_THAT(second.err, HasSubstr("tty5: interrupted while writing block"));
    EXPECT_THAT(text_of(dir + "/tty4.err"), testing::AllOf(HasSubstr("request 0xf3"), // probed, not written
                                                          Not(testing::ContainsRegex("request 0xf[24]"))));

    std::vector<std::string> got = records();
    std::string quoted = "\"" + dir + "/rig/tty";
    EXPECT_THAT(
        got, testing::ElementsAre(
                 quoted + "0\"|update|updated|0|3/3|1|null|",
                 quoted + "1\"|update|FAILED|1|3/3|*|null|FAILED: the target's CRC of the "
                          "written range differs from the image",
                 testing::StartsWith(quoted + "2\"|update|port lost|4|1/3|*|null|the port stopped"),
                 quoted + "2\"|update|updated|0|3/3|*|null|",
                 quoted + "3\"|update|updated|0|3/3|*|null|",
                 testing::AllOf(testing::StartsWith(quoted + "5\"|update|interrupted|130|"),
                                HasSubstr("run the update again"))));
}

// Adapters that stay in their fixture, boards placed and taken off as an
// operator does, a few tenths of a second apart: each slot follows its
// boards by what they answer, gives every placing one record, numbers only
// the boards it writes, and keeps a failed board's result while it stays.
TEST_F(Station, SlotsFollowEachBoardAnOperatorPlaces)
{
    image = numbered;
    std::string swap = fixture("swap", "insert"), fast = fixture("fast", "insert");
    std::string fail = fixture("fail", "insert --wrong-verify");
    std::string holds = fixture("holds", "insert --load " + image);
    std::string pull = fixture("pull", "insert --flash-ms 200");
    std::string slow = fixture("slow", "insert --late-ack 2:800"); // its ack after the 500 ms re-send
    std::string hung = fixture("hung", "insert --freeze-after 1");
    std::string app = fixture("app", "insert", {"--after-reset", "app"});
    ASSERT_EQ(run_tool({"--port", app, "--image", image}).status, 0); // now running its application
    size_t app_log = text_of(dir + "/app.err").size();
    fixture("silent", "remove");
    ASSERT_TRUE(start_tool(&tool, {"--watch", "--port", dir + "/rig/*", "--image", image,
                                   "--serial-number", "0x08000864", "--serial-file",
                                   dir + "/serial", "--serial-start", "500", "--report", report,
                                   "--timeout", "1.5", "--slot-name", "*/swap=A1"}));
    ASSERT_TRUE(wait_until([&] {
        std::string log = text_of(dir + "/pull.err");
        size_t first = log.find("request 0xf2");
        return first != std::string::npos && log.find("request 0xf2", first + 1) != std::string::npos;
    }));
    command("pull", "remove\n");                         // pulled while block 2 is written,
    usleep(300 * 1000);
    command("pull", "insert\n");                         // the next board on before the time-out
    ASSERT_TRUE(has_records(7)) << text_of(tool.err_path); // swap, fast, fail, holds, slow, hung, app
    EXPECT_TRUE(wait_for(tool.out_path, holds + ": CRCs match\n")) << "the trace is on the disk as it goes";
    command("fast", "remove\ninsert\n");                 // swapped at once after its pass
    command("swap", "remove\n");
    usleep(400 * 1000);
    command("swap", "insert --load " + image + "\n"); // placed back, holding the image
    ASSERT_TRUE(wait_until([&] { return records_of(swap) == 2; })) << text_of(tool.out_path);
    for (const char *name : {"swap", "fail", "hung"})
        command(name, "remove\n");
    usleep(300 * 1000);
    for (const char *name : {"swap", "fail", "hung"})
        command(name, "insert\n");
    ASSERT_TRUE(wait_until([&] {
        return records_of(swap) == 3 && records_of(fail) == 2 && records_of(hung) == 2 &&
               records_of(pull) == 2 && records_of(fast) == 2;
    })) << text_of(tool.err_path);
    kill(tool.pid, SIGINT);
    child_run run = child_finish(&tool, in_ms(5000));
    EXPECT_EQ(run.status, 4) << run.err;

    std::vector<std::string> got = records();
    std::ranges::stable_sort(got, {}, [](const std::string &line) { return line.substr(0, line.find('|')); });
    auto update = [&](const std::string &port, const char *outcome, const char *blocks = "3/3") {
        return testing::MatchesRegex("\"" + dir + "/rig/" + port + "\"\\|update\\|" + outcome +
                                     "\\|[0-9]\\|" + blocks + "\\|.*\\|#5(0[0-9]|10)");
    };
    auto check = "|check|equal|0|0/3|0|null|";
    EXPECT_THAT(got, testing::ElementsAre(
                         "\"" + app + "\"|update|not in its bootloader|4|0/3|*|null|the board answers as "
                         "its application does (exception 0x01): start it in its bootloader and place it "
                         "again; nothing was written",
                         update("fail", "FAILED"), update("fail", "updated"),
                         update("fast", "updated"), update("fast", "updated"),
                         "\"" + holds + "\"" + check,
                         update("hung", "timed out", "1/3"), update("hung", "updated"),
                         update("pull", "removed", "1/3"), update("pull", "updated"),
                         update("slow", "updated"),
                         update("swap", "updated"), "\"" + swap + "\"" + check, update("swap", "updated")));
    EXPECT_THAT(text_of(report), HasSubstr("\"port\":\"" + swap + "\",\"slot\":\"A1\""));
    EXPECT_EQ(text_of(dir + "/serial"), "511\n") << "a number for each board written, none else";
    EXPECT_THAT(text_of(dir + "/app.err").substr(app_log),
                testing::AllOf(HasSubstr("application running"), Not(HasSubstr("request 0xf2"))));
    EXPECT_THAT(text_of(dir + "/silent.err"), HasSubstr("no board: 13-byte request not answered"));
    EXPECT_THAT(text_of(dir + "/silent.err"), Not(HasSubstr("request 0x")));
}

TEST_F(Station, CheckComparesWithoutWritingOrResetting)
{
    // A USB adapter as sysfs shows it, for the port named ttyUSB7.
    std::string usb = "sys/devices/usb1/1-1", port = usb + "/1-1:1.0/ttyUSB7";
    ASSERT_TRUE(sh("mkdir -p " + port + " sys/class/tty/ttyUSB7 && echo 0403 >" + usb +
                   "/idVendor && echo 6001 >" + usb + "/idProduct && echo A1B2C3 >" + usb +
                   "/serial && ln -s $PWD/" + port + " sys/class/tty/ttyUSB7/device"));
    setenv("KEP_UPDATE_SYSFS", (dir + "/sys").c_str(), 1);

    // Erased bytes after the image: a check compares the image's own bytes, those of
    // a serial number's field left out: a board holding its own number is equal.
    image = numbered;
    std::string held = text_of(numbered);
    held.replace(100, 4, "\x01\x02\x03\x04"); // every byte of the field differs
    std::ofstream(dir + "/held.bin", std::ios::binary) << held;
    held[2999] ^= 1;
    std::ofstream(dir + "/other.bin", std::ios::binary) << held;
    std::string same = start_sim("ttyUSB7", {"--load", dir + "/held.bin"});
    std::string odd = start_sim("odd\"\\\x01\xff", {"--load", dir + "/other.bin"});
    child_run equal =
        run_tool({"--check", "--port", same, "--image", image, "--serial-number", "0x08000864"});
    EXPECT_EQ(equal.status, 0) << equal.err;
    child_run both =
        run_tool({"--check", "--port", same + "," + odd, "--image", image, "--serial-number",
                  "0x08000864", "--quiet", "--report", report, "--station", "bench \"3\"\\",
                  "--lot", "WO-17\t", "--operator", "Zo\xc3\xab"});
    EXPECT_THAT(both.err, Not(HasSubstr("Contacting Device"))) << "--quiet: no status lines";
    origin = "[\"bench \\\"3\\\"\\\\\", \"WO-17\\t\", \"Zo\\u00eb\", \"" KEP_VERSION "\"]";
    unsetenv("KEP_UPDATE_SYSFS");
    EXPECT_EQ(both.status, 1) << both.err;
    EXPECT_THAT(both.err, HasSubstr("1 of 2 targets equal"));
    for (std::string name : {"ttyUSB7", "odd\"\\\x01\xff"}) {
        EXPECT_THAT(text_of(dir + "/" + name + ".err"),
                    testing::AllOf(HasSubstr("request 0xf3: verify"),
                                   Not(testing::ContainsRegex("request 0xf[24]"))))
            << name;
        EXPECT_FALSE(std::filesystem::exists(dir + "/" + name + ".flash")) << name;
    }
    EXPECT_THAT(equal.out + both.out, Not(HasSubstr("PROG ADDR")));
    EXPECT_THAT(records(),
                testing::UnorderedElementsAre(
                    "\"" + same +
                        "\"|check|equal|0|0/3|0|{\"vendor_id\": \"0403\", \"product_id\": "
                        "\"6001\", \"serial\": \"A1B2C3\"}|",
                    "\"" + dir +
                        "/rig/odd\\\"\\\\\\u0001\\ufffd\"|check|differs|1|0/3|0|null|DIFFERS: "
                        "the target's CRC of the image's range differs from the image"));
}

// kep-sim as a fixture: its line stays while boards are placed, pulled, reset
// into their application or bootloader; each run updates the board then on it.
TEST_F(Station, AFixturesLineStaysWhileBoardsComeAndGo)
{
    std::string slot = fixture("slot", "remove");
    // A line appended to the control file before the run, its status, a part of its messages.
    const std::tuple<const char *, int, const char *> runs[] = {
        {"", 4, "no valid reply for 1 s while contacting"},
        {"insert --hangup-after 1", 4, "no valid reply for 1 s while writing block 2"},
        {"insert --stop-reading-after 1", 4, "the target stopped taking data"},
        {"insert --restart-on-reset", 0, "did not confirm its reset"},
        {"insert --after-reset app", 0, ""},
        {"", 1, "(exception 0x01)"}, // its application answers
        {"insert", 0, ""},
    };
    for (const auto &[line, status, said] : runs) {
        command("slot", line + std::string("\n"));
        if (*line) {
            ASSERT_TRUE(wait_for(dir + "/slot.err", "placed (\"" + std::string(line) + "\")"));
        }
        child_run run = run_tool({"--port", slot, "--image", small_image, "--timeout", "1", "--report", report});
        EXPECT_EQ(run.status, status) << line << run.err;
        EXPECT_THAT(run.err, HasSubstr(said)) << line;
    }
    EXPECT_TRUE(flash_holds("slot", small_image));
    EXPECT_THAT(text_of(report), HasSubstr("\"outcome\":\"updated, reset not confirmed\""));
    EXPECT_THAT(text_of(dir + "/slot.err"), HasSubstr("board pulled; the fixture's line is silent"));
}

// Per-board serial numbers through whole runs: two stations sharing one
// serial file, a station killed mid-update (checks skip the number: above).
TEST_F(Station, TwoStationsSharingOneFileHandOutEachNumberOnce)
{
    // 40 boards: ten rounds of four, on two kep-update processes of two boards each.
    std::vector<uint32_t> numbers;
    for (int round = 0; round < 10; round++) {
        std::vector<std::string> links;
        for (int k = 0; k < 4; k++)
            links.push_back(start_sim("b" + std::to_string(round * 4 + k)));
        child first, second;
        ASSERT_TRUE(start_tool(&first, station(links[0] + "," + links[1])));
        ASSERT_TRUE(start_tool(&second, station(links[2] + "," + links[3])));
        EXPECT_EQ(child_finish(&first, in_ms(30000)).status, 0);
        EXPECT_EQ(child_finish(&second, in_ms(30000)).status, 0);
    }
    std::string records = text_of(report);
    for (int board = 0; board < 40; board++) {
        std::string name = "b" + std::to_string(board);
        uint32_t number = numbers.emplace_back(number_in(name));
        EXPECT_THAT(records, HasSubstr("rig/" + name + "\",\"slot\"")) << "one record per board";
        EXPECT_THAT(records, HasSubstr("\"serial_number\":" + std::to_string(number) + ","));
        std::string flash = text_of(dir + "/" + name + ".flash");
        EXPECT_EQ(flash.substr(0, 100) + flash.substr(104, 2896),
                  text_of(small_image).substr(0, 100) + text_of(small_image).substr(104));
    }
    std::ranges::sort(numbers);
    for (uint32_t i = 0; i < 40; i++)
        EXPECT_EQ(numbers[i], 7000 + i);
    EXPECT_EQ(text_of(dir + "/serial"), "7040\n");
}

TEST_F(Station, AKilledStationsNumberIsNotReusedAndBoardsNotWrittenTakeNone)
{
    std::ofstream(dir + "/serial") << "7000\r\n"; // as a Windows editor saves it
    std::string slow = start_sim("slow", {"--flash-ms", "400"});
    ASSERT_TRUE(start_tool(&tool, station(slow)));
    ASSERT_TRUE(wait_for(dir + "/slow.err", "request 0xf2"));
    kill(tool.pid, SIGKILL);
    child_finish(&tool, in_ms(2000));
    EXPECT_EQ(run_tool(station(start_sim("next"))).status, 0);
    EXPECT_EQ(number_in("next"), 7001u);
    // A board that never answers, and a port that does not open, take no number.
    std::vector<std::string> idle = station(start_sim("mute", {"--silent"}) + "," + dir + "/absent");
    idle.insert(idle.end(), {"--timeout", "1"});
    EXPECT_EQ(run_tool(idle).status, 4);

    EXPECT_EQ(text_of(dir + "/serial"), "7002\n") << "taken only by boards written";
    // The format's last number goes to one board; the other is left alone, unwritten.
    std::ofstream(dir + "/serial") << "4294967295\n";
    child_run last = run_tool(station(start_sim("max") + "," + start_sim("over")));
    EXPECT_EQ(last.status, 2) << last.err;
    EXPECT_THAT(last.err, HasSubstr(": the next serial number, 4294967296 (from " +
                                    dir + "/serial), does not fit the format u32le; nothing was written"));
    EXPECT_EQ(text_of(dir + "/max.err").find("request 0xf2") == std::string::npos,
              text_of(dir + "/over.err").find("request 0xf2") != std::string::npos);
}

} // namespace
