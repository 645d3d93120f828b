// kep-sim's command line (K:MS switches, the part's size, the fixture) and the
// lines of its --control file.
#include "control_file.h"
#include "sim_options.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

const after_reset_mode boot = AFTER_RESET_BOOTLOADER, app = AFTER_RESET_APPLICATION;

TEST(sim_options_test, switches_are_taken_or_refused)
{
    // The switches, the parser's status and, when it takes them, how the board serves.
    const std::tuple<std::vector<const char *>, int, bool, after_reset_mode> cases[] = {
        {{"--late-ack", "2:700"}, SIM_OPTIONS_OK, false, boot}, {{"--split-ack", "2:0"}, SIM_OPTIONS_OK, false, boot},
        {{"--late-ack", "0:700"}, 2, false, boot}, {{"--late-ack", "1:-5"}, 2, false, boot},
        {{"--late-ack", "1,700"}, 2, false, boot}, {{"--late-ack", "1:"}, 2, false, boot},
        {{"--late-ack", "1:600001"}, 2, false, boot}, {{"--flash-kib", "2049"}, 2, false, boot},
        {{"--after-reset", "app"}, SIM_OPTIONS_OK, true, app},
        {{"--after-reset", "bootloader"}, SIM_OPTIONS_OK, true, boot},
        {{"--after-reset", "application"}, 2, false, boot},
        {{"--control", "slot.ctl"}, SIM_OPTIONS_OK, true, boot},
        {{"--flash-kib", "2048"}, SIM_OPTIONS_OK, false, boot}, // parts up to 2 MiB
        {{"--reply-jitter-ms", "0"}, SIM_OPTIONS_OK, false, boot}, {{"--chunk-ms", "0"}, SIM_OPTIONS_OK, false, boot}, {{"--reply-jitter-ms", "10000"}, SIM_OPTIONS_OK, false, boot},
        {{"--flash-kib", "2049"}, 2, false, boot},
        {{"--load", "/"}, 2, false, boot}, {{"--load", "/no/such/file"}, 2, false, boot}, // unreadable
        {{"--load", "/etc/passwd"}, SIM_OPTIONS_OK, false, boot},
        {{"--freeze-after", "1"}, SIM_OPTIONS_OK, false, boot}, {{"--freeze-after", "0"}, 2, false, boot},
        {{"--dump-on-remove", "b.flash"}, SIM_OPTIONS_OK, false, boot},
    };
    for (const auto &[args, expected, serve_forever, after_reset] : cases) {
        SCOPED_TRACE(std::string(args[0]) + " " + args[1]);
        std::vector<const char *> argv = {"kep-sim"};
        argv.insert(argv.end(), args.begin(), args.end());
        sim_options options;
        testing::internal::CaptureStderr();
        int status = parse_sim_options((int)argv.size(), argv.data(), &options);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, expected);
        if (args[0] == std::string("--load")) { // a refusal's cause, said once
            EXPECT_EQ(std::ranges::count(err, '\n'), status == SIM_OPTIONS_OK ? 0 : 1) << err;
        }
        if (status == SIM_OPTIONS_OK) {
            EXPECT_EQ(options.serve_forever, serve_forever);
            EXPECT_EQ(options.after_reset, after_reset);
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
        int32_t drop_ack = 0, exception = 0, flash_ms = 0; // of the board an insert places
        after_reset_mode after_reset = AFTER_RESET_BOOTLOADER;
        int32_t freeze_after = 0;
        std::string remove_dump = "";
    } cases[] = {
        {"", CONTROL_NONE}, {"  # a comment", CONTROL_NONE}, {"remove", CONTROL_REMOVE},
        {"insert", CONTROL_INSERT, 3, 0, 9}, {" insert \t", CONTROL_INSERT, 3, 0, 9},
        {"insert --exception 5 --after-reset app", CONTROL_INSERT, 0, 5, 0, app},
        {"insert --freeze-after 4 --dump-on-remove b7.flash", CONTROL_INSERT, 0, 0, 0, boot, 4, "b7.flash"},
        {"insert --exception 0", CONTROL_BAD}, {"insert --help", CONTROL_BAD},
        {"remove now", CONTROL_BAD}, {"inserted", CONTROL_BAD},
    };
    for (const auto &c : cases) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        control_command command = parse_control_line(c.line, command_line);
        testing::internal::GetCapturedStderr();
        testing::internal::GetCapturedStdout();
        SCOPED_TRACE(c.line);
        EXPECT_EQ(command.kind, c.kind);
        if (command.kind == CONTROL_INSERT) {
            EXPECT_EQ(command.board.faults.drop_ack, c.drop_ack);
            EXPECT_EQ(command.board.faults.exception, c.exception);
            EXPECT_EQ(command.board.flash_ms, c.flash_ms);
            EXPECT_EQ(command.board.after_reset, c.after_reset);
            EXPECT_EQ(command.board.faults.freeze_after, c.freeze_after);
            EXPECT_EQ(command.board.remove_dump_path, c.remove_dump);
        }
    }
}

// A test appends to the file while kep-sim reads it: a line counts once it is
// whole, and a file written anew is read from its start.
TEST(sim_options_test, control_file_lines_are_taken_whole_and_once)
{
    control_file control{testing::TempDir() + "control-" + std::to_string(getpid()), 0, ""};
    auto open_files = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    auto open_before = open_files();
    // Appended ("a") or written anew ("w"), the text, the lines then taken.
    const std::tuple<const char *, const char *, std::vector<std::string>> steps[] = {
        {"", "", {}}, // no file yet
        {"a", "remove\nins", {"remove"}},
        {"a", "ert\n\ninsert --silent\n", {"insert", "", "insert --silent"}},
        {"a", "ins", {}},
        {"a", "\n", {"ins"}}, // a line's last byte alone
        {"a", "x", {}},
        {"w", "remove\n", {"remove"}}, // the "x" before is gone with the old file
    };
    for (const auto &[mode, text, expected] : steps) {
        if (*mode) {
            FILE *file = fopen(control.path.c_str(), mode);
            fputs(text, file);
            fclose(file);
        }
        std::vector<std::string> taken;
        control_file_take_lines(&control, &taken);
        EXPECT_EQ(taken, expected) << text;
    }
    EXPECT_EQ(open_files(), open_before);
    unlink(control.path.c_str());
}
