#include "fuzzed_target.h"

#include "fake_os.h"
#include "reference_crc.h"

#include <algorithm>

static void append_crc(std::vector<uint8_t> *bytes)
{
    uint16_t crc = reference_crc(bytes->data(), bytes->size());
    bytes->push_back((uint8_t)(crc & 0xFF));
    bytes->push_back((uint8_t)(crc >> 8));
}

static uint32_t be32_at(const std::vector<uint8_t> &bytes, size_t at)
{
    return (uint32_t)bytes[at] << 24 | (uint32_t)bytes[at + 1] << 16 |
           (uint32_t)bytes[at + 2] << 8 | bytes[at + 3];
}

// A query is answered with its own first 11 bytes and the CRC of the range
// (from the image's start, at most the whole image), high byte first.
static std::vector<uint8_t> query_reply_body(const fuzzed_target *target,
                                             const std::vector<uint8_t> &request, uint16_t mask)
{
    std::vector<uint8_t> body(request.begin(), request.begin() + 11);
    uint32_t length = std::min(be32_at(request, 7), (uint32_t)target->image_size);
    uint16_t range_crc = length == (uint32_t)target->image_size
                             ? target->image_crc
                             : reference_crc(target->image, length);
    uint16_t crc = (uint16_t)(range_crc ^ mask);
    body.push_back((uint8_t)(crc >> 8));
    body.push_back((uint8_t)(crc & 0xFF));
    return body;
}

// The correct reply without its CRC; empty for a request no target knows.
static std::vector<uint8_t> correct_body(const fuzzed_target *target,
                                         const std::vector<uint8_t> &request)
{
    if (request.size() >= 11 && request[2] == 0xF2)
        return std::vector<uint8_t>(request.begin(), request.begin() + 9);
    if (request.size() >= 13 && request[2] == 0xF3)
        return query_reply_body(target, request, 0);
    if (request.size() >= 5 && request[2] == 0xF4)
        return std::vector<uint8_t>(request.begin(), request.begin() + 3);
    return {};
}

std::vector<uint8_t> correct_reply(const fuzzed_target *target, const std::vector<uint8_t> &request)
{
    std::vector<uint8_t> reply = correct_body(target, request);
    if (!reply.empty())
        append_crc(&reply);
    return reply;
}

static uint32_t delay_ms(fuzz_input *input) { return (uint32_t)input_byte(input) * 3; }

// Mostly short, sometimes around the frame buffer's 1040 bytes.
static size_t byte_count(fuzz_input *input)
{
    uint8_t n = input_byte(input);
    return n < 250 ? n : 1030 + (size_t)(n - 250) * 3;
}

static std::vector<uint8_t> input_bytes(fuzz_input *input, size_t count)
{
    std::vector<uint8_t> bytes(count);
    for (auto &b : bytes)
        b = input_byte(input);
    return bytes;
}

void answer_request(fuzzed_target *target, const std::vector<uint8_t> &request, uint32_t now)
{
    if (target->silent)
        return;
    if (!input_left(target->input)) {
        fake_deliver(now + DEFAULT_REPLY_DELAY_MS, correct_reply(target, request));
        return;
    }
    fuzz_input *input = target->input;
    int kind = input_byte(input) % REPLY_KIND_COUNT;
    if (kind == REPLY_SILENCE)
        return;
    if (kind == REPLY_SILENT_FROM_NOW) {
        target->silent = true;
        return;
    }
    uint32_t at = now + delay_ms(input);
    std::vector<uint8_t> reply = correct_reply(target, request);
    switch (kind) {
    case REPLY_CORRUPTED:
        if (!reply.empty()) {
            size_t position = input_byte(input) % reply.size();
            uint8_t mask = input_byte(input);
            reply[position] ^= mask != 0 ? mask : 1;
        }
        break;
    case REPLY_BYTES_WITH_CRC:
        reply = input_bytes(input, byte_count(input));
        append_crc(&reply);
        break;
    case REPLY_RAW_BYTES: reply = input_bytes(input, byte_count(input)); break;
    case REPLY_WRONG_RANGE_CRC: {
        uint8_t high = input_byte(input);
        uint8_t low = input_byte(input);
        uint16_t mask = (uint16_t)(high << 8 | low);
        std::vector<uint8_t> query = request;
        query.resize(std::max<size_t>(query.size(), 13), 0);
        reply = query_reply_body(target, query, mask != 0 ? mask : 1);
        append_crc(&reply);
        break;
    }
    case REPLY_TWICE: fake_deliver(at + delay_ms(input), reply); break;
    case REPLY_TRUNCATED: {
        std::vector<uint8_t> body = correct_body(target, request);
        body.resize(input_byte(input) % (body.size() + 1));
        reply = body;
        append_crc(&reply);
        break;
    }
    case REPLY_EXTENDED: {
        std::vector<uint8_t> body = correct_body(target, request);
        std::vector<uint8_t> more = input_bytes(input, byte_count(input));
        body.insert(body.end(), more.begin(), more.end());
        reply = body;
        append_crc(&reply);
        break;
    }
    case REPLY_SPLIT: {
        size_t cut = reply.empty() ? 0 : input_byte(input) % reply.size();
        uint32_t gap = input_byte(input);
        std::vector<uint8_t> rest(reply.begin() + (long)cut, reply.end());
        reply.resize(cut);
        fake_deliver(at + gap, rest);
        break;
    }
    default: break; // REPLY_CORRECT
    }
    fake_deliver(at, reply);
}
