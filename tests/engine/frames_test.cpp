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
    void receive(const std::vector<uint8_t> &bytes)
    {
        std::copy(bytes.begin(), bytes.end(), frame.begin());
        link.len = (int32_t)bytes.size();
    }
};

TEST(Crc16Modbus, MatchesThePublishedCheckValueAndEmptyInput)
{
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(crc16_modbus(check, 9), 0x4B37);
    EXPECT_EQ(crc16_modbus(check, 0), 0xFFFF);
    EXPECT_EQ(crc16_modbus(check, -3), 0xFFFF);
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
    build_reset(&t.link);
    EXPECT_THAT(t.sent(), ElementsAreArray({0x04, 0x2b, 0xf4, 0x2f, 0x76}));
}

TEST(RequestFrames, UseOnlyTheLowByteOfTheUnitAddress)
{
    frame_link t;
    t.link.unit_address = 0x1204;
    build_reset(&t.link);
    EXPECT_THAT(t.sent(), ElementsAreArray({0x04, 0x2b, 0xf4, 0x2f, 0x76}));
}

TEST(RequestFrames, FullProgramBlockIsBigEndianWithTheCrcLowByteFirst)
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
    uint16_t crc = crc16_modbus(t.frame.data(), 1033);
    EXPECT_EQ(t.frame[1033], crc & 0xFF);
    EXPECT_EQ(t.frame[1034], crc >> 8);
}

TEST(RequestFrames, ShortBlockCarriesItsOwnLength)
{
    frame_link t;
    const uint8_t data[3] = {0xAA, 0xBB, 0xCC};
    build_program_block(&t.link, 0x08000800, 3, data);
    EXPECT_EQ(t.link.len, 14);
    EXPECT_EQ(t.frame[7], 0x00);
    EXPECT_EQ(t.frame[8], 0x03);
    EXPECT_TRUE(frame_is_valid(&t.link));
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
    frame_link t;
    t.receive({0x04, 0x2b, 0xf4});
    EXPECT_FALSE(frame_is_valid(&t.link));
    EXPECT_EQ(t.link.error, 0) << "a 3-byte read is not a CRC failure";

    uint16_t crc = crc16_modbus(t.frame.data(), 2); // CRC of the first two bytes only
    t.receive({0x04, 0x2b, (uint8_t)(crc & 0xFF), (uint8_t)(crc >> 8)});
    EXPECT_TRUE(frame_is_valid(&t.link));
    EXPECT_EQ(t.link.error, 0);

    t.receive({0x04, 0x2b, 0xf4, 0x76, 0x2f}); // CRC bytes swapped
    EXPECT_FALSE(frame_is_valid(&t.link));
    EXPECT_EQ(t.link.error, 5);
}

TEST(FrameIsValid, AcceptsAnExceptionFrameWithAGoodCrc)
{
    frame_link t;
    std::vector<uint8_t> reply = {0x04, 0xAB, 0x02};
    uint16_t crc = crc16_modbus(reply.data(), 3);
    reply.push_back((uint8_t)(crc & 0xFF));
    reply.push_back((uint8_t)(crc >> 8));
    t.receive(reply);
    EXPECT_TRUE(frame_is_valid(&t.link));
}

TEST(ByteOrder, FieldsAreBigEndianAndTheCrcReaderLittleEndian)
{
    uint8_t b[4] = {};
    put_be32(b, 0x08000800);
    EXPECT_THAT(b, ElementsAreArray({0x08, 0x00, 0x08, 0x00}));
    put_be16(b, 0x12345);
    EXPECT_EQ(b[0], 0x23);
    EXPECT_EQ(b[1], 0x45);
    EXPECT_EQ(get_be16(b), 0x2345);
    EXPECT_EQ(get_le16(b), 0x4523);
}

} // namespace
