// Cutting the byte stream into requests, by length and by silence, with the
// line's wire time taken into account.
#include "frame_assembler.h"
#include "frame_bytes.h"
#include "frames.h"
#include "line_timing.h"

#include <gtest/gtest.h>

namespace
{

std::vector<uint8_t> program_request(uint16_t data_length)
{
    std::vector<uint8_t> bytes = {
        4, 0x2B, 0xF2, 0x08, 0x00, 0x08, 0x00, (uint8_t)(data_length >> 8), (uint8_t)data_length};
    bytes.resize(9 + data_length, 0x55);
    return with_crc(bytes);
}

const std::vector<uint8_t> contact = {4,    0x2b, 0xf3, 0x08, 0x00, 0x08, 0x00,
                                      0x00, 0x00, 0x00, 0x04, 0x72, 0x82};
const std::vector<uint8_t> reset = {4, 0x2b, 0xf4, 0x2f, 0x76};

TEST(request_length_test, known_requests_by_their_layout_others_by_silence)
{
    std::vector<uint8_t> block = program_request(1024);
    EXPECT_EQ(request_length(block.data(), 2), 0);
    EXPECT_EQ(request_length(block.data(), 8), 0);
    EXPECT_EQ(request_length(block.data(), 9), 1035);
    EXPECT_EQ(request_length(contact.data(), 3), 13);
    EXPECT_EQ(request_length(reset.data(), 3), 5);
    const uint8_t other_function[] = {4, 0x03, 0xF2};
    const uint8_t other_sub_code[] = {4, 0x2B, 0x0E};
    const uint8_t too_long[] = {4, 0x2B, 0xF2, 8, 0, 8, 0, 0x04, 0x01};
    const uint8_t empty_block[] = {4, 0x2B, 0xF2, 8, 0, 8, 0, 0, 0};
    EXPECT_EQ(request_length(other_function, 3), -1);
    EXPECT_EQ(request_length(other_sub_code, 3), -1);
    EXPECT_EQ(request_length(too_long, 9), -1);
    EXPECT_EQ(request_length(empty_block, 9), -1);
}

TEST(frame_assembler_test, a_request_counts_only_after_its_wire_time)
{
    frame_assembler assembler;
    assembler_init(&assembler, 115200);
    std::vector<uint8_t> block = program_request(1024);
    assembler_push(&assembler, block.data(), block.size(), 1000000);
    int64_t on_wire = wire_time_us(1035, 115200);
    EXPECT_GT(on_wire, 98000);
    EXPECT_LT(on_wire, 99000);

    std::vector<uint8_t> frame;
    EXPECT_EQ(assembler_take(&assembler, 1000000 + on_wire - 1, &frame), ASSEMBLED_NOTHING);
    EXPECT_EQ(assembler_next_check_us(&assembler), 1000000 + on_wire);
    EXPECT_EQ(assembler_take(&assembler, 1000000 + on_wire, &frame), ASSEMBLED_REQUEST);
    EXPECT_EQ(frame, block);
    EXPECT_EQ(assembler_next_check_us(&assembler), INT64_MAX);
}

TEST(frame_assembler_test, back_to_back_requests_come_out_one_by_one_at_line_rate)
{
    frame_assembler assembler;
    assembler_init(&assembler, 115200);
    std::vector<uint8_t> both = contact;
    both.insert(both.end(), reset.begin(), reset.end());
    assembler_push(&assembler, both.data(), both.size(), 0);
    std::vector<uint8_t> frame;
    // The second has crossed the line only after the first.
    EXPECT_EQ(assembler_take(&assembler, wire_time_us(13, 115200), &frame), ASSEMBLED_REQUEST);
    EXPECT_EQ(assembler_take(&assembler, wire_time_us(17, 115200), &frame), ASSEMBLED_NOTHING);
    assembler_init(&assembler, 115200);
    assembler_push(&assembler, both.data(), both.size(), 0);
    int64_t late = 1000000;
    EXPECT_EQ(assembler_take(&assembler, late, &frame), ASSEMBLED_REQUEST);
    EXPECT_EQ(frame, contact);
    EXPECT_EQ(assembler_take(&assembler, late, &frame), ASSEMBLED_REQUEST);
    EXPECT_EQ(frame, reset);
    EXPECT_EQ(assembler_take(&assembler, late, &frame), ASSEMBLED_NOTHING);
}

TEST(frame_assembler_test, pieces_are_joined_until_the_request_is_whole)
{
    frame_assembler assembler;
    assembler_init(&assembler, 0);
    std::vector<uint8_t> frame;
    assembler_push(&assembler, contact.data(), 6, 0);
    EXPECT_EQ(assembler_take(&assembler, 500, &frame), ASSEMBLED_NOTHING);
    assembler_push(&assembler, contact.data() + 6, 7, 600);
    EXPECT_EQ(assembler_take(&assembler, 600, &frame), ASSEMBLED_REQUEST);
    EXPECT_EQ(frame, contact);
}

TEST(frame_assembler_test, unknown_bytes_and_cut_requests_end_at_a_silence)
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
}

TEST(line_timing_test, eleven_bits_a_character_and_the_silence_floor)
{
    EXPECT_EQ(wire_time_us(11, 115200), 1050);
    EXPECT_EQ(wire_time_us(1, 9600), 1145);
    EXPECT_EQ(wire_time_us(1000, 0), 0);
    EXPECT_EQ(frame_silence_us(115200), FRAME_SILENCE_FLOOR_US);
    EXPECT_EQ(frame_silence_us(9600), 4010);
}

} // namespace
