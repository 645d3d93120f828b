#include "firmware_image.h"

#include <cassert>
#include <cstdlib>

void load_firmware_image(update_link *link)
{
    int32_t resource_size = 0;
    const uint8_t *image = find_firmware_resource(&resource_size);
    assert(image);
    assert(resource_size);
    if (!set_firmware_image(link, image, resource_size))
        abort(); // out of memory at start-up: nothing sensible is left to do
    trace_firmware_image(link);
}
