// How port_read frames replies: the 100 ms total, the 20 ms gap between bytes,
// and the count asked for. Bounds on durations are generous on purpose: they
// tell a read that ended on the gap from one that ended on the total.
#include "pty_pair.h"
#include "serial/serial_port.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <thread>

namespace
{

class port_read_test : public open_port_test
{
  protected:
    // Reads once with a full-sized buffer and reports how long it took.
    std::vector<uint8_t> timed_read(double *took_ms, int count = 1040)
    {
        std::vector<uint8_t> buffer((size_t)count);
        double start = now_ms();
        int got = port_read(handle, buffer.data(), count);
        *took_ms = now_ms() - start;
        buffer.resize(got > 0 ? (size_t)got : 0);
        return buffer;
    }
};

std::vector<uint8_t> counting_bytes(size_t count, uint8_t first = 0)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; i++)
        bytes[i] = (uint8_t)(first + i);
    return bytes;
}

TEST_F(port_read_test, nothing_arriving_returns_zero_after_the_total_timeout)
{
    double took = 0;
    EXPECT_TRUE(timed_read(&took).empty());
    printf("empty read took %.1f ms\n", took);
    EXPECT_GE(took, 90.0);
    EXPECT_LE(took, 250.0);
}

TEST_F(port_read_test, a_burst_is_one_read_ended_by_the_gap)
{
    std::vector<uint8_t> burst = counting_bytes(1035, 7);
    std::thread sender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        pty_send(&pty, burst);
    });
    double took = 0;
    std::vector<uint8_t> got = timed_read(&took);
    sender.join();
    printf("burst read took %.1f ms (first byte after about 10 ms)\n", took);
    EXPECT_EQ(got, burst);
    // 10 ms before the burst plus the 20 ms gap after it: well short of the total.
    EXPECT_GE(took, 25.0);
    EXPECT_LT(took, 90.0);
}

TEST_F(port_read_test, two_pieces_fifty_ms_apart_are_two_reads)
{
    std::vector<uint8_t> first = counting_bytes(11, 0x10);
    std::vector<uint8_t> second = counting_bytes(11, 0x80);
    std::thread sender([&] {
        pty_send(&pty, first);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pty_send(&pty, second);
    });
    double took = 0;
    EXPECT_EQ(timed_read(&took), first);
    EXPECT_EQ(timed_read(&took), second);
    sender.join();
}

TEST_F(port_read_test, bytes_waiting_before_the_read_are_returned_by_it)
{
    std::vector<uint8_t> reply = counting_bytes(15, 0x40);
    ASSERT_TRUE(pty_send(&pty, reply));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    double took = 0;
    EXPECT_EQ(timed_read(&took), reply);
    EXPECT_LT(took, 90.0);
}

TEST_F(port_read_test, more_than_count_waiting_gives_count_then_the_rest)
{
    std::vector<uint8_t> waiting = counting_bytes(30, 1);
    ASSERT_TRUE(pty_send(&pty, waiting));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    double took = 0;
    std::vector<uint8_t> head = timed_read(&took, 10);
    EXPECT_EQ(head, std::vector<uint8_t>(waiting.begin(), waiting.begin() + 10));
    // A full buffer ends the read without waiting for a gap.
    EXPECT_LT(took, 15.0);
    EXPECT_EQ(timed_read(&took), std::vector<uint8_t>(waiting.begin() + 10, waiting.end()));
}

TEST_F(port_read_test, a_stream_without_gaps_is_cut_at_the_total)
{
    // One byte every 5 ms for 300 ms: never a 20 ms gap.
    std::thread sender([&] {
        for (int i = 0; i < 60; i++) {
            pty_send(&pty, {(uint8_t)i});
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    double took = 0;
    std::vector<uint8_t> got = timed_read(&took);
    sender.join();
    printf("streamed read took %.1f ms for %zu bytes\n", took, got.size());
    EXPECT_GE(took, 90.0);
    EXPECT_LE(took, 250.0);
    EXPECT_GT(got.size(), 5u);
    EXPECT_LT(got.size(), 60u);
}

TEST_F(port_read_test, every_byte_value_passes_unchanged_both_ways)
{
    std::vector<uint8_t> all = counting_bytes(256);
    ASSERT_TRUE(pty_send(&pty, all));
    double took = 0;
    EXPECT_EQ(timed_read(&took), all);

    EXPECT_EQ(port_write(handle, all.data(), (int)all.size()), 256);
    EXPECT_EQ(pty_receive(&pty, 256, 1000), all);
}

TEST_F(port_read_test, purge_discards_bytes_waiting)
{
    ASSERT_TRUE(pty_send(&pty, counting_bytes(20)));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    port_purge(handle);
    double took = 0;
    EXPECT_TRUE(timed_read(&took).empty());
}

} // namespace
