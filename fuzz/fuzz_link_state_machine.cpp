// Fuzz target: whole update runs from STATE_START, stepped every 10 ms like
// the window timer does, against kep-sim's target model with a fault switch
// from the input, over a line that the input makes lose, damage, repeat,
// split or delay each reply. Input: blocks (1 to 4), bytes cut from the last
// block (0 to 255), image pattern seed, fault switch, its block and time, the
// programming time, then one line effect per request written.
// Checked: every request is well formed and a program block carries the
// image's own bytes; nothing is sent once the run has ended; a run ends DONE
// only with the whole padded image in the target's flash; once the line works
// again, a run ends. The sanitizers watch every read into the frame buffer.
// The seed corpus (tests/fuzz/corpus/fuzz_link_state_machine) is committed,
// one short input per fault or line effect, each file named after it; edit a
// seed with any hex editor, following the layout above.
#include "fake_os.h"
#include "fake_target.h"
#include "frame_bytes.h"
#include "fuzz_check.h"
#include "link_state_machine.h"

#include <algorithm>
#include <cstring>

// Enough for every state to time out many times over; a clean run takes ~10.
#define MAX_STEPS 3000
// Once the line is dead and nothing is on its way, every later step repeats
// the last time-out cycle: this many show that it does.
#define DEAD_STEPS_MAX 60

