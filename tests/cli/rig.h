// kep-update and kep-sim run as child processes, as a user or a production
// line runs them, in a fresh folder per test.
#pragma once

#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/types.h>
#include <vector>

using clock_point = std::chrono::steady_clock::time_point;
inline clock_point in_ms(int ms)
{
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

struct child {
    pid_t pid = -1;
    std::string out_path, err_path; // its standard output and error
};

struct child_run {
    int status = -1; // exit status, or -1 when it had to be killed
    std::string out, err;
};

// Starts `program` (after `runner`, such as setpriv, when given) with its output in
// `stem`.out and `stem`.err, or both on `terminal` when that is not -1, in a
// process group of its own that ends with this process.
bool child_start(child *c, const std::string &program, const std::vector<std::string> &arguments,
                 const std::string &stem, const std::vector<std::string> &runner = {},
                 int terminal = -1);

// Waits until `deadline` for it to end (then kills its process group) and
// collects its output.
child_run child_finish(child *c, clock_point deadline);

std::string text_of(const std::string &path);
// Both poll every 20 ms.
bool wait_until(const std::function<bool()> &done, int limit_ms = 10000);
bool wait_for(const std::string &path, const std::string &text, int limit_ms = 10000);

class rig : public testing::Test
{
  protected:
    void SetUp() override;
    void TearDown() override;

    // Starts kep-sim on the link rig/`name`; its flash goes to `name`.flash, its
    // log to `name`.err. Returns the link.
    std::string start_sim(const std::string &name, const std::vector<std::string> &options = {});
    // kep-sim as a fixture on link rig/`name`: its board comes and goes by the
    // lines of `name`.ctl, the first one `first`; command() appends lines.
    std::string fixture(const std::string &name, const std::string &first,
                        std::vector<std::string> options = {});
    void command(const std::string &name, const std::string &lines);
    bool start_tool(child *started, const std::vector<std::string> &arguments,
                    const std::vector<std::string> &runner = {}, int terminal = -1);
    child_run run_tool(const std::vector<std::string> &arguments,
                       const std::vector<std::string> &runner = {});
    bool sh(const std::string &command); // in `dir`, its output discarded
    // The target's flash begins with `image` padded with zeros to whole blocks.
    bool flash_holds(const std::string &name, const std::string &image);
    // The serial number in `name`'s flash, little-endian at 0x08000864.
    uint32_t number_in(const std::string &name);

    std::string dir, small_image; // 3000 bytes: three blocks, the last one short
    std::string numbered; // small_image with the blank field a serial number goes in, at 0x08000864
    std::vector<child> sims;
    child tool; // one left running by a failed check is ended
};

// Fails at the first of `lines` missing from `text` after the one before it.
void expect_in_order(const std::string &text, const std::vector<std::string> &lines);
