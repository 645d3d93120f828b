#include "image_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

// Far more than any firmware file, ELF with debug information included; it
// stops a device such as /dev/zero from being read for ever.
#define IMAGE_FILE_SIZE_MAX (256u << 20)

bool read_image_file(const std::string &path, flat_image *image)
{
    FILE *file = fopen(path.c_str(), "rb");
    if (!file) {
        image->error = "cannot open image " + path + ": " + strerror(errno);
        return false;
    }
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0 && bytes.size() <= IMAGE_FILE_SIZE_MAX)
        bytes.insert(bytes.end(), chunk, chunk + got);
    bool read_failed = ferror(file) != 0; // a directory fails here (EISDIR)
    int read_errno = errno;
    fclose(file);
    if (read_failed) {
        image->error = "cannot read image " + path + ": " + strerror(read_errno);
        return false;
    }
    if (bytes.size() > IMAGE_FILE_SIZE_MAX) {
        image->error = "image " + path + " is larger than 256 MiB, more than any firmware file";
        return false;
    }
    return read_image(bytes.data(), bytes.size(), path, image);
}
