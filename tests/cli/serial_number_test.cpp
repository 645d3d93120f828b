// Per-board serial numbers through whole runs: two stations sharing one
// serial file, a station killed mid-update, and checks that skip the number.
#include "rig.h"

#include <algorithm>
#include <csignal>
#include <fstream>
#include <gmock/gmock.h>

using testing::HasSubstr;

namespace
{

class SerialNumbers : public rig
{
  protected:
    void SetUp() override
    {
        rig::SetUp();
        numbered = dir + "/numbered.bin"; // in the test's own folder, known only now
        report = dir + "/report.jsonl";
        std::string image = text_of(small_image);
        image.replace(100, 4, 4, '\xff'); // the field the firmware leaves blank
        std::ofstream(numbered, std::ios::binary) << image;
    }
    std::vector<std::string> station(const std::string &ports)
    {
        return {"--port",        ports,         "--image",        numbered, "--serial-number",
                "0x08000864",    "--serial-file", dir + "/serial", "--serial-start", "7000",
                "--report",      report,        "--quiet"};
    }
    // The number in a board's flash, little-endian at the field.
    uint32_t number_in(const std::string &name)
    {
        std::string flash = text_of(dir + "/" + name + ".flash");
        uint32_t number = 0;
        for (int i = 3; i >= 0 && flash.size() > 103; i--)
            number = number * 256 + (uint8_t)flash[100 + (size_t)i];
        return number;
    }

    std::string numbered, report;
};

TEST_F(SerialNumbers, TwoStationsSharingOneFileHandOutEachNumberOnce)
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
        EXPECT_THAT(records, HasSubstr("rig/" + name + "\",\"usb\"")) << "one record per board";
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

TEST_F(SerialNumbers, AKilledStationsNumberIsNotReusedAndChecksSkipTheField)
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

    // Two boards holding different numbers hold the firmware; one byte
    // outside the field makes a third differ.
    std::string other = text_of(dir + "/next.flash"), odd = other;
    other[100] = 9;
    odd[1500] ^= 1;
    std::ofstream(dir + "/other.bin", std::ios::binary) << other;
    std::ofstream(dir + "/odd.bin", std::ios::binary) << odd;
    std::string boards = start_sim("a", {"--load", dir + "/next.flash"}) + "," +
                         start_sim("b", {"--load", dir + "/other.bin"}) + "," +
                         start_sim("c", {"--load", dir + "/odd.bin"});
    // A check takes no number, so it needs no serial file.
    child_run run = run_tool({"--check", "--port", boards, "--image", numbered, "--serial-number",
                              "0x08000864", "--quiet"});
    EXPECT_EQ(run.status, 1) << run.err;
    expect_in_order(run.err, {"rig/a  equal", "rig/b  equal", "rig/c  differs"});
    EXPECT_THAT(run.err, testing::Not(HasSubstr("Contacting Device"))) << "--quiet: no status lines";
    EXPECT_EQ(text_of(dir + "/serial"), "7002\n") << "taken only by boards written";
}

} // namespace
