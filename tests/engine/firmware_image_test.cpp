#include "fake_os.h"
#include "firmware_image.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sys/resource.h>
#include <unistd.h>

// An allocation that fails returns nothing, as without the sanitizer, rather
// than ending the program: the refusal below must be seen.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }

TEST(FirmwareImage, IsRefusedWithoutMemoryAndTheBuiltInImageIsTheShippedFile)
{
    // No memory for a 2 GiB copy: refused, the link left without an image.
    EXPECT_EXIT(
        {
            unsigned long pages = 0;
            FILE *statm = fopen("/proc/self/statm", "r");
            if (!statm || fscanf(statm, "%lu", &pages) != 1)
                _exit(2);
            rlimit limit{};
            limit.rlim_cur = limit.rlim_max = pages * (unsigned long)getpagesize() + (256ul << 20);
            update_link none{};
            uint8_t byte = 0;
            bool refused = setrlimit(RLIMIT_AS, &limit) == 0 &&
                           !set_firmware_image(&none, &byte, 0x7FFFFC00) && !none.image;
            _exit(refused ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    // The padding itself: every link test's image goes through it.
    update_link link{};
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
