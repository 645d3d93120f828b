// Intel HEX: data (00), end of file (01), extended segment (02) and linear (04)
// addresses. Start addresses (03, 05) are read and ignored: the bootloader
// starts the application through its own vector table.
#include "image_formats.h"

static bool expect_count(image_builder *builder, const std::string &where, int type, size_t count,
                         size_t wanted)
{
    if (count == wanted)
        return true;
    return image_fail(builder, where,
                      text_printf("bad byte count %u for a type %02X record (it holds %u)",
                                  (unsigned)count, type, (unsigned)wanted));
}

bool read_intel_hex(image_builder *builder, const uint8_t *data, size_t size)
{
    size_t pos = 0;
    text_line line{nullptr, 0, 0};
    std::vector<uint8_t> record;
    uint64_t base = 0;
    int end_line = 0;
    while (next_line(data, size, &pos, &line)) {
        if (line.length == 0)
            continue;
        std::string where = line_name(line);
        if (end_line)
            return image_fail(builder, where,
                              "a record after the end-of-file record of line " +
                                  std::to_string(end_line));
        if (line.text[0] != ':')
            return image_fail(builder, where, "malformed record (it does not begin with ':')");
        if (!decode_hex_record(builder, line, 1, &record))
            return false;
        if (record.size() < 5)
            return image_fail(builder, where,
                              "truncated record (shorter than count, address, type and checksum)");
        size_t count = record[0];
        if (record.size() != count + 5)
            return image_fail(builder, where,
                              text_printf("bad byte count %u (the record holds %u data bytes)",
                                          (unsigned)count, (unsigned)(record.size() - 5)));
        uint8_t sum = record_sum(record);
        if (sum != 0)
            return image_fail(builder, where,
                              text_printf("bad checksum 0x%02X (the record's bytes give 0x%02X)",
                                          record.back(), (uint8_t)(record.back() - sum)));
        uint32_t offset = (uint32_t)(record[1] << 8 | record[2]);
        int type = record[3];
        const uint8_t *payload = record.data() + 4;
        uint32_t upper = count >= 2 ? (uint32_t)(payload[0] << 8 | payload[1]) : 0;
        switch (type) {
        case 0x00:
            if (!image_put(builder, base + offset, payload, count, where))
                return false;
            break;
        case 0x01:
            if (!expect_count(builder, where, type, count, 0))
                return false;
            end_line = line.number;
            break;
        case 0x02:
            if (!expect_count(builder, where, type, count, 2))
                return false;
            base = (uint64_t)upper << 4;
            break;
        case 0x04:
            if (!expect_count(builder, where, type, count, 2))
                return false;
            base = (uint64_t)upper << 16;
            break;
        case 0x03:
        case 0x05:
            if (!expect_count(builder, where, type, count, 4))
                return false;
            break;
        default: return image_fail(builder, where, text_printf("unknown record type %02X", type));
        }
    }
    if (!end_line)
        return image_fail(builder, "", "no end-of-file record (type 01): the file is truncated");
    return true;
}
