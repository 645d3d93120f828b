// kep-sim's command line (K:MS switches, the part's size, the fixture) and the
// lines of its --control file.
#include "control_file.h"
#include "sim_options.h"

#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

TEST(sim_options_test, switches_are_taken_or_refused)
{
    struct {
        std::vector<const char *> args;
        int status;
        bool serve_forever;
        after_reset_mode after_reset;
    } cases[] = {
        {{"--late-ack", "2:700"}, SIM_OPTIONS_OK, false, AFTER_RESET_BOOTLOADER},
        {{"--late-ack", "0:700"}, 2, false, AFTER_RESET_BOOTLOADER},
        {{"--late-ack", "1:-5"}, 2, false, AFTER_RESET_BOOTLOADER},
        {{"--late-ack", "1,700"}, 2, false, AFTER_RESET_BOOTLOADER},
        {{"--late-ack", "1:"}, 2, false, AFTER_RESET_BOOTLOADER},
        {{"--late-ack", "1:600001"}, 2, false, AFTER_RESET_BOOTLOADER},
        {{"--after-reset", "app"}, SIM_OPTIONS_OK, true, AFTER_RESET_APPLICATION},
        {{"--after-reset", "bootloader"}, SIM_OPTIONS_OK, true, AFTER_RESET_BOOTLOADER},
        {{"--after-reset", "application"}, 2, false, AFTER_RESET_BOOTLOADER},
        {{"--control", "slot.ctl"}, SIM_OPTIONS_OK, true, AFTER_RESET_BOOTLOADER},
        {{"--flash-kib", "2048"}, SIM_OPTIONS_OK, false, AFTER_RESET_BOOTLOADER}, // parts up to 2 MiB
        {{"--flash-kib", "2049"}, 2, false, AFTER_RESET_BOOTLOADER},
    };
    for (const auto &c : cases) {
        std::vector<const char *> argv = {"kep-sim"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        sim_options options;
        testing::internal::CaptureStderr();
        int status = parse_sim_options((int)argv.size(), argv.data(), &options);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, c.status) << c.args[0] << " " << c.args[1];
        if (status == SIM_OPTIONS_OK) {
            EXPECT_EQ(options.serve_forever, c.serve_forever) << c.args[0] << " " << c.args[1];
            EXPECT_EQ(options.after_reset, c.after_reset) << c.args[0] << " " << c.args[1];
        }
    }
}

TEST(sim_options_test, control_lines_place_and_remove_boards)
{
    sim_options command_line{};
    command_line.faults.drop_ack = 3;
    command_line.flash_ms = 9;
    struct {
        const char *line;
        control_kind kind;
        int32_t drop_ack, exception, flash_ms; // of the board an insert places
        after_reset_mode after_reset;
    } cases[] = {
        {"", CONTROL_NONE, 0, 0, 0, AFTER_RESET_BOOTLOADER},
        {"  # a comment", CONTROL_NONE, 0, 0, 0, AFTER_RESET_BOOTLOADER},
        {"insert", CONTROL_INSERT, 3, 0, 9, AFTER_RESET_BOOTLOADER},
        {" insert \t", CONTROL_INSERT, 3, 0, 9, AFTER_RESET_BOOTLOADER},
        {"insert --exception 5 --after-reset app", CONTROL_INSERT, 0, 5, 0,
         AFTER_RESET_APPLICATION},
        {"insert --exception 0", CONTROL_BAD, 0, 0, 0, AFTER_RESET_BOOTLOADER},
        {"insert --help", CONTROL_BAD, 0, 0, 0, AFTER_RESET_BOOTLOADER},
        {"remove", CONTROL_REMOVE, 0, 0, 0, AFTER_RESET_BOOTLOADER},
        {"remove now", CONTROL_BAD, 0, 0, 0, AFTER_RESET_BOOTLOADER},
        {"inserted", CONTROL_BAD, 0, 0, 0, AFTER_RESET_BOOTLOADER},
    };
    for (const auto &c : cases) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        control_command command = parse_control_line(c.line, command_line);
        testing::internal::GetCapturedStderr();
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(command.kind, c.kind) << c.line;
        if (command.kind == CONTROL_INSERT) {
            EXPECT_EQ(command.board.faults.drop_ack, c.drop_ack) << c.line;
            EXPECT_EQ(command.board.faults.exception, c.exception) << c.line;
            EXPECT_EQ(command.board.flash_ms, c.flash_ms) << c.line;
            EXPECT_EQ(command.board.after_reset, c.after_reset) << c.line;
        }
    }
}

// A test appends to the file while kep-sim reads it: a line counts once it is
// whole, and a file written anew is read from its start.
TEST(sim_options_test, control_file_lines_are_taken_whole_and_once)
{
    control_file control{testing::TempDir() + "control-" + std::to_string(getpid()), 0, ""};
    auto open_files = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator());
    };
    auto open_before = open_files();
    struct {
        const char *mode, *text; // appended ("a") or written anew ("w")
        std::vector<std::string> taken;
    } steps[] = {
        {"", "", {}}, // no file yet
        {"a", "remove\nins", {"remove"}},
        {"a", "ert\n\ninsert --silent\n", {"insert", "", "insert --silent"}},
        {"a", "ins", {}},
        {"w", "remove\n", {"remove"}}, // the "ins" before is gone with the old file
    };
    for (const auto &step : steps) {
        if (*step.mode) {
            FILE *file = fopen(control.path.c_str(), step.mode);
            fputs(step.text, file);
            fclose(file);
        }
        std::vector<std::string> taken;
        control_file_take_lines(&control, &taken);
        EXPECT_EQ(taken, step.taken) << step.text;
    }
    EXPECT_EQ(open_files(), open_before);
    unlink(control.path.c_str());
}
