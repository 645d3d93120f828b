// The image is the executable's own raw-data resource "BINFILE".
#include "firmware_image.h"

#include <windows.h>

const uint8_t *find_firmware_resource(int32_t *size)
{
    *size = 0;
    HRSRC resource = FindResourceA(nullptr, "BINFILE", RT_RCDATA);
    if (!resource)
        return nullptr;
    HGLOBAL loaded = LoadResource(nullptr, resource);
    if (!loaded)
        return nullptr;
    *size = (int32_t)SizeofResource(nullptr, resource);
    return (const uint8_t *)LockResource(loaded);
}
