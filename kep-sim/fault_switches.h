// The ways the simulated target can be told to misbehave. Blocks are counted
// from 1 by address: block K starts at 0x08000800 + (K - 1) * 1024. 0 is off.
#pragma once

#include <cstdint>

struct block_delay {
    int32_t block;
    int32_t ms;
};

struct fault_switches {
    int32_t drop_ack;           // no reply to the first send of this block
    block_delay late_ack;       // the first ack of this block leaves ms later
    int32_t corrupt_ack;        // the first ack of this block has a bad CRC
    block_delay split_ack;      // the first ack of this block in two pieces, ms apart
    int32_t duplicate_ack;      // the first ack of this block is sent twice
    int32_t exception;          // every send of this block: exception 0x02, not written
    int32_t ignore_contact;     // no answer to this many contact queries
    bool silent;                // never answers anything
    bool wrong_verify;          // the range CRC of a verify reply is off by one
    bool short_verify;          // a CRC-valid 5-byte reply to the verify query
    bool forged_verify;         // first verify reply: 13 bytes whose own CRC reads as the range CRC
    int32_t ignore_reset;       // no answer to this many reset requests
    int32_t hangup_after;       // unplug after acknowledging this block
    int32_t stop_reading_after; // read nothing more after acknowledging this block
    int32_t freeze_after;       // answer nothing more after acknowledging this block
    bool restart_on_reset;      // restart on the reset request: no answer, line gone
    int32_t flash_kib;          // a part with this much flash: beyond it, exceptions
    bool refuse_small_ranges;   // exception 0x03 to a range query under a block, the contact's aside
};
