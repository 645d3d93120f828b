#include "update_image.h"

#include "build_info.h"
#include "firmware_image.h"
#include "frames.h"
#include "image_reader.h"
#include "sha256.h"
#include "system.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

// Far more than any firmware file, ELF with debug information included.
#define IMAGE_FILE_SIZE_MAX (256u << 20)

// A fifo or a device would block or never end: only regular files are read,
// and only when their size says they fit.
static bool read_file(const std::string &path, std::vector<uint8_t> *bytes, std::string *error)
{
    namespace fs = std::filesystem;
    std::error_code code;
    fs::file_status status = fs::status(utf8_path(path), code);
    if (code) {
        *error = "cannot open image " + path + ": " + code.message();
        return false;
    }
    if (!fs::is_regular_file(status)) {
        *error = "image " + path + " is not a regular file" +
                 (fs::is_directory(status) ? " but a directory" : "");
        return false;
    }
    uintmax_t size = fs::file_size(utf8_path(path), code);
    if (!code && size > IMAGE_FILE_SIZE_MAX) {
        *error = "image " + path + " is larger than 256 MiB, more than any firmware file";
        return false;
    }
    FILE *file = open_file(path, "rb");
    if (!file) {
        *error = "cannot open image " + path + ": " + strerror(errno);
        return false;
    }
    bytes->resize((size_t)size);
    size_t got = fread(bytes->data(), 1, bytes->size(), file);
    bool failed = ferror(file) != 0 || got != bytes->size() || fgetc(file) != EOF;
    int read_errno = errno;
    fclose(file);
    if (failed)
        *error = "cannot read image " + path + ": " +
                 (read_errno ? strerror(read_errno) : "its size changed while it was read");
    return !failed;
}

void seal_image(update_image *image)
{
    image->crc16 = crc16_modbus(image->padded.data(), (int32_t)image->padded.size());
    char hex[SHA256_HEX_SIZE];
    sha256_hex(image->padded.data(), image->padded.size(), hex);
    image->sha256 = hex;
}

static void pad(const uint8_t *bytes, int32_t size, update_image *image)
{
    image->data_size = size;
    image->padded.assign((size_t)padded_image_size(size), 0);
    memcpy(image->padded.data(), bytes, (size_t)size);
    seal_image(image);
}

bool load_update_image(const std::string &path, update_image *image, std::string *error)
{
    if (path.empty()) {
        int32_t size = 0;
        const uint8_t *bytes = find_firmware_resource(&size);
        image->path = "built-in";
        image->format = KEP_FIRMWARE_FORMAT; // the build flattened it from this
        image->lowest = FLASH_IMAGE_BASE;
        pad(bytes, size, image);
        return true;
    }
    std::vector<uint8_t> bytes;
    if (!read_file(path, &bytes, error))
        return false;
    flat_image file;
    if (!read_image(bytes.data(), bytes.size(), path, &file)) {
        *error = file.error;
        return false;
    }
    std::error_code code;
    std::filesystem::path absolute = std::filesystem::absolute(utf8_path(path), code);
    image->path = code ? path : utf8_text(absolute.lexically_normal());
    image->format = image_format_name(file.format);
    image->lowest = file.lowest;
    pad(file.bytes.data(), (int32_t)file.bytes.size(), image);
    return true;
}

void trace_update_image(const update_image &image)
{
    update_link link{};
    link.flash_base = FLASH_IMAGE_BASE;
    link.image_size = padded_size(image);
    trace_firmware_image(&link);
}
