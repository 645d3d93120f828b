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

// One tick: at most one read and two requests.
void link_step(update_link *link);

// Entry action of `new_state` (usually building and sending its request), then
// `state` = `new_state`.
void link_enter(update_link *link, int32_t new_state);

// With `interval_ms` 0: restamp and return true. Otherwise true when more than
// `interval_ms` have passed since `*stamp`.
bool interval_elapsed(uint32_t *stamp, uint32_t interval_ms);

// Traces the received bytes as "RX: xx xx ...".
void dump_rx(const update_link *link);
