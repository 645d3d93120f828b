#include "frames.h"

#include <cassert>
#include <cstring>

// Bytes 0-2 of every request: unit address, function code, sub-code.
static void put_header(update_link *link, uint8_t sub_code)
{
    link->frame[0] = (uint8_t)(link->unit_address & 0xFF);
    link->frame[1] = FUNC_PROGRAMMING;
    link->frame[2] = sub_code;
}

void build_program_block(update_link *t, uint32_t address, int32_t block_length,
                         const uint8_t *local_memory_address)
{
    // The assertion's text is what a failure reports: keep it as written.
    // clang-format off
    assert(local_memory_address!=0 && block_length>0 && block_length <= MODBUS_PROG_BLOCKSIZE_MAX);
    // clang-format on
    put_header(t, SUB_PROGRAM_BLOCK);
    put_be32(t->frame + 3, address);
    put_be16(t->frame + 7, (uint32_t)block_length);
    memcpy(t->frame + 9, local_memory_address, (size_t)block_length);
    t->len = block_length + PROGRAM_BLOCK_OVERHEAD;
    assert(t->len <= MODBUS_FRAME_LENGTH_MAX);
    frame_append_crc(t);
}

void build_address_query(update_link *link, uint32_t address, uint32_t length)
{
    put_header(link, SUB_ADDRESS_QUERY);
    put_be32(link->frame + 3, address);
    put_be32(link->frame + 7, length);
    link->len = ADDRESS_QUERY_LENGTH;
    frame_append_crc(link);
}

void build_reset(update_link *link)
{
    put_header(link, SUB_RESET);
    link->len = RESET_LENGTH;
    frame_append_crc(link);
}

void frame_append_crc(update_link *link) { frame_put_crc(link->frame, link->len); }

bool frame_is_valid(update_link *link)
{
    reply_kind kind = classify_reply(link->frame, link->len, nullptr, nullptr);
    if (kind == REPLY_BAD)
        link->error = FRAME_ERROR_CRC;
    return kind != REPLY_SHORT && kind != REPLY_BAD;
}

reply_kind classify_reply(const uint8_t *frame, int32_t length, uint8_t *exception_code,
                          uint16_t *range_crc)
{
    if (length < 4)
        return REPLY_SHORT;
    if (!frame_crc_ok(frame, length))
        return REPLY_BAD;
    if (length == EXCEPTION_FRAME_LENGTH && (frame[1] & REPLY_EXCEPTION_BIT)) {
        if (exception_code)
            *exception_code = frame[2];
        return REPLY_EXCEPTION;
    }
    if (length >= VERIFY_REPLY_LENGTH_MIN) {
        if (range_crc)
            *range_crc = get_be16(frame + VERIFY_REPLY_CRC_OFFSET);
        return REPLY_VERIFY;
    }
    return REPLY_ACK;
}

// The reply a request asks for repeats the request's first `echoed` bytes
// and adds `*added` of its own before its CRC; 0 echoed: no reply known.
static int32_t echoed_bytes(const uint8_t *request, int32_t *added)
{
    *added = 0;
    if (request[1] != FUNC_PROGRAMMING)
        return 0;
    switch (request[2]) {
    case SUB_PROGRAM_BLOCK: return 9; // header, address, length
    case SUB_ADDRESS_QUERY:
        *added = 2; // the range CRC
        return ADDRESS_QUERY_LENGTH - 2;
    case SUB_RESET: return RESET_LENGTH - 2;
    default: return 0;
    }
}

bool reply_is_whole(const uint8_t *request, int32_t request_length, const uint8_t *reply,
                    int32_t reply_length)
{
    if (request_length < RESET_LENGTH || !frame_crc_ok(reply, reply_length)) // the shortest request
        return false;
    if (reply_length == EXCEPTION_FRAME_LENGTH && reply[0] == request[0] &&
        reply[1] == (request[1] | REPLY_EXCEPTION_BIT))
        return true;
    int32_t added = 0;
    int32_t echoed = echoed_bytes(request, &added);
    return echoed > 0 && request_length >= echoed + 2 && reply_length == echoed + added + 2 &&
           memcmp(reply, request, (size_t)echoed) == 0;
}

// Modbus RTU sends the CRC low-order byte first, unlike every other field.
void frame_put_crc(uint8_t *frame, int32_t length)
{
    uint16_t crc = crc16_modbus(frame, length - 2);
    frame[length - 2] = (uint8_t)(crc & 0xFF);
    frame[length - 1] = (uint8_t)(crc >> 8);
}

bool frame_crc_ok(const uint8_t *frame, int32_t length)
{
    return length >= 4 && crc16_modbus(frame, length - 2) == get_le16(frame + length - 2);
}

uint16_t crc16_modbus(const uint8_t *data, int32_t length)
{
    uint16_t crc = 0xFFFF;
    for (int32_t i = 0; i < length; i++) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; bit++)
            crc = (crc & 1) ? (uint16_t)((crc >> 1) ^ 0xA001) : (uint16_t)(crc >> 1);
    }
    return crc;
}

void put_be32(uint8_t *p, uint32_t value)
{
    p[0] = (uint8_t)(value >> 24);
    p[1] = (uint8_t)(value >> 16);
    p[2] = (uint8_t)(value >> 8);
    p[3] = (uint8_t)value;
}

void put_be16(uint8_t *p, uint32_t value)
{
    p[0] = (uint8_t)(value >> 8);
    p[1] = (uint8_t)value;
}

uint32_t get_be32(const uint8_t *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

uint16_t get_be16(const uint8_t *p) { return (uint16_t)(p[0] * 256 + p[1]); }

uint16_t get_le16(const uint8_t *p) { return (uint16_t)(p[0] + p[1] * 256); }
