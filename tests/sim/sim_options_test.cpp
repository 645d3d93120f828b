// kep-sim's K:MS switches: a block from 1 and milliseconds, digits only; --load.
#include "sim_options.h"

#include <gtest/gtest.h>
#include <utility>

TEST(sim_options_test, block_delays_take_a_block_from_one_and_a_time_and_a_load_file_is_read_whole)
{
    const std::pair<const char *, const char *> cases[] = {
        {"--late-ack", "2:700"}, // the only valid one
        {"--late-ack", "0:700"}, {"--late-ack", "1:-5"},      {"--late-ack", "1,700"},
        {"--late-ack", "1:"},    {"--late-ack", "1:600001"}, {"--load", "/"}, {"--load", "/no/such/file"}}; // neither can be read
    for (const auto &[option, value] : cases) {
        const char *argv[] = {"kep-sim", option, value};
        sim_options options;
        testing::internal::CaptureStderr();
        EXPECT_EQ(parse_sim_options(3, argv, &options), value == cases[0].second ? SIM_OPTIONS_OK : 2)
            << value;
        testing::internal::GetCapturedStderr();
    }
}
