// Motorola S-records: S0 header (ignored), S1/S2/S3 data with 16/24/32-bit
// addresses, S5/S6 record counts (checked), S7/S8/S9 end (its start address
// ignored: the bootloader starts the application itself). A file without an
// end record is whole when a count after its last data record says so: tools
// leave the end record out when their input had no start address.
#include "image_formats.h"

// Address bytes of each record type; 0 for a type that does not exist (S4).
static const size_t address_size[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

bool read_srec(image_builder *builder, const uint8_t *data, size_t size)
{
    size_t pos = 0;
    text_line line{nullptr, 0, 0};
    std::vector<uint8_t> record;
    uint64_t data_records = 0;
    bool counted = false; // a record count since the last data record
    int end_line = 0;
    while (next_line(data, size, &pos, &line)) {
        if (line.length == 0)
            continue;
        std::string where = line_name(line);
        if (end_line)
            return image_fail(builder, where,
                              "a record after the end record of line " + std::to_string(end_line));
        if (line.length < 2 || line.text[0] != 'S' || line.text[1] < '0' || line.text[1] > '9')
            return image_fail(builder, where,
                              "malformed record (it does not begin with 'S' and a digit)");
        int type = line.text[1] - '0';
        size_t address_bytes = address_size[type];
        if (!address_bytes)
            return image_fail(builder, where, text_printf("unknown record type S%d", type));
        if (!decode_hex_record(builder, line, 2, &record))
            return false;
        if (record.size() < address_bytes + 2)
            return image_fail(builder, where,
                              "truncated record (shorter than count, address and checksum)");
        size_t count = record[0];
        if (record.size() != count + 1)
            return image_fail(builder, where,
                              text_printf("bad byte count %u (the record holds %u bytes)",
                                          (unsigned)count, (unsigned)(record.size() - 1)));
        uint8_t sum = record_sum(record);
        if (sum != 0xFF)
            return image_fail(builder, where,
                              text_printf("bad checksum 0x%02X (the record's bytes give 0x%02X)",
                                          record.back(), (uint8_t)(record.back() + 0xFF - sum)));
        uint64_t address = 0;
        for (size_t i = 0; i < address_bytes; i++)
            address = address << 8 | record[1 + i];
        const uint8_t *payload = record.data() + 1 + address_bytes;
        size_t length = count - address_bytes - 1;
        switch (type) {
        case 1:
        case 2:
        case 3:
            if (!image_put(builder, address, payload, length, where))
                return false;
            data_records++;
            counted = false;
            break;
        case 5:
        case 6:
            if (address != data_records)
                return image_fail(builder, where,
                                  "bad record count " + std::to_string(address) + " (" +
                                      std::to_string(data_records) +
                                      " data records come before it)");
            counted = true;
            break;
        case 7:
        case 8:
        case 9: end_line = line.number; break;
        default: break; // S0: the header names the file, nothing to write
        }
    }
    if (!end_line && !counted)
        return image_fail(builder, "",
                          "no end record (S7, S8 or S9) and no record count (S5 or S6) after the "
                          "last data record: the file is truncated; if it is whole, give it an "
                          "end record (srec_cat " +
                              builder->name +
                              " -Execution_Start_Address 0x08000800 -o fixed.srec)");
    return true;
}
