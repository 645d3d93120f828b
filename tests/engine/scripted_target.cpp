#include "scripted_target.h"

#include "fake_os.h"
#include "firmware_image.h"
#include "frame_bytes.h"
#include "frames.h"
#include "link_state_machine.h"

#include <cstdlib>

static const uint32_t FLASH_START = 0x08000000;

static uint32_t be32(const std::vector<uint8_t> &b, size_t at)
{
    return (uint32_t)b[at] << 24 | (uint32_t)b[at + 1] << 16 | (uint32_t)b[at + 2] << 8 | b[at + 3];
}

static std::vector<uint8_t> answer_program(scripted_target *t, const std::vector<uint8_t> &req)
{
    uint32_t address = be32(req, 3);
    size_t length = req.size() - 11;
    int block = (int)((address - FLASH_IMAGE_BASE) / 1024) + 1;
    bool first_send = t->blocks_seen.insert(block).second;
    if (first_send && t->drop_first_ack.count(block))
        return {};
    std::copy(req.begin() + 9, req.begin() + 9 + (long)length,
              t->flash.begin() + (address - FLASH_START));
    auto ack = with_crc(std::vector<uint8_t>(req.begin(), req.begin() + 9));
    if (first_send && t->late_ack.count(block)) {
        t->held_ack = ack;
        return {};
    }
    return ack;
}

static std::vector<uint8_t> answer_query(scripted_target *t, const std::vector<uint8_t> &req)
{
    uint32_t address = be32(req, 3);
    uint32_t length = be32(req, 7);
    if (length != 4 && !t->verify_reply.empty())
        return t->verify_reply;
    uint16_t crc = crc16_modbus(t->flash.data() + (address - FLASH_START), (int32_t)length);
    crc = (uint16_t)(crc + t->crc_error);
    std::vector<uint8_t> reply(req.begin(), req.begin() + 11);
    reply.push_back((uint8_t)(crc >> 8));
    reply.push_back((uint8_t)(crc & 0xFF));
    return with_crc(reply);
}

static void answer(scripted_target *t, const std::vector<uint8_t> &req, uint32_t now)
{
    if (t->silent)
        return;
    if (!t->held_ack.empty()) {
        fake_deliver(now + 10, t->held_ack);
        t->held_ack.clear();
    }
    std::vector<uint8_t> reply;
    switch (req[2]) {
    case 0xF2: reply = answer_program(t, req); break;
    case 0xF3: reply = answer_query(t, req); break;
    case 0xF4:
        if (t->resets++ >= t->ignore_reset)
            reply = req;
        break;
    }
    if (!reply.empty())
        fake_deliver(now + t->reply_delay_ms, reply);
}

void attach_target(scripted_target *target)
{
    fake.on_write = [target](const std::vector<uint8_t> &req, uint32_t now) {
        answer(target, req, now);
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
    while (steps < max_steps && link->state != STATE_DONE && link->state != STATE_FAILED) {
        link_step(link);
        steps++;
        fake.now += 10; // the window timer fires 10 ms after the step returns
    }
    return steps;
}
