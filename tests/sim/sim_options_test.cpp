// kep-sim's K:MS switches: a block from 1 and milliseconds, digits only.
#include "sim_options.h"

#include <gtest/gtest.h>

TEST(sim_options_test, block_delays_take_a_block_from_one_and_a_time)
{
    const char *values[] = {"2:700", "0:700", "1:-5", "1,700", "1:", "1:600001"}; // the first is valid
    for (const char *value : values) {
        const char *argv[] = {"kep-sim", "--late-ack", value};
        sim_options options;
        testing::internal::CaptureStderr();
        EXPECT_EQ(parse_sim_options(3, argv, &options), value == values[0] ? SIM_OPTIONS_OK : 2)
            << value;
        testing::internal::GetCapturedStderr();
    }
}
