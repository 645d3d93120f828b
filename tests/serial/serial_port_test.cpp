// The POSIX serial module over a pseudo-terminal pair: the test plays the far
// end on the master side, the module opens the slave. How port_read frames
// replies: the 100 ms total, the 20 ms gap between bytes and the count asked
// for; bounds on durations are generous on purpose: they tell a read that
// ended on the gap from one that ended on the total. Open failures and their
// messages are kep-update's tests.
#include "monotonic_clock.h"
#include "serial/serial_port.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace
{

double now_ms() { return (double)monotonic_ns() / 1e6; }

std::vector<uint8_t> counting_bytes(size_t count, uint8_t first = 0)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; i++)
        bytes[i] = (uint8_t)(first + i);
    return bytes;
}

class serial_port_test : public testing::Test
{
  protected:
    void SetUp() override
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
        path = ptsname(master);
        handle = port_open(path.c_str());
        ASSERT_NE(handle, INVALID_PORT_HANDLE);
        ASSERT_EQ(configure_port(handle, 115200, 20), 0);
    }
    void TearDown() override
    {
        port_close(handle);
        hang_up();
    }
    void hang_up()
    {
        if (master >= 0)
            close(master);
        master = -1;
    }
    void send(const std::vector<uint8_t> &bytes)
    {
        EXPECT_EQ(write(master, bytes.data(), bytes.size()), (ssize_t)bytes.size());
    }
    int master = -1;
    std::string path;
    port_handle handle = INVALID_PORT_HANDLE;
};

TEST_F(serial_port_test, reads_end_on_the_total_the_gap_or_the_count)
{
    struct piece {
        int pause_ms; // before it is sent; -1: sent before the read starts
        std::vector<uint8_t> bytes;
    };
    struct {
        const char *name;
        std::vector<piece> pieces;
        bool purge; // before the first read
        int count;
        std::vector<size_t> reads; // the lengths of successive reads
        double min_ms, max_ms;     // of the first read
    } cases[] = {
        {"nothing: the total", {}, false, 1040, {0}, 90, 250},
        {"purged", {{-1, counting_bytes(20)}}, true, 1040, {0}, 90, 250},
        // 10 ms before the burst plus the 20 ms gap after it.
        {"a burst: the gap", {{10, counting_bytes(1035, 7)}}, false, 1040, {1035}, 25, 90},
        {"two pieces 50 ms apart", {{0, {1, 2}}, {50, {3, 4, 5}}}, false, 1040, {2, 3}, 15, 90},
        {"waiting before the read", {{-1, counting_bytes(15, 0x40)}}, false, 1040, {15}, 0, 90},
        {"more than count waiting", {{-1, counting_bytes(30, 1)}}, false, 10, {10, 10, 10}, 0, 90},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> sent, got;
        for (const auto &p : c.pieces) {
            sent.insert(sent.end(), p.bytes.begin(), p.bytes.end());
            if (p.pause_ms < 0)
                send(p.bytes);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10)); // the waiting bytes arrive
        if (c.purge)
            port_purge(handle);
        std::thread sender([&] {
            for (const auto &p : c.pieces) {
                std::this_thread::sleep_for(std::chrono::milliseconds(p.pause_ms));
                if (p.pause_ms >= 0)
                    send(p.bytes);
            }
        });
        for (size_t i = 0; i < c.reads.size(); i++) {
            std::vector<uint8_t> buffer((size_t)c.count);
            double start = now_ms();
            int n = port_read(handle, buffer.data(), c.count);
            double took = now_ms() - start;
            EXPECT_EQ((size_t)n, c.reads[i]);
            got.insert(got.end(), buffer.begin(), buffer.begin() + (n > 0 ? n : 0));
            if (i == 0) {
                printf("%s: the first read took %.1f ms\n", c.name, took);
                EXPECT_GE(took, c.min_ms);
                EXPECT_LT(took, c.max_ms);
            }
        }
        sender.join();
        EXPECT_EQ(got, c.purge ? std::vector<uint8_t>{} : sent);
        long code = 0;
        EXPECT_FALSE(port_failed(handle, &code)) << code; // a full buffer is no hang-up
    }
}

TEST_F(serial_port_test, a_stream_without_gaps_is_cut_at_the_total)
{
    // One byte every 5 ms for 300 ms: never a 20 ms gap.
    std::thread sender([&] {
        for (int i = 0; i < 60; i++) {
            send({(uint8_t)i});
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    uint8_t buffer[1040];
    double start = now_ms();
    int got = port_read(handle, buffer, sizeof buffer);
    double took = now_ms() - start;
    sender.join();
    printf("streamed read took %.1f ms for %d bytes\n", took, got);
    EXPECT_GE(took, 90.0);
    EXPECT_LE(took, 250.0);
    EXPECT_GT(got, 5);
    EXPECT_LT(got, 60);
}

TEST_F(serial_port_test, a_held_port_cannot_be_opened_again_until_it_is_closed)
{
    errno = 0;
    EXPECT_EQ(port_open(path.c_str()), INVALID_PORT_HANDLE);
    EXPECT_TRUE(errno == EWOULDBLOCK || errno == EBUSY) << "errno " << errno;
    port_close(handle);
    handle = port_open(path.c_str());
    EXPECT_NE(handle, INVALID_PORT_HANDLE);
}

TEST_F(serial_port_test, a_write_larger_than_the_queue_waits_for_room_and_hands_over_everything)
{
    std::vector<uint8_t> bytes(200000), received;
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = (uint8_t)(i * 7 + i / 251);
    std::thread reader([&] {
        uint8_t chunk[4096];
        for (double end = now_ms() + 10000; received.size() < bytes.size() && now_ms() < end;) {
            pollfd input{master, POLLIN, 0};
            ssize_t n = poll(&input, 1, 100) > 0 ? read(master, chunk, sizeof chunk) : 0;
            received.insert(received.end(), chunk, chunk + (n > 0 ? n : 0));
        }
    });
    EXPECT_EQ(port_write(handle, bytes.data(), (int)bytes.size()), (int)bytes.size());
    port_flush(handle);
    reader.join();
    EXPECT_EQ(received, bytes);
    long code = 0;
    EXPECT_FALSE(port_failed(handle, &code));
}

TEST_F(serial_port_test, a_hung_up_peer_waits_out_each_read_and_fails_writes)
{
    hang_up();
    uint8_t buffer[1040];
    for (int attempt = 0; attempt < 2; attempt++) {
        double start = now_ms();
        EXPECT_EQ(port_read(handle, buffer, sizeof buffer), 0);
        double took = now_ms() - start;
        printf("read after hang-up took %.1f ms\n", took);
        // Not at once: a caller's loop must not spin on a dead port.
        EXPECT_GE(took, 90.0);
        EXPECT_LE(took, 250.0);
    }
    long code = 0;
    ASSERT_TRUE(port_failed(handle, &code));
    EXPECT_EQ(code, EIO);
    EXPECT_LT(port_write(handle, buffer, 13), 13);
}

} // namespace
