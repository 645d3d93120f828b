#include "image_file.h"

#include "firmware_image.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

bool read_image_file(const std::string &path, std::vector<uint8_t> *bytes, std::string *error)
{
    FILE *file = fopen(path.c_str(), "rb");
    if (!file) {
        *error = "cannot open image " + path + ": " + strerror(errno);
        return false;
    }
    bytes->clear();
    uint8_t chunk[4096];
    size_t got;
    // One byte past the limit is enough to know the file is too large.
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0 && bytes->size() <= FLASH_IMAGE_CAPACITY)
        bytes->insert(bytes->end(), chunk, chunk + got);
    bool read_failed = ferror(file) != 0;
    int read_errno = errno;
    fclose(file);
    if (read_failed) {
        *error = "cannot read image " + path + ": " + strerror(read_errno);
        return false;
    }
    if (bytes->empty()) {
        *error = "image " + path + " is empty";
        return false;
    }
    if (bytes->size() > FLASH_IMAGE_CAPACITY) {
        *error = "image " + path + " is larger than the " + std::to_string(FLASH_IMAGE_CAPACITY) +
                 " bytes of flash above 0x08000800";
        return false;
    }
    return true;
}
