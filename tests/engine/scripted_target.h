// A well-behaved KEP target for the engine tests, scripted through the fake
// port: it answers each request after a delay and can be told to misbehave.
#pragma once

#include "frame_bytes.h"
#include "update_link.h"

#include <cstdint>
#include <set>
#include <vector>

struct scripted_target {
    uint32_t reply_delay_ms = 5;
    std::set<int> drop_first_ack;      // program blocks, counted from 1
    std::set<int> late_ack;            // first ack held back until just after the next request
    int ignore_reset = 0;              // reset requests left unanswered
    int crc_error = 0;                 // added to the range CRC it reports
    std::vector<uint8_t> verify_reply; // sent instead of the true verify reply
    bool silent = false;
    std::vector<uint8_t> flash = std::vector<uint8_t>(128 * 1024, 0xFF);

    int resets = 0;
    std::set<int> blocks_seen;
    std::vector<uint8_t> held_ack;
};

// Makes `target` answer every request written to the fake port.
void attach_target(scripted_target *target);

// A link record with its frame buffer and a padded image of `image_bytes`.
struct test_link {
    update_link link{};
    std::vector<uint8_t> frame = std::vector<uint8_t>(MODBUS_FRAME_LENGTH_MAX);
    explicit test_link(const std::vector<uint8_t> &image_bytes);
    ~test_link();
    test_link(const test_link &) = delete;
    test_link &operator=(const test_link &) = delete;
};

// Deterministic image content of `size` bytes.
std::vector<uint8_t> pattern_image(int size);

// Steps the link every 10 ms, as the window timer does, until it reaches a
// final state or `max_steps` steps. Returns the number of steps taken.
int run_link(update_link *link, int max_steps = 5000);
