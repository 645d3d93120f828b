// How port_read frames replies: the 100 ms total, the 20 ms gap between bytes,
// and the count asked for. Bounds on durations are generous on purpose: they
// tell a read that ended on the gap from one that ended on the total.
#include "pty_pair.h"

#include <cstdio>
#include <thread>

namespace
{

using port_read_test = open_port_test;

std::vector<uint8_t> counting_bytes(size_t count, uint8_t first = 0)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; i++)
        bytes[i] = (uint8_t)(first + i);
    return bytes;
}

TEST_F(port_read_test, reads_end_on_the_total_the_gap_or_the_count)
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
        {"two pieces 50 ms apart",
         {{0, counting_bytes(11, 0x10)}, {50, counting_bytes(11, 0x80)}},
         false,
         1040,
         {11, 11},
         15,
         90},
        {"waiting before the read", {{-1, counting_bytes(15, 0x40)}}, false, 1040, {15}, 0, 90},
        {"more than count waiting", {{-1, counting_bytes(30, 1)}}, false, 10, {10, 10, 10}, 0, 15},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> sent;
        for (const auto &p : c.pieces) {
            sent.insert(sent.end(), p.bytes.begin(), p.bytes.end());
            ASSERT_TRUE(p.pause_ms >= 0 || pty_send(&pty, p.bytes));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10)); // the waiting bytes arrive
        if (c.purge)
            port_purge(handle);
        std::thread sender([&] {
            for (const auto &p : c.pieces) {
                std::this_thread::sleep_for(std::chrono::milliseconds(p.pause_ms));
                if (p.pause_ms >= 0)
                    pty_send(&pty, p.bytes);
            }
        });
        std::vector<uint8_t> got;
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
    }
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

} // namespace
