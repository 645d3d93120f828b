// Cuts the byte stream from the tool into requests. A known request is
// complete by its length, but only once its last byte could have crossed the
// line; anything else (an unknown function or sub-code, a length field out of
// range, a request cut short) ends at a silence of 3.5 character times.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct frame_assembler {
    int32_t baud; // 0: bytes count as arrived the moment they are read
    std::vector<uint8_t> pending;
    int64_t first_at_us; // when pending[0] began to arrive
    int64_t last_at_us;  // when the newest byte was read
};

enum assembled_kind {
    ASSEMBLED_NOTHING = 0,  // nothing complete yet
    ASSEMBLED_REQUEST = 1,  // a request by its length
    ASSEMBLED_SILENCE = 2,  // bytes of unknown layout, ended by silence
    ASSEMBLED_TRUNCATED = 3 // a known request cut short by silence: to be dropped
};

// The length of the request that starts with `bytes`: 0 while too few bytes
// are there to tell, -1 when only silence can end it.
int32_t request_length(const uint8_t *bytes, size_t count);

void assembler_init(frame_assembler *assembler, int32_t baud);
void assembler_push(frame_assembler *assembler, const uint8_t *bytes, size_t count, int64_t now_us);

// Moves the next complete frame into `*frame` and says what it is.
assembled_kind assembler_take(frame_assembler *assembler, int64_t now_us,
                              std::vector<uint8_t> *frame);

// When assembler_take may next have something; INT64_MAX when nothing waits.
int64_t assembler_next_check_us(const frame_assembler *assembler);
