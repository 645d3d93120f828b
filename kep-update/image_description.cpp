#include "image_description.h"

#include "build_info.h"
#include "outcome.h"
#include "update_image.h"
#include "update_link.h"

#include <cstdio>

int describe_image(const std::string &image_path)
{
    update_image image;
    std::string error;
    if (!load_update_image(image_path, &image, &error)) {
        fprintf(stderr, "kep-update: %s\n", error.c_str());
        return EXIT_USAGE;
    }
    std::string source = image_path.empty() ? "built in: " KEP_FIRMWARE_DESCRIPTION : image_path;
    printf("Image        %s\n", source.c_str());
    printf("Format       %s\n", image.format.c_str());
    printf("Data         0x%08X..0x%08X\n", image.lowest,
           (unsigned)(FLASH_IMAGE_BASE + image.data_size - 1));
    printf("Data size    %u bytes from 0x%08X\n", (unsigned)image.data_size, FLASH_IMAGE_BASE);
    printf("Padded size  %d bytes\n", padded_size(image));
    printf("Blocks       %d of %d bytes\n", padded_size(image) / MODBUS_PROG_BLOCKSIZE_MAX,
           MODBUS_PROG_BLOCKSIZE_MAX);
    printf("Local  CRC   %#x\n", image.crc16);
    printf("SHA-256      %s\n", image.sha256.c_str());
    return EXIT_UPDATED;
}
