// kep-sim's K:MS switches (a block from 1 and milliseconds, digits only) and
// the part's size.
#include "sim_options.h"

#include <gtest/gtest.h>

TEST(sim_options_test, block_delays_take_a_block_from_one_and_a_time_and_parts_go_to_2_mib)
{
    struct {
        const char *option, *value;
        bool valid;
    } cases[] = {
        {"--late-ack", "2:700", true}, {"--late-ack", "0:700", false},
        {"--late-ack", "1:-5", false}, {"--late-ack", "1,700", false},
        {"--late-ack", "1:", false},   {"--late-ack", "1:600001", false},
        {"--flash-kib", "2048", true}, {"--flash-kib", "2049", false},
    };
    for (const auto &c : cases) {
        const char *argv[] = {"kep-sim", c.option, c.value};
        sim_options options;
        testing::internal::CaptureStderr();
        EXPECT_EQ(parse_sim_options(3, argv, &options), c.valid ? SIM_OPTIONS_OK : 2) << c.value;
        testing::internal::GetCapturedStderr();
    }
}
