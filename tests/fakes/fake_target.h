// kep-sim's target model behind the fake port: each request written reaches
// the model, and its reply arrives on the fake clock as the model plans it.
#pragma once

#include "target_model.h"
#include "update_link.h"

#include <cstdint>
#include <vector>

// A reply starts this long after its request, before the model's own delay.
#define FAKE_LINE_DELAY_MS 5u
// A duplicated reply follows the first this much later.
#define FAKE_DUPLICATE_GAP_MS 30u

// Queues the replies of `plan` on the fake port, the first starting at `at`.
void fake_deliver_plan(const reply_plan *plan, uint32_t at);

// Makes `target` answer every request written to the fake port, each reply
// starting `line_delay_ms` after its request plus the model's own delay.
void attach_target(target_model *target, uint32_t line_delay_ms = FAKE_LINE_DELAY_MS);

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
