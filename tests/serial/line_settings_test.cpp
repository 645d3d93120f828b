// The termios structure built for the update line. A pseudo-terminal does not
// keep parity, so the settings are checked as built, not as read back.
#include "serial/line_settings_posix.h"

#include <gtest/gtest.h>

namespace
{

termios cooked_terminal()
{
    termios t{};
    t.c_iflag = ICRNL | IXON | IXOFF | INPCK | ISTRIP | BRKINT | IGNCR | INLCR | PARMRK;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ICANON | ECHO | ECHOE | ISIG | IEXTEN;
    t.c_cflag = CS7 | PARODD | CSTOPB | CRTSCTS | HUPCL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 5;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    return t;
}

TEST(line_settings_test, raw_eight_bits_even_parity_one_stop_bit_no_flow_control)
{
    termios current = cooked_terminal();
    termios built{};
    ASSERT_TRUE(build_line_settings(&current, 115200, &built));

    EXPECT_EQ(built.c_cflag & CSIZE, (tcflag_t)CS8);
    EXPECT_TRUE(built.c_cflag & PARENB);
    EXPECT_FALSE(built.c_cflag & PARODD);
    EXPECT_FALSE(built.c_cflag & CSTOPB);
    EXPECT_FALSE(built.c_cflag & CRTSCTS);
    EXPECT_TRUE(built.c_cflag & CREAD);
    EXPECT_TRUE(built.c_cflag & CLOCAL);

    EXPECT_EQ(built.c_iflag & (INPCK | ISTRIP | PARMRK | IXON | IXOFF | IXANY), 0u);
    EXPECT_EQ(built.c_iflag & (ICRNL | INLCR | IGNCR | BRKINT), 0u);
    EXPECT_FALSE(built.c_oflag & OPOST);
    EXPECT_EQ(built.c_lflag & (ICANON | ECHO | ECHOE | ISIG | IEXTEN), 0u);
    EXPECT_EQ(built.c_cc[VMIN], 1);
    EXPECT_EQ(built.c_cc[VTIME], 0);

    EXPECT_EQ(cfgetispeed(&built), (speed_t)B115200);
    EXPECT_EQ(cfgetospeed(&built), (speed_t)B115200);
}

TEST(line_settings_test, common_rates_map_and_others_are_refused)
{
    EXPECT_EQ(speed_for_baud(9600), (speed_t)B9600);
    EXPECT_EQ(speed_for_baud(57600), (speed_t)B57600);
    EXPECT_EQ(speed_for_baud(921600), (speed_t)B921600);
    EXPECT_EQ(speed_for_baud(12345), (speed_t)B0);
    EXPECT_EQ(speed_for_baud(0), (speed_t)B0);

    termios current = cooked_terminal();
    termios built{};
    EXPECT_FALSE(build_line_settings(&current, 12345, &built));
    EXPECT_EQ(cfgetospeed(&built), (speed_t)B9600);
    EXPECT_TRUE(built.c_cflag & PARENB);
}

} // namespace
