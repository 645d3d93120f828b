// Fuzz target: whole update runs from STATE_START, stepped every 10 ms like
// the window timer does, against kep-sim's target model with a fault switch
// from the input, over a line that the input makes lose, damage, repeat,
// split or delay each reply. Input: blocks (1 to 4), bytes cut from the last
// block (0 to 255), image pattern seed, fault switch, its block and time, the
// programming time, then one line effect per request written.
// Checked: every request is well formed and carries the image's own bytes;
// every read lands inside the frame buffer; `error` is set exactly when a
// frame of 4 bytes or more failed its CRC; nothing is sent once the run has
// ended; a run ends DONE only after a reply carried the image's CRC and with
// the whole padded image in the target's flash; once the line works again, a
// run ends.
#include "fake_os.h"
#include "fake_target.h"
#include "firmware_image.h"
#include "frames.h"
#include "fuzz_check.h"
#include "fuzz_input.h"
#include "link_state_machine.h"
#include "reporting.h"

#include <cstdlib>
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
    LINE_AS_PLANNED,     // delay
    LINE_LOST,           // (nothing more)
    LINE_CORRUPTED,      // delay, position, xor mask: one byte changed
    LINE_BYTES_WITH_CRC, // delay, count, bytes: input bytes as a frame with a valid CRC
    LINE_RAW_BYTES,      // delay, count, bytes: input bytes as they are
    LINE_TWICE,          // delay
    LINE_TRUNCATED,      // delay, kept: the reply cut, with a valid CRC
    LINE_EXTENDED,       // delay, count, bytes: more bytes before the reply's CRC
    LINE_SPLIT,          // delay, cut, gap: the reply in two parts
    LINE_DEAD_FROM_NOW,  // (nothing more): no reply to this or any later request
    LINE_EFFECT_COUNT
};

struct fuzz_run {
    update_link *link;
    std::vector<uint8_t> padded_image; // the harness's own padding of the image
    target_model target;
    fuzz_input *input;
    bool line_dead;
    int32_t expected_error;
    bool verified; // a valid reply of 15 bytes or more carried the image's CRC at bytes 11-12
};

void discard_text(void *, const char *, int) {}
void discard_flush(void *) {}
void discard_status(void *, const char *) {}
const report_sink discard_reports = {nullptr, discard_text, discard_flush, discard_status, nullptr};

std::vector<uint8_t> input_bytes(fuzz_input *input)
{
    // Mostly short, sometimes around the frame buffer's 1040 bytes.
    uint8_t n = input_byte(input);
    std::vector<uint8_t> bytes(n < 250 ? n : 1030 + (size_t)(n - 250) * 3);
    for (auto &b : bytes)
        b = input_byte(input);
    return bytes;
}

std::vector<uint8_t> with_crc(std::vector<uint8_t> bytes)
{
    bytes.resize(bytes.size() + 2);
    frame_put_crc(bytes.data(), (int32_t)bytes.size());
    return bytes;
}

fault_switches input_faults(fuzz_input *input)
{
    uint8_t which = input_byte(input);
    int32_t block = 1 + input_byte(input) % 4;
    int32_t ms = input_byte(input) * 4;
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
    const update_link *link = run->link;
    FUZZ_CHECK(link->state != STATE_DONE && link->state != STATE_FAILED, "a request after the end");
    FUZZ_CHECK(request.size() >= 5 && request[0] == UNIT_ADDRESS &&
                   request[1] == FUNC_PROGRAMMING &&
                   frame_crc_ok(request.data(), (int32_t)request.size()),
               "a malformed request of %zu bytes", request.size());
    uint32_t address = request.size() >= 9 ? get_be32(&request[3]) - FLASH_IMAGE_BASE : 0;
    size_t data_length = request.size() - PROGRAM_BLOCK_OVERHEAD;
    switch (request[2]) {
    case SUB_PROGRAM_BLOCK:
        FUZZ_CHECK(
            request.size() > PROGRAM_BLOCK_OVERHEAD && get_be16(&request[7]) == data_length &&
                address + data_length <= run->padded_image.size() &&
                memcmp(&request[9], &run->padded_image[address], data_length) == 0,
            "a program block of %zu bytes at offset %u is not the image's", data_length, address);
        break;
    case SUB_ADDRESS_QUERY: {
        uint32_t length = request.size() == ADDRESS_QUERY_LENGTH ? get_be32(&request[7]) : 0;
        FUZZ_CHECK(
            address == 0 && (length == CONTACT_QUERY_LENGTH || length == run->padded_image.size()),
            "a query of %zu bytes for %u bytes at offset %u", request.size(), length, address);
        break;
    }
    default:
        FUZZ_CHECK(request.size() == RESET_LENGTH && request[2] == SUB_RESET,
                   "a request with sub-code %#x", request[2]);
    }
}

