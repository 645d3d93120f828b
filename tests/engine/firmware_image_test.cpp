#include "fake_os.h"
#include "firmware_image.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <vector>

namespace
{

struct image_link {
    update_link link{};
    ~image_link() { free(link.image); }
};

TEST(FirmwareImage, IsPaddedWithZerosToWholeBlocks)
{
    for (int size : {1, 1024, 1025}) {
        std::vector<uint8_t> bytes((size_t)size, 0xFF);
        image_link t;
        ASSERT_TRUE(set_firmware_image(&t.link, bytes.data(), size));
        bytes.resize(size <= 1024 ? 1024 : 2048, 0);
        EXPECT_EQ(std::vector<uint8_t>(t.link.image, t.link.image + t.link.image_size), bytes);
        EXPECT_EQ(t.link.flash_base, 0x08000800u);
    }
    EXPECT_EQ(padded_image_size(126 * 1024), 126 * 1024);
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
