// The target of a fuzzed update run: it answers each request written to the
// fake port as the next bytes of the fuzz input say, from the correct reply
// through damaged, split, repeated or late ones to silence.
#pragma once

#include "fuzz_input.h"

#include <cstdint>
#include <vector>

// The first input byte of each answer, modulo REPLY_KIND_COUNT.
enum reply_kind {
    REPLY_CORRECT,         // delay
    REPLY_SILENCE,         // (nothing more)
    REPLY_CORRUPTED,       // delay, position, xor mask: one byte of the correct reply changed
    REPLY_BYTES_WITH_CRC,  // delay, count, bytes: input bytes as a frame with a valid CRC
    REPLY_RAW_BYTES,       // delay, count, bytes: input bytes as they are
    REPLY_WRONG_RANGE_CRC, // delay, mask high, mask low: a valid verify reply, range CRC off
    REPLY_TWICE,           // delay, second delay: the correct reply, then again
    REPLY_TRUNCATED,       // delay, kept: the correct reply cut, with a valid CRC
    REPLY_EXTENDED,        // delay, count, bytes: the correct reply with more bytes before its CRC
    REPLY_SPLIT,           // delay, cut, gap: the correct reply in two parts
    REPLY_SILENT_FROM_NOW, // (nothing more): no answer to this or any later request
    REPLY_KIND_COUNT
};

// When the input is used up, every request gets the correct reply this late.
#define DEFAULT_REPLY_DELAY_MS 5u

struct fuzzed_target {
    fuzz_input *input;
    const uint8_t *image; // the padded image, as a target that took every block holds it
    int32_t image_size;
    uint16_t image_crc; // of the whole padded image, by the reference CRC
    bool silent;
};

// Answers `request`, written at tick `now`, through fake_deliver.
void answer_request(fuzzed_target *target, const std::vector<uint8_t> &request, uint32_t now);

// The reply a correct target gives to `request`, CRC appended.
std::vector<uint8_t> correct_reply(const fuzzed_target *target,
                                   const std::vector<uint8_t> &request);
