#include "frame_bytes.h"
#include "frames.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <vector>

using testing::ElementsAreArray;

namespace
{

struct frame_link {
    std::vector<uint8_t> frame = std::vector<uint8_t>(MODBUS_FRAME_LENGTH_MAX);
    update_link link{};
    frame_link()
    {
        link.unit_address = UNIT_ADDRESS;
        link.capacity = MODBUS_FRAME_LENGTH_MAX;
        link.frame = frame.data();
    }
    std::vector<uint8_t> sent() const { return {frame.begin(), frame.begin() + link.len}; }
};

// The one independent CRC-16/MODBUS everything else is checked against:
// table-driven, where the engine shifts bit by bit.
uint16_t oracle_crc(const uint8_t *data, size_t length)
{
    static uint16_t table[256];
    if (table[1] == 0)
        for (uint32_t n = 0; n < 256; n++) {
            uint32_t r = n;
            for (int k = 0; k < 8; k++)
                r = r & 1 ? (r >> 1) ^ 0xA001 : r >> 1;
            table[n] = (uint16_t)r;
        }
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; i++)
        crc = (uint16_t)((crc >> 8) ^ table[(crc ^ data[i]) & 0xFF]);
    return crc;
}

TEST(Crc16Modbus, MatchesThePublishedCheckValueAndAnIndependentImplementation)
{
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(oracle_crc(check, 9), 0x4B37);
    EXPECT_EQ(crc16_modbus(check, 9), 0x4B37);
    EXPECT_EQ(crc16_modbus(check, 0), 0xFFFF);
    EXPECT_EQ(crc16_modbus(check, -3), 0xFFFF);
    std::vector<uint8_t> bytes(1100);
    uint32_t x = 7;
    for (auto &b : bytes)
        b = (uint8_t)((x = x * 1103515245u + 12345u) >> 16);
    for (int32_t length = 1; length <= 1100; length += 37)
        ASSERT_EQ(crc16_modbus(bytes.data(), length), oracle_crc(bytes.data(), (size_t)length));
}

TEST(RequestFrames, MatchTheWorkedExamplesByteForByte)
{
    frame_link t;
    build_address_query(&t.link, 0x08000800, 4);
    EXPECT_THAT(t.sent(), ElementsAreArray({0x04, 0x2b, 0xf3, 0x08, 0x00, 0x08, 0x00, 0x00, 0x00,
                                            0x00, 0x04, 0x72, 0x82}));
    build_address_query(&t.link, 0x08000800, 0x6400);
    EXPECT_THAT(t.sent(), ElementsAreArray({0x04, 0x2b, 0xf3, 0x08, 0x00, 0x08, 0x00, 0x00, 0x00,
                                            0x64, 0x00, 0x59, 0x81}));
    t.link.unit_address = 0x1204; // only the low byte goes out
    build_reset(&t.link);
    EXPECT_THAT(t.sent(), ElementsAreArray({0x04, 0x2b, 0xf4, 0x2f, 0x76}));
}

TEST(RequestFrames, ProgramBlockIsBigEndianWithTheCrcLowByteFirst)
{
    frame_link t;
    std::vector<uint8_t> data(1024);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (uint8_t)(i * 7 + 1);
    build_program_block(&t.link, 0x08006800, 1024, data.data());
    ASSERT_EQ(t.link.len, 1035);
    EXPECT_THAT(std::vector<uint8_t>(t.frame.begin(), t.frame.begin() + 9),
                ElementsAreArray({0x04, 0x2b, 0xf2, 0x08, 0x00, 0x68, 0x00, 0x04, 0x00}));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), t.frame.begin() + 9));
    uint16_t crc = oracle_crc(t.frame.data(), 1033);
    EXPECT_EQ(t.frame[1033], crc & 0xFF);
    EXPECT_EQ(t.frame[1034], crc >> 8);

    build_program_block(&t.link, 0x08000800, 3, data.data()); // a short block
    EXPECT_THAT(t.sent(), ElementsAreArray(with_crc({0x04, 0x2b, 0xf2, 0x08, 0x00, 0x08, 0x00, 0x00,
                                                     0x03, 0x01, 0x08, 0x0f})));
}

using RequestFramesDeathTest = testing::Test;

TEST_F(RequestFramesDeathTest, ProgramBlockOutsideOneToFullBlockIsAnAssertion)
{
    frame_link t;
    std::vector<uint8_t> data(1025);
    const char *text = "local_memory_address!=0 && block_length>0 && block_length <= "
                       "MODBUS_PROG_BLOCKSIZE_MAX";
    EXPECT_DEATH(build_program_block(&t.link, 0x08000800, 0, data.data()), text);
    EXPECT_DEATH(build_program_block(&t.link, 0x08000800, 1025, data.data()), text);
    EXPECT_DEATH(build_program_block(&t.link, 0x08000800, 16, nullptr), text);
}

TEST(FrameIsValid, NeedsFourBytesAndAMatchingCrc)
{
    struct {
        std::vector<uint8_t> bytes;
        bool valid;
        int32_t error; // 0: a short read is not a CRC failure
    } cases[] = {
        {{0x04, 0x2b, 0xf4}, false, 0},
        {with_crc({0x04, 0x2b}), true, 0},
        {with_crc({0x04, 0xAB, 0x02}), true, 0},                  // an exception frame
        {{0x04, 0x2b, 0xf4, 0x76, 0x2f}, false, FRAME_ERROR_CRC}, // CRC bytes swapped
    };
    for (const auto &c : cases) {
        frame_link t;
        std::copy(c.bytes.begin(), c.bytes.end(), t.frame.begin());
        t.link.len = (int32_t)c.bytes.size();
        EXPECT_EQ(frame_is_valid(&t.link), c.valid) << c.bytes.size();
        EXPECT_EQ(frame_crc_ok(c.bytes.data(), (int32_t)c.bytes.size()), c.valid);
        EXPECT_EQ(t.link.error, c.error);
    }
}

TEST(ByteOrder, FieldsAreBigEndianAndTheCrcReaderLittleEndian)
{
    uint8_t b[4] = {};
    put_be32(b, 0x08000C01);
    EXPECT_THAT(b, ElementsAreArray({0x08, 0x00, 0x0C, 0x01}));
    EXPECT_EQ(get_be32(b), 0x08000C01u);
    put_be16(b, 0x12345);
    EXPECT_EQ(b[0], 0x23);
    EXPECT_EQ(b[1], 0x45);
    EXPECT_EQ(get_be16(b), 0x2345);
    EXPECT_EQ(get_le16(b), 0x4523);
}

} // namespace
