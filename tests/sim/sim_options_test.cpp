// kep-sim's K:MS switches: a block from 1 and milliseconds, digits only.
#include "sim_options.h"

#include <gtest/gtest.h>

TEST(sim_options_test, block_delays_take_a_block_from_one_and_a_time)
{
    struct {
        const char *value;
        int expected; // SIM_OPTIONS_OK or the exit status
    } cases[] = {{"2:700", SIM_OPTIONS_OK}, {"0:700", 2}, {"1:-5", 2},
                 {"1,700", 2},              {"1:", 2},    {"1:600001", 2}};
    for (const auto &c : cases) {
        const char *argv[] = {"kep-sim", "--late-ack", c.value};
        sim_options options;
        testing::internal::CaptureStderr();
        EXPECT_EQ(parse_sim_options(3, argv, &options), c.expected) << c.value;
        testing::internal::GetCapturedStderr();
    }
}