// The model answers `request`; the line then does to the reply what the input says.
void answer_request(fuzz_run *run, const std::vector<uint8_t> &request, uint32_t now)
{
    reply_plan plan = target_handle_request(&run->target, request.data(), request.size());
    fuzz_input *input = run->input;
    if (run->line_dead)
        return;
    if (!input_left(input)) {
        fake_deliver_plan(&plan, now + FAKE_LINE_DELAY_MS);
        return;
    }
    int effect = input_byte(input) % LINE_EFFECT_COUNT;
    run->line_dead = effect == LINE_DEAD_FROM_NOW;
    if (effect == LINE_LOST || run->line_dead)
        return;
    uint32_t at = now + (uint32_t)input_byte(input) * 3;
    std::vector<uint8_t> &reply = plan.bytes;
    std::vector<uint8_t> body(reply.begin(), reply.end() - (reply.empty() ? 0 : 2));
    switch (effect) {
    case LINE_CORRUPTED:
        if (!reply.empty()) {
            size_t position = input_byte(input) % reply.size();
            uint8_t mask = input_byte(input);
            reply[position] ^= mask != 0 ? mask : 1;
        }
        break;
    case LINE_BYTES_WITH_CRC: reply = with_crc(input_bytes(input)); break;
    case LINE_RAW_BYTES: reply = input_bytes(input); break;
    case LINE_TWICE: plan.copies = 2; break;
    case LINE_TRUNCATED:
        body.resize(input_byte(input) % (body.size() + 1));
        reply = with_crc(body);
        break;
    case LINE_EXTENDED: {
        std::vector<uint8_t> more = input_bytes(input);
        body.insert(body.end(), more.begin(), more.end());
        reply = with_crc(body);
        break;
    }
    case LINE_SPLIT:
        plan.split_at = reply.empty() ? 0 : input_byte(input) % reply.size();
        plan.split_gap_ms = input_byte(input);
        break;
    default: break; // LINE_AS_PLANNED
    }
    fake_deliver_plan(&plan, at);
}

void check_read(fuzz_run *run, const uint8_t *bytes, int count)
{
    FUZZ_CHECK(bytes == run->link->frame && count >= 0 && count <= run->link->capacity,
               "a read of %d bytes outside the frame buffer", count);
    bool valid = frame_crc_ok(bytes, count);
    if (count >= 4 && !valid)
        run->expected_error = FRAME_ERROR_CRC;
    uint16_t image_crc = crc16_modbus(run->padded_image.data(), (int32_t)run->padded_image.size());
    run->verified |= valid && count >= 15 && get_be16(bytes + 11) == image_crc;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_input input{data, size, 0};
    int32_t blocks = 1 + input_byte(&input) % 4;
    int32_t image_bytes = blocks * MODBUS_PROG_BLOCKSIZE_MAX - input_byte(&input);
    uint8_t seed = input_byte(&input);
    std::vector<uint8_t> image = pattern_image(image_bytes + seed);
    image.erase(image.begin(), image.begin() + seed);
    test_link t(image);
    fuzz_run run{};
    run.link = &t.link;
    run.padded_image = image;
    run.padded_image.resize((size_t)blocks * MODBUS_PROG_BLOCKSIZE_MAX, 0);
    FUZZ_CHECK(t.link.image_size == (int32_t)run.padded_image.size() &&
                   memcmp(t.link.image, run.padded_image.data(), run.padded_image.size()) == 0,
               "%d image bytes padded to %d", image_bytes, t.link.image_size);
    fault_switches faults = input_faults(&input);
    target_init(&run.target, &faults, input_byte(&input) % 4 * 50);
    run.input = &input;

    fake_reset();
    fake.now = 1000;
    fake.on_write = [&run](const std::vector<uint8_t> &request, uint32_t now) {
        check_request(&run, request);
        answer_request(&run, request, now);
    };
    fake.on_read = [&run](const uint8_t *bytes, int count) { check_read(&run, bytes, count); };
    report_route(&discard_reports);
    update_link *l = &t.link;
    int step = 0, dead_steps = 0;
    for (; step < MAX_STEPS && dead_steps < DEAD_STEPS_MAX && l->state != STATE_DONE &&
           l->state != STATE_FAILED;
         step++) {
        dead_steps += run.line_dead && fake.incoming.empty();
        link_step(l);
        fake.now += 10;
        fake.writes.clear(); // checked as they were written; a long run would hoard them
        FUZZ_CHECK(l->state >= STATE_START && l->state <= STATE_DONE && l->offset >= 0 &&
                       l->offset <= l->image_size && l->len >= 0 && l->len <= l->capacity,
                   "state %d, offset %d, len %d", l->state, l->offset, l->len);
        FUZZ_CHECK(l->error == run.expected_error, "error %d, expected %d", l->error,
                   run.expected_error);
    }
    for (int after = 0; after < 3; after++)
        link_step(l); // a request now breaks the check
    report_route(nullptr);

    if (l->state == STATE_DONE) {
        std::vector<uint8_t> flash = target_written_flash(&run.target);
        flash.resize(run.padded_image.size());
        FUZZ_CHECK(flash == run.padded_image && run.verified,
                   "DONE, but the flash is not the image or no reply carried its CRC");
    }
    // A reply that never carries the range CRC may keep a run waiting.
    bool endless = faults.short_verify;
    FUZZ_CHECK(run.line_dead || endless || step < MAX_STEPS, "no end after %d steps in %s", step,
               link_state_name(l->state));
    if (getenv("KEP_FUZZ_VERBOSE"))
        fprintf(stderr, "%d-byte image: %s after %d steps, offset %d, error %d\n", image_bytes,
                link_state_name(l->state), step, l->offset, l->error);
    fake_reset();
    return 0;
}
