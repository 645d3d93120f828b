// kep-update against kep-sim over a pseudo-terminal, as a user runs it.
#include "rig.h"
#include "serial/serial_port.h"
#include "sha256.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

using testing::HasSubstr;
using testing::Not;

namespace
{

using KepUpdate = rig;

// The SHA-256 of a file padded with zeros to whole blocks.
std::string padded_sha256(const std::string &path)
{
    std::string padded = text_of(path);
    padded.resize((padded.size() + 1023) / 1024 * 1024, '\0');
    char digest[SHA256_HEX_SIZE];
    sha256_hex((const uint8_t *)padded.data(), padded.size(), digest);
    return digest;
}

// One whole run per target, all at once: the exit status, what the trace and
// then the messages say, and, where the run claims success, that the flash holds the image.
TEST_F(KepUpdate, EveryFaultEndsWithItsStatusAndNeverAFalseSuccess)
{
    ASSERT_TRUE(sh("arm-none-eabi-objcopy -I binary -O ihex --change-addresses 0x08000800 "
                   "small.bin app.hex"));
    struct fault_case {
        std::vector<std::string> sim; // kep-sim's switches
        const char *timeout;
        int status;
        std::vector<std::string> expected; // in the trace, then in the messages, in this order
        const char *image = "app.hex";
        bool gaps_kept = false; // no request sooner than 1.75 ms after a reply, in kep-sim's log
    };
    std::ofstream(dir + "/big.bin") << std::string(130 * 1024, 'b'); // kep-sim's flash takes 126 KiB
    std::string blank = text_of(small_image); // block 2 erased: refusing it changes no byte
    std::fill_n(blank.begin() + 1024, 1024, '\xff');
    std::ofstream(dir + "/blank.bin", std::ios::binary) << blank;
    // clang-format off
    const std::vector<fault_case> cases = {
        {{}, "5", 0, {"\nFlash Image Base 0x8000800\n", "Flash Image Size 0xc00 bytes\n",
          " . Opening serial port " + dir + "/rig/fault0 at 115200 baud\n", "CONTACTING...\n",
          "REMOTE DEVICE LINK ESTABLISHED\n", "PROG ADDR 0x8000800, LEN 0x400, FROM 0... - SENT - - OK\n",
          "PROG ADDR 0x8001000, LEN 0x400, FROM 0x800... - SENT - - OK\n",
          "Verifying address 0x8000800, image size 0xc00 bytes\n", "CRCs match\n", "Resetting target\n",
          "frame length    5 bytes received & OK\n", "Contacting Device...\n", "Establishing Link...\n",
          "programming 0x8000800\n", "Verifying...\n", "Program Verified OK\n", "Programming Completed OK\n"},
         "app.hex", true},
        // Replies late at random and handed over in a USB adapter's chunks.
        {{"--reply-jitter-ms", "16", "--jitter-seed", "26", "--chunk-ms", "16"}, "5", 0, {}, "app.hex", true},
        {{"--drop-ack", "2"}, "5", 0, {"FROM 0x400... - SENT - TIMEOUT\nPROG ADDR 0x8000c00"}},
        {{"--late-ack", "2:700"}, "5", 0, {}},
        {{"--split-ack", "2:40"}, "5", 0, {}}, // a gap ends a frame: its block is sent again
        {{"--split-ack", "2:1"}, "5", 0, {"FROM 0... - SENT - - OK\nPROG ADDR 0x8000c00, LEN 0x400, "
          "FROM 0x400... - SENT - - OK\n"}}, // 1 ms: one frame
        {{"--duplicate-ack", "1"}, "5", 0, {}},
        {{"--corrupt-ack", "3"}, "5", 0, {}},
        {{"--flash-ms", "700"}, "5", 0, {"- SENT - TIMEOUT\n", "CRCs match\n"}}, // every ack after the re-send
        {{"--restart-on-reset"}, "5", 0, {"CRCs match\n", "did not confirm its reset; power-cycle"}},
        {{"--exception", "2"}, "5", 1, {"CRC FAIL\n", "FAILED: the target's CRC of the written range "
          "differs from the image; the target refused block 2 (exception 0x02)"}},
        {{"--exception", "2"}, "5", 0, {"CRCs match\n", "kep-update: warning: the target refused "
          "block 2 (exception 0x02); its flash matches the image\n"}, "blank.bin"},
        {{"--wrong-verify"}, "5", 1, {"CRC FAIL\n", "FAILED"}},
        {{"--baud", "0"}, "5", 1, {"VERIFY REFUSED, exception 0x02\n", "refused to verify (exception "
          "0x02); the image may be larger than the target's flash; the target refused blocks 127-130 "
          "(exception 0x02)"}, "big.bin"},
        // Not the verify reply: never compared, the request goes again.
        {{"--short-verify"}, "2", 4, {"frame length   13 bytes sent\nVerifying address",
          "no valid reply for 2 s while verifying"}},
        {{"--silent"}, "1", 4, {"timed out: no valid reply for 1 s while contacting the target; check the cable"}},
        {{"--hangup-after", "1"}, "5", 4, {"the port stopped working (Input/output error) while "
          "writing block 2 of 3 (1024 of 3072 bytes acknowledged)"}},
        {{"--stop-reading-after", "1"}, "2", 4, {"the target stopped taking data (the line takes no "
          "more, and no valid reply for 2 s) while writing block 2 of 3 (1024 of 3072 bytes "
          "acknowledged); the target holds an incomplete image: run the update again"}},
        // With no time-out only an interrupt ends it: the last row, below.
        {{"--stop-reading-after", "1"}, "0", 130, {"interrupted while writing block 2 of 3", "run the update again"}},
    };
    // clang-format on
    // Every target is up before the first tool starts, so that the tools run side by side and the
    // check below sees the verify's short window however slow the machine.
    std::vector<std::string> links;
    for (size_t i = 0; i < cases.size(); i++)
        links.push_back(start_sim("fault" + std::to_string(i), cases[i].sim));
    std::vector<child> tools(cases.size());
    for (size_t i = 0; i < cases.size(); i++)
        start_tool(&tools[i], {"--port", links[i], "--image", dir + "/" + cases[i].image, "--timeout",
                               cases[i].timeout});
    // The trace is on the disk as it goes: the verify's request while its reply is awaited (2 s of short replies).
    const child &verifying = tools[std::ranges::find(cases, std::vector<std::string>{"--short-verify"},
                                                     &fault_case::sim) -
                                   cases.begin()];
    EXPECT_TRUE(wait_until(
        [&] {
            std::string out = text_of(verifying.out_path); // its first request, ended, not yet its second
            size_t first = out.find("Verifying address");
            return first != std::string::npos && out.find("Verifying address", first + 1) == std::string::npos &&
                   out.ends_with("bytes sent\n");
        }));
    clock_point deadline = in_ms(8000); // the longest time-out plus a few seconds
    // Its write of block 2 has blocked once its trace line stays ended before "SENT".
    std::string seen;
    ASSERT_TRUE(wait_until([&] {
        std::string now = text_of(tools.back().out_path);
        return std::exchange(seen, now) == now && now.ends_with("FROM 0x400...");
    }));
    kill(tools.back().pid, SIGHUP); // its terminal closed
    child_run interrupted = child_finish(&tools.back(), in_ms(1000));
    EXPECT_TRUE(interrupted.out.ends_with("\n")) << "the last trace line is ended";
    port_handle again = port_open((dir + "/rig/fault" + std::to_string(cases.size() - 1)).c_str());
    EXPECT_NE(again, INVALID_PORT_HANDLE) << "the interrupted run released its port";
    port_close(again);
    std::vector<child_run> runs;
    for (size_t i = 0; i < cases.size(); i++) {
        const child_run &run = runs.emplace_back(
            i + 1 < cases.size() ? child_finish(&tools[i], deadline) : interrupted);
        SCOPED_TRACE(i);
        EXPECT_EQ(run.status, cases[i].status) << run.err;
        expect_in_order(run.out + run.err, cases[i].expected);
        if (run.status == 0) {
            EXPECT_EQ(child_finish(&sims[i], in_ms(2000)).status, 0) << "kep-sim, after the reset";
            EXPECT_TRUE(flash_holds("fault" + std::to_string(i),
                                    cases[i].image == std::string("app.hex") ? small_image
                                                                             : dir + "/" + cases[i].image))
                << "false success";
        } else {
            EXPECT_THAT(run.out, Not(HasSubstr("CRCs match")));
        }
        if (cases[i].gaps_kept) {
            std::string log = text_of(dir + "/fault" + std::to_string(i) + ".err");
            EXPECT_THAT(log, HasSubstr(" ms from the last reply to this request"));
            EXPECT_THAT(log, Not(HasSubstr("shorter than 1.75 ms")));
            EXPECT_EQ(log.find("bytes reach the tool every 16 ms\n") != std::string::npos, i > 0);
        }
    }
    // --describe shows what the clean run wrote, without a port.
    child_run described = run_tool({"--describe", "--image", dir + "/app.hex"});
    EXPECT_EQ(described.status, 0) << described.err;
    std::smatch crc;
    ASSERT_TRUE(std::regex_search(runs[0].out, crc, std::regex("Local  CRC (0x[0-9a-f]+)")));
    expect_in_order(described.out,
                    {"Image        " + dir + "/app.hex\n", "Format       Intel HEX\n",
                     "Data         0x08000800..0x080013B7\n",
                     "Data size    3000 bytes from 0x08000800\n", "Padded size  3072 bytes\n", "Blocks       3 of 1024 bytes\n",
                     "Local  CRC   " + crc[1].str() + "\n",
                     "SHA-256      " + padded_sha256(small_image) + "\n"});
    // The target that stopped reading filled the line to stop the tool's writes.
    EXPECT_THAT(text_of(dir + "/fault" + std::to_string(cases.size() - 1) + ".err"),
                testing::ContainsRegex("reading stopped; [1-9][0-9]* bytes of filler fill the line"));
    // A flash dump that kep-sim cannot write ends it with status 1.
    std::filesystem::create_directory(dir + "/nodump.flash");
    EXPECT_EQ(run_tool({"--port", start_sim("nodump"), "--image", small_image}).status, 0);
    EXPECT_EQ(child_finish(&sims.back(), in_ms(5000)).status, 1);
}

// Each refused with its status and message before an image is read or a port opened.
TEST_F(KepUpdate, BadOptionsImagesAndPortsAreRefusedWithTheCause)
{
    const std::string port = dir + "/never-opened", ram = dir + "/ram.hex";
    std::ofstream(ram) << ":020000042000DA\n:01000000AA55\n:00000001FF\n";
    std::ofstream(dir + "/huge.bin").close();
    std::filesystem::resize_file(dir + "/huge.bin", 257u << 20); // sparse: nothing written
    std::string held = start_sim("held");
    port_handle holder = port_open(held.c_str()); // this test process has it
    ASSERT_NE(holder, INVALID_PORT_HANDLE);
    // A device of group dialout that a user outside the group cannot open.
    std::string denied = std::filesystem::read_symlink(start_sim("denied"));
    ASSERT_EQ(chown(denied.c_str(), 0, 20), 0);
    ASSERT_EQ(chmod(denied.c_str(), 0660), 0);
    struct refusal {
        std::vector<std::string> args;
        int status;
        std::string why;
        std::vector<std::string> runner = {};
    };
    const std::string zeros(64, '0'), digest = padded_sha256(small_image),
                      serial = "--serial-number", file = "--serial-file", f = dir + "/next",
                      blank = dir + "/blank.bin"; // 4 bytes of 0xFF at 0x08000864
    std::ofstream(blank, std::ios::binary) << text_of(small_image).replace(100, 4, 4, '\xff');
    // Image errors word for word; for a port, the message's start. The usage
    // errors are cli_options_test's: one here shows the program ends on them.
    // clang-format off
    std::vector<refusal> cases = {
        {{"--port", port, "--bogus"}, 2, "unknown option \"--bogus\" (see --help)"},
        {{"--port", port, "--image", blank, serial, "0x08000864", file, f}, 2,
         "the serial number file " + f + " does not exist (--serial-start N makes it)"},
        {{"--port", port, "--image", small_image, serial, "0x0800F000", file, f}, 2,
         "the serial number's field 0x0800F000..0x0800F003 lies outside the image's data "
         "0x08000800..0x080013B7"},
        {{"--port", port, "--image", small_image, "--expect-sha256", zeros}, 2, "image " + small_image +
         " has SHA-256 " + digest + ", not the expected " + zeros + "; it is not written"},
        {{"--port", port, "--report", dir + "/no/r.jsonl"}, 2,
         "cannot open the report " + dir + "/no/r.jsonl for appending: No such file or directory"},
        {{"--port", dir + "/no-such-port"}, 3, "port " + dir + "/no-such-port: it is not present; check the cable"},
        {{"--port", small_image}, 3, "port " + small_image + ": it is not a serial port"},
        {{"--port", held}, 3, "port " + held + ": it is in use by another program (kep_update_test (process " +
         std::to_string(getpid())},
        {{"--port", denied}, 3, "port " + denied + ": permission denied; the device belongs to group dialout",
         {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}}};
    // clang-format on
    for (const auto &[path, why] : std::vector<std::pair<std::string, std::string>>{
             {dir + "/absent.bin", "cannot open image " + dir + "/absent.bin: No such file or directory"},
             {ram, ram + ": line 2: data at 0x20000000..0x20000000 reaches 0x08200000 or above, outside "
              "any KEP flash (RAM or option bytes?); export the flash sections only"},
             {dir, "image " + dir + " is not a regular file but a directory"},
             {dir + "/huge.bin", "image " + dir + "/huge.bin is larger than 256 MiB, more than any "
              "firmware file"}, // refused from its size
             {"/dev/zero", "image /dev/zero is not a regular file"}}) {
        cases.push_back({{"--port", port, "--image", path}, 2, why});
        cases.push_back({{"--describe", "--image", path}, 2, why});
    }
    for (const auto &c : cases) {
        child_run run = run_tool(c.args, c.runner);
        EXPECT_EQ(run.status, c.status) << testing::PrintToString(c.args);
        if (c.status == 2)
            EXPECT_EQ(run.err, "kep-update: " + c.why + "\n");
        else
            EXPECT_THAT(run.err, HasSubstr("kep-update: cannot open " + c.why));
        EXPECT_THAT(run.out, Not(HasSubstr(c.status == 2 ? "Opening serial port" : "CONTACTING")));
    }
    port_close(holder);
    child_run listed = run_tool({"--list-ports"}); // what this machine has: a line each, or why none
    EXPECT_EQ(listed.status, 0);
    EXPECT_THAT(listed.out + listed.err,
                testing::MatchesRegex("(/dev/[^\n]+\n)+|kep-update: no serial ports found\n"));
    child_run help = run_tool({"--help"}); // the help alone: nothing runs after it
    EXPECT_EQ(help.status, 0);
    EXPECT_THAT(help.out, testing::AllOf(HasSubstr("Exit status:"), Not(HasSubstr("Flash Image"))));
}

// Left alone as a station is: started with its output closed or cut short,
// its report's disk full. Every update completes where the target allows, and
// every record is whole.
TEST_F(KepUpdate, ClosedOrCutOutputsAndAFullDiskCostNoBoardAndNoWholeRecord)
{
    const std::string report = dir + "/report.jsonl", earlier = "{\"earlier\":1}\n";
    std::ofstream(report) << earlier; // a record of an earlier run, kept whole
    // A shell line that runs kep-update as "$@", its status, its standard error's lines in order.
    // clang-format off
    const std::tuple<std::string, int, std::vector<std::string>> cases[] = {
        {"\"$@\" | head -n 1 >/dev/null; exit ${PIPESTATUS[0]}", 0,
         {"standard output cannot be written (Broken pipe); its text is dropped from here on",
          "Programming Completed OK"}}, // standard error goes on
        // Room in the report for one more record, not for two (SIZE: its size now); the
        // rows after it append to the report again.
        {"prlimit --fsize=$((SIZE + 800)) \"$@\" --quiet --port " + dir + "/rig/full1 >/dev/null",
         5, {"its record could not be written to the report (File too large); the report holds every record"}},
        {"exec \"$@\" >&-", 0, {"Programming Completed OK"}},
        {"exec \"$@\" 2>&-", 0, {}},
    };
    // clang-format on
    int i = 0;
    for (const auto &[line, status, err] : cases) {
        SCOPED_TRACE(line);
        std::string name = "s" + std::to_string(i++),
                    shell = "SIZE=$(stat -c %s " + report + "); " + line;
        if (line.find("full1") != std::string::npos)
            start_sim("full1");
        child_run run =
            run_tool({"--port", start_sim(name), "--image", small_image, "--report", report},
                     {"/bin/bash", "-c", shell, "bash"});
        EXPECT_EQ(run.status, status) << run.err;
        expect_in_order(run.err, err);
        EXPECT_TRUE(flash_holds(name, small_image));
    }
    EXPECT_TRUE(flash_holds("full1", small_image)) << "written, though not recorded";
    ASSERT_TRUE(sh("python3 -c \"import json,sys; r=[json.loads(l) for l in open('report.jsonl')]; "
                   "sys.exit(len(r) != 5 or [x.get('outcome') for x in r[1:]] != ['updated'] * 4)\""))
        << text_of(report);
}

} // namespace
