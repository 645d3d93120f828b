#include "image_builder.h"

#include "update_link.h"

uint8_t record_sum(const std::vector<uint8_t> &record)
{
    uint8_t sum = 0;
    for (uint8_t byte : record)
        sum = (uint8_t)(sum + byte);
    return sum;
}

std::string hex_address(uint64_t address)
{
    std::string digits;
    for (int shift = 60; shift >= 0; shift -= 4)
        if (shift < 32 || address >> shift) // eight digits at least
            digits += "0123456789ABCDEF"[(address >> shift) & 0xF];
    return "0x" + digits;
}

bool image_fail(image_builder *builder, const std::string &where, const std::string &what)
{
    builder->image->error = builder->name + ": " + (where.empty() ? "" : where + ": ") + what;
    return false;
}

bool image_put(image_builder *builder, uint64_t address, const uint8_t *data, size_t length,
               const std::string &where)
{
    if (length == 0)
        return true;
    uint64_t last = address + length - 1;
    std::string range = hex_address(address) + ".." + hex_address(last);
    if (address < FLASH_IMAGE_BASE)
        return image_fail(builder, where,
                          "data at " + range + " lies below " + hex_address(FLASH_IMAGE_BASE) +
                              ", where the target's bootloader lives");
    if (last >= IMAGE_WINDOW_END)
        return image_fail(builder, where,
                          "data at " + range + " reaches " + hex_address(IMAGE_WINDOW_END) +
                              " or above, outside any KEP flash (RAM or option bytes?); "
                              "export the flash sections only");
    flat_image *image = builder->image;
    size_t offset = (size_t)(address - FLASH_IMAGE_BASE);
    if (image->bytes.size() < offset + length) {
        image->bytes.resize(offset + length, 0);
        builder->written.resize(offset + length, 0);
    }
    for (size_t i = 0; i < length; i++) {
        uint8_t *byte = &image->bytes[offset + i];
        // Two records may repeat a byte; they may not disagree about it.
        if (builder->written[offset + i] && *byte != data[i])
            return image_fail(builder, where,
                              text_printf("gives 0x%02X for address %s, which an earlier "
                                          "record set to 0x%02X",
                                          data[i], hex_address(address + i).c_str(), *byte));
        *byte = data[i];
        builder->written[offset + i] = 1;
    }
    if (!builder->any || address < image->lowest)
        image->lowest = (uint32_t)address;
    builder->any = true;
    return true;
}

bool next_line(const uint8_t *data, size_t size, size_t *pos, text_line *line)
{
    if (*pos >= size)
        return false;
    size_t start = *pos, end = start;
    while (end < size && data[end] != '\n')
        end++;
    *pos = end < size ? end + 1 : end;
    size_t length = end - start;
    while (length && (data[start + length - 1] == '\r' || data[start + length - 1] == ' ' ||
                      data[start + length - 1] == '\t'))
        length--;
    line->text = data + start;
    line->length = length;
    line->number++;
    return true;
}

std::string line_name(const text_line &line) { return "line " + std::to_string(line.number); }

int hex_digit(uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool decode_hex_record(image_builder *builder, const text_line &line, size_t skip,
                       std::vector<uint8_t> *bytes)
{
    bytes->clear();
    for (size_t i = skip; i < line.length; i++)
        if (hex_digit(line.text[i]) < 0)
            return image_fail(builder, line_name(line),
                              text_printf("malformed record (character %u is not a hex digit)",
                                          (unsigned)(i + 1)));
    if ((line.length - skip) % 2)
        return image_fail(builder, line_name(line),
                          "malformed or truncated record (an odd number of hex digits)");
    for (size_t i = skip; i < line.length; i += 2)
        bytes->push_back((uint8_t)(hex_digit(line.text[i]) << 4 | hex_digit(line.text[i + 1])));
    return true;
}
