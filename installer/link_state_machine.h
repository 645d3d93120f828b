// The state machine that runs one update from first contact to reset, one
// bounded step per call.
#pragma once

#include "update_link.h"

#include <cstdint>

#define CONTACT_TIMEOUT_MS 100u
#define PROGRAM_TIMEOUT_MS 500u
#define RESET_TIMEOUT_MS 100u
#define CONTACT_PAUSE_MS 100u
#define CONTACT_QUERY_LENGTH 4u
// With `prompt_contact`: the contact request is asked again this often.
#define PROMPT_CONTACT_RESEND_MS 40u
// ...and once answered, the line must be quiet this long before the first block.
#define PROMPT_CONTACT_QUIET_MS 5u
#define PROMPT_CONTACT_QUIET_READS 10
// With `skip_unchanged`: after this many blocks in a row differ, the blocks
// after them are written unasked for a stretch as long as the run so far.
#define COMPARE_DIFFERING_RUN 4

// One tick: at most one read and two requests.
void link_step(update_link *link);

// Entry action of `new_state` (usually building and sending its request), then
// `state` = `new_state`.
void link_enter(update_link *link, int32_t new_state);

// The block at `offset` comes next: the verify when none is left, else the
// block's question (`skip_unchanged`) or the block itself.
void link_enter_next_block(update_link *link);

// With `interval_ms` 0: restamp and return true. Otherwise true when more than
// `interval_ms` have passed since `*stamp`.
bool interval_elapsed(uint32_t *stamp, uint32_t interval_ms);

// Traces the received bytes as "RX: xx xx ...".
void dump_rx(const update_link *link);
