#include "fake_os.h"
#include "firmware_image.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>

TEST(FirmwareImage, IsPaddedWithZerosAndTheBuiltInImageIsTheShippedFile)
{
    update_link link{};
    for (int size : {1, 1024, 1025}) {
        std::string bytes((size_t)size, '\xFF');
        ASSERT_TRUE(set_firmware_image(&link, (const uint8_t *)bytes.data(), size));
        bytes.resize(size <= 1024 ? 1024 : 2048, '\0');
        EXPECT_EQ(std::string((char *)link.image, (size_t)link.image_size), bytes);
        EXPECT_EQ(link.flash_base, 0x08000800u);
        free(link.image);
    }
    std::ifstream file(FIRMWARE_BIN, std::ios::binary);
    std::string shipped{std::istreambuf_iterator<char>(file), {}};
    ASSERT_EQ(shipped.size(), 25368u);
    captured_reports reports;
    load_firmware_image(&link);
    EXPECT_EQ(link.image_size, 0x6400);
    EXPECT_EQ(std::string((char *)link.image, shipped.size()), shipped);
    EXPECT_EQ(reports.trace, "\nFlash Image Base 0x8000800\nFlash Image Size 0x6400 bytes\n");
    free(link.image);
}