namespace
{

// What the line does to the model's reply to one request: the first input
// byte of each, modulo LINE_EFFECT_COUNT, then the parameters named.
enum line_effect {
    LINE_AS_PLANNED,    // delay
    LINE_LOST,          // (nothing more)
    LINE_CORRUPTED,     // delay, position, xor mask: one byte changed
    LINE_RESHAPED,      // delay, kept, count, bytes: the reply cut, input bytes after, a valid CRC
    LINE_RAW_BYTES,     // delay, count, bytes: input bytes as they are
    LINE_TWICE,         // delay
    LINE_SPLIT,         // delay, cut, gap: the reply in two parts
    LINE_DEAD_FROM_NOW, // (nothing more): no reply to this or any later request
    LINE_EFFECT_COUNT
};

// The input read front to back; bytes past its end read as 0.
struct fuzz_run {
    const uint8_t *data;
    size_t size, at;
    update_link *link;
    std::vector<uint8_t> padded_image; // the harness's own padding of the image
    target_model target;
    bool line_dead;
};

uint8_t input_byte(fuzz_run *run) { return run->at < run->size ? run->data[run->at++] : 0; }

// Mostly short, sometimes around the frame buffer's 1040 bytes.
std::vector<uint8_t> input_bytes(fuzz_run *run)
{
    uint8_t n = input_byte(run);
    std::vector<uint8_t> bytes(n < 250 ? n : 1030 + (size_t)(n - 250) * 3);
    for (auto &b : bytes)
        b = input_byte(run);
    return bytes;
}

fault_switches input_faults(fuzz_run *run)
{
    uint8_t which = input_byte(run);
    int32_t block = 1 + input_byte(run) % 4;
    int32_t ms = input_byte(run) * 4;
    fault_switches f{};
    switch (which % 12) {
    case 1: f.drop_ack = block; break;
    case 2: f.late_ack = {block, ms}; break;
    case 3: f.corrupt_ack = block; break;
    case 4: f.split_ack = {block, ms / 8}; break;
    case 5: f.duplicate_ack = block; break;
    case 6: f.exception = block; break;
    case 7: f.ignore_contact = block; break;
    case 8: f.wrong_verify = true; break;
    case 9: f.short_verify = true; break;
    case 10: f.forged_verify = true; break;
    case 11: f.ignore_reset = block; break;
    default: break;
    }
    return f;
}

void check_request(const fuzz_run *run, const std::vector<uint8_t> &request)
{
    FUZZ_CHECK(run->link->state != STATE_DONE && run->link->state != STATE_FAILED,
               "a request after the end");
    size_t size = request.size();
    FUZZ_CHECK(size >= RESET_LENGTH && request[0] == UNIT_ADDRESS &&
                   request[1] == FUNC_PROGRAMMING && frame_crc_ok(request.data(), (int32_t)size),
               "a malformed request of %zu bytes", size);
    uint32_t offset = size >= 9 ? get_be32(&request[3]) - FLASH_IMAGE_BASE : 0;
    size_t length = size - PROGRAM_BLOCK_OVERHEAD;
    FUZZ_CHECK(
        (request[2] == SUB_RESET && size == RESET_LENGTH) ||
            (request[2] == SUB_ADDRESS_QUERY && size == ADDRESS_QUERY_LENGTH && offset == 0) ||
            (request[2] == SUB_PROGRAM_BLOCK && size > PROGRAM_BLOCK_OVERHEAD &&
             get_be16(&request[7]) == length && offset + length <= run->padded_image.size() &&
             memcmp(&request[9], &run->padded_image[offset], length) == 0),
        "a request 0x%02x of %zu bytes at offset %u is not the image's", request[2], size, offset);
}

// The model answers `request`; the line then does to the reply what the input says.
void answer_request(fuzz_run *run, const std::vector<uint8_t> &request, uint32_t now)
{
    reply_plan plan = target_handle_request(&run->target, request.data(), request.size());
    if (run->line_dead)
        return;
    if (run->at >= run->size)
        return fake_deliver_plan(&plan, now + FAKE_LINE_DELAY_MS);
    int effect = input_byte(run) % LINE_EFFECT_COUNT;
    run->line_dead = effect == LINE_DEAD_FROM_NOW;
    if (effect == LINE_LOST || run->line_dead)
        return;
    uint32_t at = now + (uint32_t)input_byte(run) * 3;
    std::vector<uint8_t> &reply = plan.bytes;
    switch (effect) {
    case LINE_CORRUPTED:
        if (!reply.empty()) {
            size_t position = input_byte(run) % reply.size();
            reply[position] ^= std::max<uint8_t>(input_byte(run), 1);
        }
        break;
    case LINE_RESHAPED: {
        reply.resize(input_byte(run) % (std::max<size_t>(reply.size(), 2) - 1)); // no CRC
        std::vector<uint8_t> more = input_bytes(run);
        reply.insert(reply.end(), more.begin(), more.end());
        reply = with_crc(reply);
        break;
    }
    case LINE_RAW_BYTES: reply = input_bytes(run); break;
    case LINE_TWICE: plan.copies = 2; break;
    case LINE_SPLIT:
        plan.split_at = reply.empty() ? 0 : input_byte(run) % reply.size();
        plan.split_gap_ms = input_byte(run);
        break;
    default: break; // LINE_AS_PLANNED
    }
    fake_deliver_plan(&plan, at);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_run run{data, size, 0, nullptr, {}, {}, false};
    int32_t blocks = 1 + input_byte(&run) % 4;
    int32_t image_bytes = blocks * MODBUS_PROG_BLOCKSIZE_MAX - input_byte(&run);
    uint8_t seed = input_byte(&run);
    std::vector<uint8_t> image = pattern_image(image_bytes + seed);
    image.erase(image.begin(), image.begin() + seed);
    test_link t(image);
    run.link = &t.link;
    run.padded_image = image;
    run.padded_image.resize((size_t)blocks * MODBUS_PROG_BLOCKSIZE_MAX, 0);
    fault_switches faults = input_faults(&run);
    target_init(&run.target, &faults, input_byte(&run) % 4 * 50);

    fake_reset();
    fake.now = 1000;
    fake.on_write = [&run](const std::vector<uint8_t> &request, uint32_t now) {
        check_request(&run, request);
        answer_request(&run, request, now);
    };
    captured_reports reports; // and dropped
    update_link *l = &t.link;
    int step = 0, dead_steps = 0;
    for (; step < MAX_STEPS && dead_steps < DEAD_STEPS_MAX && l->state != STATE_DONE &&
           l->state != STATE_FAILED;
         step++) {
        dead_steps += run.line_dead && fake.incoming.empty();
        link_step(l);
        fake.now += 10;
        fake.writes.clear(); // checked as they were written; a long run would hoard them
    }
    for (int after = 0; after < 3; after++)
        link_step(l); // a request now breaks the check

    if (l->state == STATE_DONE) {
        std::vector<uint8_t> flash = target_written_flash(&run.target);
        flash.resize(run.padded_image.size());
        FUZZ_CHECK(flash == run.padded_image, "DONE, but the flash is not the padded image");
    }
    // A reply that never carries the range CRC may keep a run waiting.
    FUZZ_CHECK(run.line_dead || faults.short_verify || step < MAX_STEPS, "no end after %d steps",
               step);
    fake_reset();
    return 0;
}
