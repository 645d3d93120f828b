#include "frame_assembler.h"

#include "frames.h"
#include "line_timing.h"

#include <cstdint>

int32_t request_length(const uint8_t *bytes, size_t count)
{
    if (count < 3)
        return 0;
    if (bytes[1] != FUNC_PROGRAMMING)
        return -1;
    switch (bytes[2]) {
    case SUB_PROGRAM_BLOCK: {
        if (count < 9)
            return 0;
        int32_t data_length = get_be16(bytes + 7);
        if (data_length == 0 || data_length > MODBUS_PROG_BLOCKSIZE_MAX)
            return -1;
        return data_length + PROGRAM_BLOCK_OVERHEAD;
    }
    case SUB_ADDRESS_QUERY: return ADDRESS_QUERY_LENGTH;
    case SUB_RESET: return RESET_LENGTH;
    default: return -1;
    }
}

void assembler_init(frame_assembler *assembler, int32_t baud)
{
    assembler->baud = baud;
    assembler->pending.clear();
    assembler->first_at_us = 0;
    assembler->last_at_us = 0;
}

void assembler_push(frame_assembler *assembler, const uint8_t *bytes, size_t count, int64_t now_us)
{
    if (count == 0)
        return;
    if (assembler->pending.empty())
        assembler->first_at_us = now_us;
    assembler->pending.insert(assembler->pending.end(), bytes, bytes + count);
    assembler->last_at_us = now_us;
}

// Bytes that reach the pty together still take their wire time: the line is
// busy until the last of them has crossed it.
static int64_t line_quiet_from(const frame_assembler *assembler)
{
    int64_t wire_end =
        assembler->first_at_us + wire_time_us((int64_t)assembler->pending.size(), assembler->baud);
    return wire_end > assembler->last_at_us ? wire_end : assembler->last_at_us;
}

static int32_t pending_request_length(const frame_assembler *assembler)
{
    return request_length(assembler->pending.data(), assembler->pending.size());
}

int64_t assembler_next_check_us(const frame_assembler *assembler)
{
    if (assembler->pending.empty())
        return INT64_MAX;
    int32_t length = pending_request_length(assembler);
    if (length > 0 && assembler->pending.size() >= (size_t)length)
        return assembler->first_at_us + wire_time_us(length, assembler->baud);
    return line_quiet_from(assembler) + frame_silence_us(assembler->baud);
}

assembled_kind assembler_take(frame_assembler *assembler, int64_t now_us,
                              std::vector<uint8_t> *frame)
{
    if (assembler->pending.empty() || now_us < assembler_next_check_us(assembler))
        return ASSEMBLED_NOTHING;
    std::vector<uint8_t> &pending = assembler->pending;
    int32_t length = pending_request_length(assembler);
    if (length > 0 && pending.size() >= (size_t)length) {
        frame->assign(pending.begin(), pending.begin() + length);
        pending.erase(pending.begin(), pending.begin() + length);
        // What follows was on the wire right behind this request.
        assembler->first_at_us += wire_time_us(length, assembler->baud);
        return ASSEMBLED_REQUEST;
    }
    *frame = pending;
    pending.clear();
    return length >= 0 ? ASSEMBLED_TRUNCATED : ASSEMBLED_SILENCE;
}
