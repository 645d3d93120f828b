#include "image_reader.h"

#include "image_formats.h"
#include "update_link.h"

#include <cstring>

const char *image_format_name(image_format format)
{
    switch (format) {
    case IMAGE_RAW: return "raw binary";
    case IMAGE_INTEL_HEX: return "Intel HEX";
    case IMAGE_SREC: return "S-record";
    case IMAGE_ELF32: return "ELF32";
    }
    return "?";
}

// The line is `skip` marker characters and then at least `digits` hex digits
// only: a raw binary practically never starts like that.
static bool is_text_record(const text_line &line, size_t skip, size_t digits)
{
    if (line.length < skip + digits)
        return false;
    for (size_t i = skip; i < line.length; i++)
        if (hex_digit(line.text[i]) < 0)
            return false;
    return true;
}

static image_format format_of_content(const uint8_t *data, size_t size)
{
    if (size >= 4 && memcmp(data,
                            "\x7f"
                            "ELF",
                            4) == 0)
        return IMAGE_ELF32;
    // The readers skip blank lines before the first record; so does this.
    size_t pos = 0;
    text_line line{nullptr, 0, 0};
    do
        if (!next_line(data, size, &pos, &line))
            return IMAGE_RAW;
    while (line.length == 0);
    const uint8_t *text = line.text;
    if (text[0] == ':' && is_text_record(line, 1, 10))
        return IMAGE_INTEL_HEX;
    if (line.length > 1 && text[0] == 'S' && text[1] >= '0' && text[1] <= '9' &&
        is_text_record(line, 2, 8))
        return IMAGE_SREC;
    return IMAGE_RAW;
}

// DOS and Windows tools end a text file with Ctrl-Z; nothing after it is text.
static size_t text_size(const uint8_t *data, size_t size)
{
    const void *end = memchr(data, 0x1A, size);
    return end ? (size_t)((const uint8_t *)end - data) : size;
}

static bool ends_with(const std::string &name, const char *suffix)
{
    size_t n = strlen(suffix);
    if (name.size() < n)
        return false;
    for (size_t i = 0; i < n; i++)
        if ((name[name.size() - n + i] | 0x20) != suffix[i])
            return false;
    return true;
}

// The format a file's name promises; IMAGE_RAW when it promises none.
static image_format format_of_name(const std::string &name)
{
    for (const char *suffix : {".hex", ".ihex", ".ihx"})
        if (ends_with(name, suffix))
            return IMAGE_INTEL_HEX;
    for (const char *suffix : {".srec", ".s19", ".s28", ".s37", ".mot", ".sx"})
        if (ends_with(name, suffix))
            return IMAGE_SREC;
    for (const char *suffix : {".elf", ".axf", ".out"})
        if (ends_with(name, suffix))
            return IMAGE_ELF32;
    return IMAGE_RAW;
}

bool read_image(const uint8_t *data, size_t size, const std::string &name, flat_image *image)
{
    *image = flat_image{};
    image_builder builder{image, name, {}, false};
    image->format = format_of_content(data, size);
    image_format named = format_of_name(name);
    bool ok = false;
    switch (image->format) {
    case IMAGE_RAW:
        // A damaged text or ELF file must not be written into flash as it stands.
        if (named != IMAGE_RAW && size)
            return image_fail(&builder, "",
                              std::string("named like an ") + image_format_name(named) +
                                  " file, but its content is not " + image_format_name(named) +
                                  "; refusing to write it as a raw binary");
        ok = image_put(&builder, FLASH_IMAGE_BASE, data, size,
                       "raw binary of " + std::to_string(size) + " bytes");
        break;
    case IMAGE_INTEL_HEX: ok = read_intel_hex(&builder, data, text_size(data, size)); break;
    case IMAGE_SREC: ok = read_srec(&builder, data, text_size(data, size)); break;
    case IMAGE_ELF32: ok = read_elf32(&builder, data, size); break;
    }
    if (ok && !builder.any)
        ok = image_fail(&builder, "", "no data bytes in the file");
    if (!ok)
        image->bytes.clear();
    return ok;
}
