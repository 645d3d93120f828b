// Links the exact bytes of the image file into the executable, so that
// nothing is read from disk at run time. KEP_FIRMWARE_PATH comes from the build.
#include "firmware_image.h"

__asm__(".pushsection .rodata\n"
        ".balign 16\n"
        "kep_firmware_begin:\n"
        ".incbin \"" KEP_FIRMWARE_PATH "\"\n"
        "kep_firmware_end:\n"
        ".popsection\n");

extern "C" const uint8_t kep_firmware_begin[] __asm__("kep_firmware_begin");
extern "C" const uint8_t kep_firmware_end[] __asm__("kep_firmware_end");

const uint8_t *find_firmware_resource(int32_t *size)
{
    *size = (int32_t)(kep_firmware_end - kep_firmware_begin);
    return kep_firmware_begin;
}
