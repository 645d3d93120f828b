// Whole updates: the engine, stepped every 10 ms as the window timer would,
// against a kep-sim process over a pseudo-terminal paced at 115200 baud,
// through the real POSIX serial layer.
#include "firmware_image.h"
#include "link_state_machine.h"
#include "open_serial_port.h"
#include "os_services.h"
#include "reporting.h"
#include "serial/serial_port.h"
#include "sim_process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace
{

#define STEP_INTERVAL_MS 10u
#define UPDATE_LIMIT_MS 30000u
#define SIM_START_LIMIT_MS 5000
#define SIM_EXIT_LIMIT_MS 5000

struct update_result {
    int32_t final_state = -1;
    std::string trace;
    std::vector<std::string> status;
    bool port_failed = false;
    long error_code = 0;
    uint32_t took_ms = 0;
};

void add_trace(void *context, const char *text, int length)
{
    static_cast<update_result *>(context)->trace.append(text, (size_t)length);
}
void flush_nothing(void *) {}
void add_status(void *context, const char *text)
{
    static_cast<update_result *>(context)->status.push_back(text);
}

std::vector<uint8_t> test_image(size_t size)
{
    std::vector<uint8_t> image(size);
    uint32_t state = 0x2545F491;
    for (uint8_t &byte : image) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = (uint8_t)state;
    }
    return image;
}

std::vector<uint8_t> padded(const std::vector<uint8_t> &image)
{
    std::vector<uint8_t> bytes = image;
    bytes.resize((size_t)padded_image_size((int32_t)image.size()), 0);
    return bytes;
}

bool sleep_until_tick(uint32_t tick)
{
    int32_t left = (int32_t)(tick - tick_count_ms());
    if (left > 0)
        sleep_ms((uint32_t)left);
    return true;
}

// Steps the engine until it is done, has failed, the port has failed (when
// `stop_on_port_failure`), or the limit has passed.
update_result run_update(const std::string &port_name, const std::vector<uint8_t> &image,
                         bool stop_on_port_failure = false)
{
    update_result result;
    report_sink sink{&result, add_trace, flush_nothing, add_status};
    report_route(&sink);
    update_link link{};
    link.port_name = port_name.c_str();
    link.handle = INVALID_PORT_HANDLE;
    link.baud = 115200;
    link.unit_address = UNIT_ADDRESS;
    link.capacity = MODBUS_FRAME_LENGTH_MAX;
    link.frame = (uint8_t *)malloc(MODBUS_FRAME_LENGTH_MAX);
    if (link.frame && set_firmware_image(&link, image.data(), (int32_t)image.size()) &&
        try_open_serial_port(&link)) {
        uint32_t started = tick_count_ms();
        while (link.state != STATE_DONE && link.state != STATE_FAILED &&
               tick_count_ms() - started < UPDATE_LIMIT_MS) {
            uint32_t step_started = tick_count_ms();
            link_step(&link);
            if (stop_on_port_failure && port_failed(link.handle, &result.error_code)) {
                result.port_failed = true;
                break;
            }
            sleep_until_tick(step_started + STEP_INTERVAL_MS);
        }
        result.took_ms = tick_count_ms() - started;
        result.final_state = link.state;
        port_close(link.handle);
    }
    report_route(nullptr);
    free(link.frame);
    free(link.image);
    return result;
}

class whole_update_test : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        dir = make_temp_dir();
        ASSERT_FALSE(dir.empty());
        link_path = dir + "/ttyKEP";
        dump_path = dir + "/flash.bin";
    }
    void TearDown() override
    {
        if (sim.pid > 0)
            sim_wait(&sim, 0);
        remove_temp_dir(dir);
    }
    void start_sim(std::vector<std::string> faults)
    {
        std::vector<std::string> arguments = {"--link", link_path, "--dump", dump_path};
        arguments.insert(arguments.end(), faults.begin(), faults.end());
        ASSERT_TRUE(sim_start(&sim, arguments, SIM_START_LIMIT_MS)) << sim.ready_line;
        EXPECT_EQ(sim.ready_line, "kep-sim: ready on " + link_path + "\n");
    }
    bool link_exists() const
    {
        struct stat info {
        };
        return lstat(link_path.c_str(), &info) == 0;
    }
    void expect_done_with_flash(const update_result &result, const std::vector<uint8_t> &image)
    {
        EXPECT_EQ(result.final_state, STATE_DONE) << result.trace;
        EXPECT_EQ(sim_wait(&sim, SIM_EXIT_LIMIT_MS), 0);
        EXPECT_EQ(read_file_bytes(dump_path), padded(image));
        EXPECT_FALSE(link_exists());
        size_t resends = 0;
        for (size_t at = 0; (at = result.trace.find("TIMEOUT\n", at)) != std::string::npos; at++)
            resends++;
        printf("update of %zu bytes took %u ms, %zu block resends\n", image.size(),
               (unsigned)result.took_ms, resends);
    }
    // A failed update leaves the target waiting; it must end cleanly on SIGTERM.
    void expect_failed_and_stop_sim(const update_result &result)
    {
        EXPECT_EQ(result.final_state, STATE_FAILED) << result.trace;
        EXPECT_NE(result.trace.find("CRC FAIL\n"), std::string::npos);
        EXPECT_EQ(
            std::count(result.status.begin(), result.status.end(), "Programming Completed OK"), 0);
        kill(sim.pid, SIGTERM);
        EXPECT_EQ(sim_wait(&sim, SIM_EXIT_LIMIT_MS), 0);
        EXPECT_FALSE(link_exists());
    }
    sim_process sim;
    std::string dir, link_path, dump_path;
};

TEST_F(whole_update_test, the_shipped_image_is_written_verified_and_the_target_reset)
{
    std::vector<uint8_t> image = read_file_bytes(FIRMWARE_BIN);
    ASSERT_FALSE(image.empty());
    start_sim({});
    update_result result = run_update(link_path, image);
    expect_done_with_flash(result, image);
    EXPECT_NE(result.trace.find("REMOTE DEVICE LINK ESTABLISHED\n"), std::string::npos);
    EXPECT_NE(result.trace.find("CRCs match\n"), std::string::npos);
}

TEST_F(whole_update_test, a_dropped_ack_is_recovered_by_the_resend)
{
    std::vector<uint8_t> image = test_image(3000);
    start_sim({"--drop-ack", "2"});
    update_result result = run_update(link_path, image);
    expect_done_with_flash(result, image);
    EXPECT_NE(result.trace.find("TIMEOUT\n"), std::string::npos);
}

TEST_F(whole_update_test, an_exception_instead_of_an_ack_ends_in_failure)
{
    start_sim({"--exception", "2"});
    expect_failed_and_stop_sim(run_update(link_path, test_image(3000)));
}

TEST_F(whole_update_test, a_wrong_verify_crc_ends_in_failure)
{
    start_sim({"--wrong-verify"});
    expect_failed_and_stop_sim(run_update(link_path, test_image(3000)));
}

TEST_F(whole_update_test, an_unplugged_target_is_seen_as_a_failed_port)
{
    start_sim({"--hangup-after", "2"});
    update_result result = run_update(link_path, test_image(5000), true);
    EXPECT_TRUE(result.port_failed);
    EXPECT_EQ(result.error_code, EIO);
    EXPECT_EQ(result.final_state, STATE_PROGRAM);
    EXPECT_EQ(sim_wait(&sim, SIM_EXIT_LIMIT_MS), 0);
    EXPECT_FALSE(link_exists());
}

} // namespace
