#include "fake_os.h"
#include "open_serial_port.h"

#include <gtest/gtest.h>

// A port that does not open ends in the fatal report: serial_tests, with the real one.
TEST(OpenSerialPort, TracesOpensConfiguresAndStartsTheLink)
{
    fake_reset();
    captured_reports reports;
    update_link link{};
    link.port_name = "\\\\.\\com12";
    link.baud = 115200;
    link.state = STATE_FAILED;
    EXPECT_EQ(open_serial_port(&link), 0);
    EXPECT_EQ(reports.trace, " . Opening serial port \\\\.\\com12 at 115200 baud\n");
    EXPECT_EQ(fake.opened, std::vector<std::string>{"\\\\.\\com12"});
    EXPECT_EQ(link.state, STATE_START);
    // Replies are framed by a 20 ms silence between bytes.
    EXPECT_EQ(fake.configured, (std::vector<std::pair<int32_t, int>>{{115200, 20}}));

    fake_reset();
}
