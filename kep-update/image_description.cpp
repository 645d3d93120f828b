#include "image_description.h"

#include "build_info.h"
#include "exit_status.h"
#include "firmware_image.h"
#include "frames.h"
#include "image_file.h"
#include "sha256.h"

#include <cstdio>
#include <cstdlib>

static void print_description(const std::string &source, const char *format, uint32_t lowest,
                              const update_link &padded, size_t data_size)
{
    char digest[SHA256_HEX_SIZE];
    sha256_hex(padded.image, (size_t)padded.image_size, digest);
    printf("Image        %s\n", source.c_str());
    printf("Format       %s\n", format);
    printf("Data         0x%08X..0x%08X\n", lowest, (unsigned)(FLASH_IMAGE_BASE + data_size - 1));
    printf("Data size    %u bytes from 0x%08X\n", (unsigned)data_size, FLASH_IMAGE_BASE);
    printf("Padded size  %d bytes\n", padded.image_size);
    printf("Blocks       %d of %d bytes\n", padded.image_size / MODBUS_PROG_BLOCKSIZE_MAX,
           MODBUS_PROG_BLOCKSIZE_MAX);
    printf("Local  CRC   %#x\n", crc16_modbus(padded.image, padded.image_size));
    printf("SHA-256      %s\n", digest);
}

int describe_image(const std::string &image_path)
{
    update_link padded{};
    if (image_path.empty()) {
        int32_t size = 0;
        const uint8_t *bytes = find_firmware_resource(&size);
        if (!bytes || !set_firmware_image(&padded, bytes, size))
            abort(); // the build always embeds an image; only memory can be short
        // The build converted the file; its flat image starts at the base.
        print_description("built in: " KEP_FIRMWARE_DESCRIPTION, KEP_FIRMWARE_FORMAT,
                          FLASH_IMAGE_BASE, padded, (size_t)size);
    } else {
        flat_image image;
        if (!read_image_file(image_path, &image)) {
            fprintf(stderr, "kep-update: %s\n", image.error.c_str());
            return EXIT_USAGE;
        }
        if (!set_firmware_image(&padded, image.bytes.data(), (int32_t)image.bytes.size())) {
            fprintf(stderr, "kep-update: not enough memory for the image\n");
            return EXIT_USAGE;
        }
        print_description(image_path, image_format_name(image.format), image.lowest, padded,
                          image.bytes.size());
    }
    free(padded.image);
    return EXIT_UPDATED;
}
