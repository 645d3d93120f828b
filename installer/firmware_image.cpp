#include "firmware_image.h"

#include "reporting.h"

#include <cstdlib>
#include <cstring>

bool set_firmware_image(update_link *link, const uint8_t *bytes, int32_t size)
{
    int32_t image_size = padded_image_size(size);
    // Zero fill: the padding is sent and checksummed like the image itself.
    uint8_t *image = (uint8_t *)calloc((size_t)image_size, 1);
    if (!image)
        return false;
    memcpy(image, bytes, (size_t)size);
    link->image = image;
    link->image_size = image_size;
    link->flash_base = FLASH_IMAGE_BASE;
    return true;
}

void trace_firmware_image(const update_link *link)
{
    trace_printf("\nFlash Image Base %#x\n", link->flash_base);
    trace_printf("Flash Image Size %#x bytes\n", (unsigned)link->image_size);
}
