// The termios structure built for the update line. A pseudo-terminal does not
// keep parity, so the settings are checked as built, not as read back.
#include "serial/line_settings_posix.h"

#include <gtest/gtest.h>

namespace
{

TEST(line_settings_test, raw_eight_bits_even_parity_one_stop_bit_no_flow_control)
{
    termios cooked{};
    cooked.c_iflag = ICRNL | IXON | IXOFF | INPCK | ISTRIP | BRKINT | IGNCR | INLCR | PARMRK;
    cooked.c_oflag = OPOST | ONLCR;
    cooked.c_lflag = ICANON | ECHO | ECHOE | ISIG | IEXTEN;
    cooked.c_cflag = CS7 | PARODD | CSTOPB | CRTSCTS | HUPCL;
    cooked.c_cc[VTIME] = 5;
    cfsetspeed(&cooked, B9600);
    // An unsupported rate leaves the speed as it was, with everything else set.
    for (int32_t baud : {115200, 12345}) {
        termios built{};
        EXPECT_EQ(build_line_settings(&cooked, baud, &built), baud == 115200);
        EXPECT_EQ(cfgetospeed(&built), baud == 115200 ? (speed_t)B115200 : (speed_t)B9600);
        EXPECT_EQ(cfgetispeed(&built), cfgetospeed(&built));
        EXPECT_EQ(built.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CREAD | CLOCAL),
                  (tcflag_t)(CS8 | PARENB | CREAD | CLOCAL));
        EXPECT_EQ(built.c_iflag & (INPCK | ISTRIP | PARMRK | IXON | IXOFF | IXANY | ICRNL | INLCR |
                                   IGNCR | BRKINT),
                  0u);
        EXPECT_FALSE(built.c_oflag & OPOST);
        EXPECT_EQ(built.c_lflag & (ICANON | ECHO | ECHOE | ISIG | IEXTEN), 0u);
        EXPECT_EQ(built.c_cc[VMIN], 1);
        EXPECT_EQ(built.c_cc[VTIME], 0);
    }
    EXPECT_EQ(speed_for_baud(9600), (speed_t)B9600);
    EXPECT_EQ(speed_for_baud(921600), (speed_t)B921600);
    EXPECT_EQ(speed_for_baud(0), (speed_t)B0);
}

} // namespace
