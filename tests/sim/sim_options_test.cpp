// The command line of kep-sim: defaults, fault switches, and misuse ending in
// exit status 2.
#include "sim_options.h"

#include <gtest/gtest.h>

namespace
{

int parse(std::vector<const char *> arguments, sim_options *options)
{
    arguments.insert(arguments.begin(), "kep-sim");
    return parse_sim_options((int)arguments.size(), arguments.data(), options);
}

TEST(sim_options_test, defaults_are_a_well_behaved_target_at_115200)
{
    sim_options options;
    ASSERT_EQ(parse({}, &options), SIM_OPTIONS_OK);
    EXPECT_EQ(options.baud, 115200);
    EXPECT_EQ(options.flash_ms, 0);
    EXPECT_FALSE(options.serve_forever);
    EXPECT_TRUE(options.link_path.empty());
    EXPECT_EQ(options.faults.drop_ack, 0);
    EXPECT_FALSE(options.faults.silent);
}

TEST(sim_options_test, switches_combine)
{
    sim_options options;
    ASSERT_EQ(parse({"--link",           "/tmp/x", "--dump",         "/tmp/d",
                     "--baud",           "0",      "--flash-ms",     "7",
                     "--drop-ack",       "3",      "--late-ack",     "4:250",
                     "--split-ack",      "5:40",   "--corrupt-ack",  "6",
                     "--duplicate-ack",  "7",      "--exception",    "8",
                     "--ignore-contact", "2",      "--wrong-verify", "--short-verify",
                     "--hangup-after",   "9",      "--serve-forever"},
                    &options),
              SIM_OPTIONS_OK);
    EXPECT_EQ(options.link_path, "/tmp/x");
    EXPECT_EQ(options.dump_path, "/tmp/d");
    EXPECT_EQ(options.baud, 0);
    EXPECT_EQ(options.flash_ms, 7);
    EXPECT_EQ(options.faults.drop_ack, 3);
    EXPECT_EQ(options.faults.late_ack.block, 4);
    EXPECT_EQ(options.faults.late_ack.ms, 250);
    EXPECT_EQ(options.faults.split_ack.block, 5);
    EXPECT_EQ(options.faults.split_ack.ms, 40);
    EXPECT_EQ(options.faults.corrupt_ack, 6);
    EXPECT_EQ(options.faults.duplicate_ack, 7);
    EXPECT_EQ(options.faults.exception, 8);
    EXPECT_EQ(options.faults.ignore_contact, 2);
    EXPECT_TRUE(options.faults.wrong_verify);
    EXPECT_TRUE(options.faults.short_verify);
    EXPECT_EQ(options.faults.hangup_after, 9);
    EXPECT_TRUE(options.serve_forever);
}

TEST(sim_options_test, misuse_ends_with_status_2_and_a_message)
{
    const std::vector<std::vector<const char *>> bad = {
        {"--no-such-switch"},   {"stray"},           {"--drop-ack", "0"},   {"--drop-ack", "x"},
        {"--baud", "-1"},       {"--late-ack", "3"}, {"--late-ack", "0:5"}, {"--split-ack", "2:-1"},
        {"--late-ack", "2:5x"}, {"--link"}};
    for (const auto &arguments : bad) {
        sim_options options;
        ::testing::internal::CaptureStderr();
        int status = parse(arguments, &options);
        std::string message = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, 2) << arguments[0];
        EXPECT_FALSE(message.empty()) << arguments[0];
    }
}

TEST(sim_options_test, help_ends_with_status_0)
{
    sim_options options;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(parse({"--help"}, &options), 0);
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("--drop-ack"), std::string::npos);
}

} // namespace
