// Cutting the byte stream into requests, by length and by silence, with the
// line's wire time taken into account.
#include "frame_assembler.h"
#include "frame_bytes.h"
#include "line_timing.h"

#include <gtest/gtest.h>

namespace
{

const std::vector<uint8_t> contact = with_crc({4, 0x2b, 0xf3, 8, 0, 8, 0, 0, 0, 0, 4});
const std::vector<uint8_t> reset = with_crc({4, 0x2b, 0xf4});

TEST(request_length_test, known_requests_by_their_layout_others_by_silence)
{
    // A request's start and its length; 0: too few bytes to tell; -1: only silence ends it.
    const std::pair<std::vector<uint8_t>, int32_t> cases[] = {
        {{4, 0x2B}, 0}, {{4, 0x2B, 0xF2, 8, 0, 8, 0, 4}, 0}, {{4, 0x2B, 0xF3}, 13},
        {{4, 0x2B, 0xF2, 8, 0, 8, 0, 4, 0}, 1035}, {{4, 0x2B, 0xF4}, 5},
        {{4, 0x03, 0xF2}, -1}, {{4, 0x2B, 0x0E}, -1},
        {{4, 0x2B, 0xF2, 8, 0, 8, 0, 4, 1}, -1}, // more than a block
        {{4, 0x2B, 0xF2, 8, 0, 8, 0, 0, 0}, -1}, // an empty block
    };
    for (const auto &[start, length] : cases)
        EXPECT_EQ(request_length(start.data(), start.size()), length) << start.size();
}

// A request counts only after its wire time of eleven bits a character, and
// back-to-back requests come out one by one at line rate.
TEST(frame_assembler_test, a_request_counts_only_after_its_wire_time)
{
    EXPECT_EQ(wire_time_us(11, 115200), 1050);
    EXPECT_EQ(wire_time_us(1, 9600), 1145);
    EXPECT_EQ(wire_time_us(1000, 0), 0);
    EXPECT_EQ(frame_silence_us(115200), FRAME_SILENCE_FLOOR_US); // the silence floor
    EXPECT_EQ(frame_silence_us(9600), 4010);
    frame_assembler assembler;
    assembler_init(&assembler, 115200);
    std::vector<uint8_t> block = {4, 0x2B, 0xF2, 8, 0, 8, 0, 4, 0}, frame;
    block.resize(1033, 0x55);
    block = with_crc(block);
    assembler_push(&assembler, block.data(), block.size(), 1000000);
    int64_t on_wire = 1000000 + wire_time_us(1035, 115200);
    EXPECT_EQ(assembler_take(&assembler, on_wire - 1, &frame), ASSEMBLED_NOTHING);
    EXPECT_EQ(assembler_next_check_us(&assembler), on_wire);
    EXPECT_EQ(assembler_take(&assembler, on_wire, &frame), ASSEMBLED_REQUEST);
    EXPECT_EQ(frame, block);
    EXPECT_EQ(assembler_next_check_us(&assembler), INT64_MAX);

    std::vector<uint8_t> both = contact;
    both.insert(both.end(), reset.begin(), reset.end());
    for (int64_t late : {0, 1000000}) {
        assembler_init(&assembler, 115200);
        assembler_push(&assembler, both.data(), both.size(), 0);
        // The second has crossed the line only after the first.
        EXPECT_EQ(assembler_take(&assembler, late + wire_time_us(13, 115200), &frame),
                  ASSEMBLED_REQUEST);
        EXPECT_EQ(frame, contact);
        EXPECT_EQ(assembler_take(&assembler, late + wire_time_us(17, 115200), &frame),
                  late ? ASSEMBLED_REQUEST : ASSEMBLED_NOTHING);
    }
    EXPECT_EQ(frame, reset);
    EXPECT_EQ(assembler_take(&assembler, 2000000, &frame), ASSEMBLED_NOTHING);
}

TEST(frame_assembler_test, pieces_join_into_a_request_and_unknown_or_cut_ones_end_at_a_silence)
{
    frame_assembler assembler;
    assembler_init(&assembler, 0);
    std::vector<uint8_t> frame;
    const uint8_t unknown[] = {4, 0x03, 0x00, 0x10, 0x00, 0x02};
    assembler_push(&assembler, unknown, sizeof unknown, 0);
    EXPECT_EQ(assembler_take(&assembler, FRAME_SILENCE_FLOOR_US - 1, &frame), ASSEMBLED_NOTHING);
    assembler_push(&assembler, unknown, 1, 1000); // the silence counts from the last byte
    EXPECT_EQ(assembler_take(&assembler, FRAME_SILENCE_FLOOR_US, &frame), ASSEMBLED_NOTHING);
    EXPECT_EQ(assembler_take(&assembler, 1000 + FRAME_SILENCE_FLOOR_US, &frame), ASSEMBLED_SILENCE);
    EXPECT_EQ(frame.size(), sizeof unknown + 1);

    assembler_push(&assembler, contact.data(), 7, 10000);
    EXPECT_EQ(assembler_take(&assembler, 10000 + FRAME_SILENCE_FLOOR_US, &frame),
              ASSEMBLED_TRUNCATED);
    // The next request starts clean.
    assembler_push(&assembler, reset.data(), reset.size(), 20000);
    EXPECT_EQ(assembler_take(&assembler, 20000, &frame), ASSEMBLED_REQUEST);
    EXPECT_EQ(frame, reset);
    assembler_push(&assembler, contact.data(), 6, 30000);
    EXPECT_EQ(assembler_take(&assembler, 30500, &frame), ASSEMBLED_NOTHING);
    assembler_push(&assembler, contact.data() + 6, 7, 30600);
    EXPECT_EQ(assembler_take(&assembler, 30600, &frame), ASSEMBLED_REQUEST);
    EXPECT_EQ(frame, contact);
    assembler_push(&assembler, reset.data(), 2, 40000); // too short to tell its kind
    EXPECT_EQ(assembler_take(&assembler, 40000 + FRAME_SILENCE_FLOOR_US, &frame),
              ASSEMBLED_TRUNCATED);
}

} // namespace
