// kep-image-flatten IN OUT: converts a firmware file (raw, Intel HEX,
// S-record, ELF32) into the flat image the programs carry, on the build
// machine. Prints "format;data size;padded size;CRC-16 of the padded image"
// for the build's description of the firmware; on a refused file prints the
// reader's message and fails, so the build fails with it.
#include "firmware_image.h"
#include "frames.h"
#include "image_reader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

static bool read_whole_file(const char *path, std::vector<uint8_t> *bytes)
{
    FILE *file = fopen(path, "rb");
    if (!file)
        return false;
    uint8_t chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes->insert(bytes->end(), chunk, chunk + got);
    bool ok = !ferror(file);
    fclose(file);
    return ok;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: kep-image-flatten IN OUT\n");
        return 2;
    }
    std::vector<uint8_t> bytes;
    if (!read_whole_file(argv[1], &bytes)) {
        fprintf(stderr, "cannot read firmware %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    flat_image image;
    if (!read_image(bytes.data(), bytes.size(), argv[1], &image)) {
        fprintf(stderr, "%s\n", image.error.c_str());
        return 1;
    }
    FILE *out = fopen(argv[2], "wb");
    if (!out || fwrite(image.bytes.data(), 1, image.bytes.size(), out) != image.bytes.size() ||
        fclose(out) != 0) {
        fprintf(stderr, "cannot write %s: %s\n", argv[2], strerror(errno));
        return 1;
    }
    size_t data_size = image.bytes.size();
    int32_t padded = padded_image_size((int32_t)data_size);
    image.bytes.resize((size_t)padded, 0);
    printf("%s;%zu;%d;%#x\n", image_format_name(image.format), data_size, padded,
           crc16_modbus(image.bytes.data(), padded));
    return 0;
}
