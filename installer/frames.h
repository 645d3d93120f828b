// The wire format: Modbus-RTU-style request frames with function code 0x2B and
// three private sub-codes, the acceptance test for replies, and the CRC.
#pragma once

#include "update_link.h"

#include <cstdint>

#define FUNC_PROGRAMMING 0x2B
#define SUB_PROGRAM_BLOCK 0xF2
#define SUB_ADDRESS_QUERY 0xF3
#define SUB_RESET 0xF4

// Sizes of the fixed parts of the frames.
#define PROGRAM_BLOCK_OVERHEAD 11 // header, address, length, CRC
#define ADDRESS_QUERY_LENGTH 13
#define RESET_LENGTH 5

void build_program_block(update_link *t, uint32_t address, int32_t block_length,
                         const uint8_t *local_memory_address);
void build_address_query(update_link *link, uint32_t address, uint32_t length);
void build_reset(update_link *link);

// `error` of a link once a received frame has failed its CRC.
#define FRAME_ERROR_CRC 5

// The link's request: its last two bytes become the CRC of the others.
void frame_append_crc(update_link *link);
// The link's reply: false when shorter than 4 bytes or its CRC is wrong (then
// `error` becomes FRAME_ERROR_CRC).
bool frame_is_valid(update_link *link);

// What a received frame is, decided on its bytes alone.
enum reply_kind {
    REPLY_SHORT,     // fewer than 4 bytes: no frame at all
    REPLY_BAD,       // its CRC is wrong
    REPLY_EXCEPTION, // the 5-byte exception frame: function code with its high bit set
    REPLY_VERIFY,    // long enough to carry a range CRC at bytes 11-12
    REPLY_ACK,       // any other frame with a right CRC
};
#define REPLY_EXCEPTION_BIT 0x80
#define EXCEPTION_FRAME_LENGTH 5
// A verify reply carries the range CRC at bytes 11-12 and its own frame CRC
// after them.
#define VERIFY_REPLY_LENGTH_MIN 15
#define VERIFY_REPLY_CRC_OFFSET 11

// Sets *exception_code for REPLY_EXCEPTION and *range_crc for REPLY_VERIFY
// (either may be null).
reply_kind classify_reply(const uint8_t *frame, int32_t length, uint8_t *exception_code,
                          uint16_t *range_crc);

// True when `reply` is complete as it stands: the exception frame for
// `request`, or exactly the reply that `request` asks for (the block's
// acknowledgement, the query's reply with its range CRC, the reset's echo)
// with every field it echoes and a right CRC. A reader may stop there;
// anything else (a part of it, the answer to another request, one byte more)
// is for the silence after it to end. The engine's acceptance is not this: it
// stays frame_is_valid.
bool reply_is_whole(const uint8_t *request, int32_t request_length, const uint8_t *reply,
                    int32_t reply_length);

// The same on plain bytes, for anything that builds or checks frames.
void frame_put_crc(uint8_t *frame, int32_t length);
bool frame_crc_ok(const uint8_t *frame, int32_t length);

uint16_t crc16_modbus(const uint8_t *data, int32_t length);

void put_be32(uint8_t *p, uint32_t value);
void put_be16(uint8_t *p, uint32_t value);
uint32_t get_be32(const uint8_t *p);
uint16_t get_be16(const uint8_t *p);
uint16_t get_le16(const uint8_t *p);
