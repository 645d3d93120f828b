#include "fake_target.h"

#include "fake_os.h"
#include "firmware_image.h"
#include "link_state_machine.h"

#include <cstdlib>

void fake_deliver_plan(const reply_plan *plan, uint32_t at)
{
    if (plan->bytes.empty())
        return;
    at += (uint32_t)plan->delay_ms;
    const std::vector<uint8_t> &bytes = plan->bytes;
    for (int32_t copy = 0; copy < plan->copies; copy++) {
        if (plan->split_at > 0 && plan->split_at < bytes.size()) {
            auto middle = bytes.begin() + (long)plan->split_at;
            fake_deliver(at, std::vector<uint8_t>(bytes.begin(), middle));
            fake_deliver(at + (uint32_t)plan->split_gap_ms,
                         std::vector<uint8_t>(middle, bytes.end()));
        } else {
            fake_deliver(at, bytes);
        }
        at += FAKE_DUPLICATE_GAP_MS;
    }
}

void attach_target(target_model *target, uint32_t line_delay_ms)
{
    fake.on_write = [target, line_delay_ms](const std::vector<uint8_t> &request, uint32_t now) {
        reply_plan plan = target_handle_request(target, request.data(), request.size());
        fake_deliver_plan(&plan, now + line_delay_ms);
    };
}

test_link::test_link(const std::vector<uint8_t> &image_bytes)
{
    link.port_name = "fake";
    link.handle = reinterpret_cast<port_handle>(&link); // any non-null handle: never read through
    link.baud = 115200;
    link.unit_address = UNIT_ADDRESS;
    link.capacity = MODBUS_FRAME_LENGTH_MAX;
    link.frame = frame.data();
    link.state = STATE_START;
    set_firmware_image(&link, image_bytes.data(), (int32_t)image_bytes.size());
}

test_link::~test_link() { free(link.image); }

std::vector<uint8_t> pattern_image(int size)
{
    std::vector<uint8_t> bytes((size_t)size);
    uint32_t x = 12345;
    for (auto &b : bytes) {
        x = x * 1103515245u + 12345u;
        b = (uint8_t)(x >> 16);
    }
    return bytes;
}

int run_link(update_link *link, int max_steps)
{
    int steps = 0;
    while (steps < max_steps && link->state != STATE_DONE && link->state != STATE_FAILED &&
           link->state != STATE_LINKED) {
        link_step(link);
        steps++;
        fake.now += 10; // the window timer fires 10 ms after the step returns
    }
    return steps;
}
