// Fuzz target: the image reader. Any bytes give either a flat image inside the
// flash window or an error naming the file; never a crash, a hang or undefined
// behaviour. The first byte picks the file's name, whose extension changes
// how content that is not what the name says is treated.
#include "fuzz_check.h"
#include "image_reader.h"
#include "update_link.h"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const char *const names[] = {"fw.bin", "fw.hex", "fw.s37", "fw.elf"};
    if (size == 0)
        return 0;
    const char *name = names[data[0] % 4];
    flat_image image;
    bool ok = read_image(data + 1, size - 1, name, &image);
    if (ok) {
        FUZZ_CHECK(!image.bytes.empty(), "accepted without data bytes");
        FUZZ_CHECK(image.bytes.size() <= IMAGE_WINDOW_END - FLASH_IMAGE_BASE,
                   "%zu bytes reach past the window", image.bytes.size());
        FUZZ_CHECK(image.lowest >= FLASH_IMAGE_BASE &&
                       image.lowest - FLASH_IMAGE_BASE < image.bytes.size(),
                   "lowest address %#x outside the image", image.lowest);
        FUZZ_CHECK(image.error.empty(), "accepted with an error: %s", image.error.c_str());
        FUZZ_CHECK(image.format != IMAGE_RAW ||
                       (image.bytes.size() == size - 1 &&
                        std::equal(image.bytes.begin(), image.bytes.end(), data + 1)),
                   "a raw image changed");
    } else {
        FUZZ_CHECK(image.error.rfind(std::string(name) + ": ", 0) == 0,
                   "the error does not name the file: %s", image.error.c_str());
        FUZZ_CHECK(image.bytes.empty(), "refused, yet %zu bytes kept", image.bytes.size());
    }
    return 0;
}
