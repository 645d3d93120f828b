#include "fake_os.h"
#include "firmware_image.h"
#include "frames.h"

#include <cstdlib>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <iterator>
#include <vector>

namespace
{

struct image_link {
    update_link link{};
    ~image_link() { free(link.image); }
};

TEST(FirmwareImage, PadsToWholeBlocks)
{
    EXPECT_EQ(padded_image_size(1), 1024);
    EXPECT_EQ(padded_image_size(1024), 1024);
    EXPECT_EQ(padded_image_size(1025), 2048);
    EXPECT_EQ(padded_image_size(126 * 1024), 126 * 1024);
}

TEST(FirmwareImage, FillIsZeroAndCountsInTheLocalCrc)
{
    std::vector<uint8_t> bytes(1025, 0xFF);
    image_link t;
    ASSERT_TRUE(set_firmware_image(&t.link, bytes.data(), 1025));
    ASSERT_EQ(t.link.image_size, 2048);
    EXPECT_EQ(t.link.flash_base, 0x08000800u);
    EXPECT_EQ(t.link.image[1024], 0xFF);
    for (int i = 1025; i < 2048; i++)
        ASSERT_EQ(t.link.image[i], 0) << "at " << i;

    std::vector<uint8_t> padded(bytes);
    padded.resize(2048, 0x00);
    EXPECT_EQ(crc16_modbus(t.link.image, t.link.image_size), crc16_modbus(padded.data(), 2048));
    EXPECT_NE(crc16_modbus(t.link.image, t.link.image_size), crc16_modbus(bytes.data(), 1025));
}

TEST(FirmwareImage, TheBuiltInImageIsExactlyTheShippedFile)
{
    std::ifstream file(FIRMWARE_BIN, std::ios::binary);
    std::vector<uint8_t> shipped((std::istreambuf_iterator<char>(file)),
                                 std::istreambuf_iterator<char>());
    ASSERT_EQ(shipped.size(), 25368u);

    captured_reports reports;
    image_link t;
    load_firmware_image(&t.link);
    EXPECT_EQ(t.link.image_size, 0x6400);
    EXPECT_TRUE(std::equal(shipped.begin(), shipped.end(), t.link.image));
    EXPECT_EQ(reports.trace, "\nFlash Image Base 0x8000800\nFlash Image Size 0x6400 bytes\n");
}

} // namespace
