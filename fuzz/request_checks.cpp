#include "request_checks.h"

#include "fuzz_check.h"
#include "frames.h"

#include <cstring>

static void check_query(const update_link *link, const std::vector<uint8_t> &request)
{
    FUZZ_CHECK(request.size() == 13, "0xF3 request of %zu bytes", request.size());
    uint32_t address = get_be32(&request[3]);
    uint32_t length = get_be32(&request[7]);
    FUZZ_CHECK(address == FLASH_IMAGE_BASE, "0xF3 request for address %#x", address);
    bool contacting = link->state == STATE_INIT || link->state == STATE_CONTACT;
    bool verifying = link->state == STATE_PROGRAM || link->state == STATE_VERIFY;
    FUZZ_CHECK(contacting || verifying, "0xF3 request sent in state %d", link->state);
    uint32_t expected = contacting ? 4u : (uint32_t)link->image_size;
    FUZZ_CHECK(length == expected, "0xF3 request in state %d for %u bytes, expected %u",
               link->state, length, expected);
}

static void check_program_block(const update_link *link, const std::vector<uint8_t> &padded_image,
                                const std::vector<uint8_t> &request)
{
    FUZZ_CHECK(link->state == STATE_CONTACT || link->state == STATE_PROGRAM,
               "0xF2 request sent in state %d", link->state);
    FUZZ_CHECK(request.size() >= 12 && request.size() <= 11 + MODBUS_PROG_BLOCKSIZE_MAX,
               "0xF2 request of %zu bytes", request.size());
    size_t data_length = request.size() - 11;
    FUZZ_CHECK(data_length == (size_t)link->block_length,
               "0xF2 request with %zu data bytes, block_length %d", data_length,
               link->block_length);
    FUZZ_CHECK(request[7] == (uint8_t)(data_length >> 8) && request[8] == (uint8_t)data_length,
               "0xF2 length field %02x %02x for %zu data bytes", request[7], request[8],
               data_length);
    uint32_t address = get_be32(&request[3]);
    FUZZ_CHECK(address == FLASH_IMAGE_BASE + (uint32_t)link->offset,
               "0xF2 request for address %#x at offset %d", address, link->offset);
    FUZZ_CHECK(link->offset >= 0 && (size_t)link->offset + data_length <= padded_image.size(),
               "0xF2 request for %zu bytes at offset %d of a %zu-byte image", data_length,
               link->offset, padded_image.size());
    FUZZ_CHECK(memcmp(request.data() + 9, padded_image.data() + link->offset, data_length) == 0,
               "0xF2 request data differ from the image at offset %d", link->offset);
}

static void check_reset(const update_link *link, const std::vector<uint8_t> &request)
{
    static const uint8_t reset_request[] = {0x04, 0x2b, 0xf4, 0x2f, 0x76};
    FUZZ_CHECK(link->state == STATE_VERIFY || link->state == STATE_RESET,
               "0xF4 request sent in state %d", link->state);
    FUZZ_CHECK(request.size() == sizeof reset_request &&
                   memcmp(request.data(), reset_request, sizeof reset_request) == 0,
               "0xF4 request of %zu bytes is not 04 2b f4 2f 76", request.size());
}

void check_request(const update_link *link, const std::vector<uint8_t> &padded_image,
                   const std::vector<uint8_t> &request)
{
    FUZZ_CHECK(request.size() >= 5, "request of %zu bytes", request.size());
    FUZZ_CHECK(request[0] == UNIT_ADDRESS && request[1] == 0x2B,
               "request header %02x %02x, expected 04 2b", request[0], request[1]);
    FUZZ_CHECK(frame_crc_ok(request.data(), (int32_t)request.size()),
               "request with sub-code %#x has a wrong CRC", request[2]);
    switch (request[2]) {
    case 0xF2: check_program_block(link, padded_image, request); break;
    case 0xF3: check_query(link, request); break;
    case 0xF4: check_reset(link, request); break;
    default: FUZZ_CHECK(false, "request with unknown sub-code %#x", request[2]);
    }
}
