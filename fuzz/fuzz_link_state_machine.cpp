// Fuzz target: whole update runs from STATE_START, stepped every 10 ms like
// the window timer does, against kep-sim's target model with fault switches
// from the input, over a line that the input makes lose, damage, repeat,
// split or delay each reply. Input: blocks (1 to 4), bytes cut from the last
// block (0 to 255), image pattern seed, fault switch, its block and time, the
// programming time, then one line effect per request written. Every request,
// read and step is checked.
#include "fake_os.h"
#include "fake_target.h"
#include "firmware_image.h"
#include "frames.h"
#include "fuzz_check.h"
#include "fuzz_input.h"
#include "link_state_machine.h"
#include "reporting.h"
#include "request_checks.h"

#include <cstdlib>
#include <cstring>

// Enough for every state to time out many times over; a clean run takes ~10.
#define MAX_STEPS 3000
// Once the target is silent for good and no byte is on its way, every later
// step repeats the last time-out cycle: this many show that it does.
#define SILENT_STEPS_MAX 60
#define START_TICK 1000u

namespace
{

// What the reads of one step returned.
struct step_reads {
    int count;
    bool frame_ok;    // the last read is a frame the tool must accept
    bool carries_crc; // ... and, 15 bytes or more, has the local CRC at bytes 11-12
    bool into_frame;  // every read went to the frame buffer
};

// What the line does to the model's reply to one request: the first input
// byte of each, modulo LINE_EFFECT_COUNT, then the parameters named.
enum line_effect {
    LINE_AS_PLANNED,      // delay
    LINE_LOST,            // (nothing more)
    LINE_CORRUPTED,       // delay, position, xor mask: one byte changed
    LINE_BYTES_WITH_CRC,  // delay, count, bytes: input bytes as a frame with a valid CRC
    LINE_RAW_BYTES,       // delay, count, bytes: input bytes as they are
    LINE_TWICE,           // delay, second delay
    LINE_TRUNCATED,       // delay, kept: the reply cut, with a valid CRC
    LINE_EXTENDED,        // delay, count, bytes: more bytes before the reply's CRC
    LINE_SPLIT,           // delay, cut, gap: the reply in two parts
    LINE_DEAD_FROM_NOW,   // (nothing more): no reply to this or any later request
    LINE_EFFECT_COUNT
};

struct fuzz_run {
    update_link link;
    std::vector<uint8_t> padded_image; // the harness's own padding of the image
    uint16_t image_crc;
    target_model target;
    fuzz_input *input;
    bool line_dead;
    int writes; // requests written in the current step
    step_reads reads;
    int32_t expected_error; // 5 once any read of 4 bytes or more failed its CRC
    bool verified;          // a verify reply with the local CRC was taken
};

void discard_text(void *, const char *, int) {}
void discard_flush(void *) {}
void discard_status(void *, const char *) {}
const report_sink discard_reports = {nullptr, discard_text, discard_flush, discard_status};

std::vector<uint8_t> pattern_bytes(int32_t size, uint8_t seed)
{
    std::vector<uint8_t> bytes((size_t)size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto &b : bytes) {
        x = x * 1103515245u + 12345u;
        b = (uint8_t)(x >> 16);
    }
    return bytes;
}

void record_read(fuzz_run *run, const uint8_t *bytes, int count)
{
    step_reads *r = &run->reads;
    r->count++;
    r->into_frame = r->into_frame && bytes == run->link.frame;
    r->frame_ok = frame_crc_ok(bytes, count);
    r->carries_crc = r->frame_ok && count >= 15 && (bytes[11] << 8 | bytes[12]) == run->image_crc;
    if (count >= 4 && !r->frame_ok)
        run->expected_error = 5;
}

bool waiting_state(int32_t state)
{
    return state == STATE_CONTACT || state == STATE_PROGRAM || state == STATE_VERIFY ||
           state == STATE_RESET;
}

// The state, progress and requests of one step, given what it read.
void check_step(fuzz_run *run, int32_t before, int32_t offset_before, int32_t block_before,
                bool timed_out)
{
    const update_link *link = &run->link;
    const step_reads *r = &run->reads;
    int32_t state = link->state;
    FUZZ_CHECK(state >= STATE_START && state <= STATE_DONE, "state %d", state);
    FUZZ_CHECK(link->offset >= 0 && link->offset <= link->image_size, "offset %d, image size %d",
               link->offset, link->image_size);
    FUZZ_CHECK(state == STATE_START ||
                   (link->block_length >= 1 && link->block_length <= MODBUS_PROG_BLOCKSIZE_MAX),
               "block_length %d in state %d", link->block_length, state);
    FUZZ_CHECK(link->len >= 0 && link->len <= link->capacity, "len %d", link->len);
    FUZZ_CHECK(link->error == run->expected_error, "error %d, expected %d", link->error,
               run->expected_error);
    FUZZ_CHECK(r->into_frame, "a read went elsewhere than the frame buffer");
    FUZZ_CHECK(r->count == (waiting_state(before) ? 1 : 0), "%d reads in a step from state %d",
               r->count, before);
    FUZZ_CHECK(state == STATE_START || state == STATE_INIT || state == STATE_CONTACT ||
                   link->timeout_ms == PROGRAM_TIMEOUT_MS,
               "timeout_ms %u in state %d", link->timeout_ms, state);

    int resend = timed_out ? 1 : 0;
    bool ok = r->frame_ok;
    switch (before) {
    case STATE_START:
        FUZZ_CHECK(state == STATE_INIT && run->writes == 0, "START went to %d", state);
        FUZZ_CHECK(link->offset == 0 && link->block_length == MODBUS_PROG_BLOCKSIZE_MAX &&
                       link->timeout_ms == CONTACT_TIMEOUT_MS,
                   "INIT left offset %d, block_length %d, timeout_ms %u", link->offset,
                   link->block_length, link->timeout_ms);
        break;
    case STATE_INIT:
        FUZZ_CHECK(state == STATE_CONTACT && run->writes == 1, "INIT went to %d, %d writes", state,
                   run->writes);
        break;
    case STATE_CONTACT:
        FUZZ_CHECK(state == (ok ? STATE_PROGRAM : STATE_CONTACT), "CONTACT went to %d on a %s read",
                   state, ok ? "valid" : "invalid");
        FUZZ_CHECK(timed_out, "the contact time-out had not expired at the next step");
        FUZZ_CHECK(run->writes == resend + (ok ? 1 : 0), "%d writes in a CONTACT step",
                   run->writes);
        break;
    case STATE_PROGRAM:
        if (ok) {
            FUZZ_CHECK(link->offset == offset_before + block_before,
                       "an ack moved offset from %d to %d with block_length %d", offset_before,
                       link->offset, block_before);
            int32_t next = link->offset >= link->image_size ? STATE_VERIFY : STATE_PROGRAM;
            FUZZ_CHECK(state == next, "PROGRAM went to %d at offset %d", state, link->offset);
        } else {
            FUZZ_CHECK(state == STATE_PROGRAM && link->offset == offset_before,
                       "PROGRAM went to %d, offset %d to %d without an ack", state, offset_before,
                       link->offset);
        }
        FUZZ_CHECK(run->writes == resend + (ok ? 1 : 0), "%d writes in a PROGRAM step",
                   run->writes);
        break;
    case STATE_VERIFY: {
        int32_t next = !ok ? STATE_VERIFY : r->carries_crc ? STATE_RESET : STATE_FAILED;
        FUZZ_CHECK(state == next, "VERIFY went to %d, expected %d (frame %s, local CRC %s)", state,
                   next, ok ? "valid" : "invalid", r->carries_crc ? "carried" : "not carried");
        FUZZ_CHECK(run->writes == resend + (next == STATE_RESET ? 1 : 0),
                   "%d writes in a VERIFY step", run->writes);
        if (next == STATE_RESET)
            run->verified = true;
        break;
    }
    case STATE_RESET:
        FUZZ_CHECK(state == (ok ? STATE_DONE : STATE_RESET), "RESET went to %d", state);
        FUZZ_CHECK(run->writes == resend, "%d writes in a RESET step", run->writes);
        break;
    default: FUZZ_CHECK(false, "stepped from final state %d", before);
    }
    FUZZ_CHECK(state != STATE_DONE || run->verified,
               "DONE without a verify reply that carries the local CRC");
}

// Mostly short, sometimes around the frame buffer's 1040 bytes.
size_t byte_count(fuzz_input *input)
{
    uint8_t n = input_byte(input);
    return n < 250 ? n : 1030 + (size_t)(n - 250) * 3;
}

std::vector<uint8_t> input_bytes(fuzz_input *input, size_t count)
{
    std::vector<uint8_t> bytes(count);
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

// The fault switches, from three input bytes: which, a block, a time.
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
    if (effect == LINE_LOST)
        return;
    if (effect == LINE_DEAD_FROM_NOW) {
        run->line_dead = true;
        return;
    }
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
    case LINE_BYTES_WITH_CRC: reply = with_crc(input_bytes(input, byte_count(input))); break;
    case LINE_RAW_BYTES: reply = input_bytes(input, byte_count(input)); break;
    case LINE_TWICE: plan.copies = 2; break;
    case LINE_TRUNCATED:
        body.resize(input_byte(input) % (body.size() + 1));
        reply = with_crc(body);
        break;
    case LINE_EXTENDED: {
        std::vector<uint8_t> more = input_bytes(input, byte_count(input));
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

// The time-out test that the step about to run will make.
bool time_out_due(const update_link *link)
{
    uint32_t limit = link->state == STATE_RESET ? RESET_TIMEOUT_MS : link->timeout_ms;
    return waiting_state(link->state) && (uint32_t)(fake.now - link->sent_at) > limit;
}

} // namespace

// With KEP_FUZZ_VERBOSE set, each run ends with a line on how it ended: for
// replaying a reproducer or checking what a seed reaches.
static bool verbose;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    verbose = getenv("KEP_FUZZ_VERBOSE") != nullptr;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_input input{data, size, 0};
    int32_t blocks = 1 + input_byte(&input) % 4;
    int32_t image_bytes = blocks * MODBUS_PROG_BLOCKSIZE_MAX - input_byte(&input);
    std::vector<uint8_t> image = pattern_bytes(image_bytes, input_byte(&input));

    fuzz_run run{};
    run.padded_image = image;
    run.padded_image.resize((size_t)blocks * MODBUS_PROG_BLOCKSIZE_MAX, 0);
    run.image_crc = crc16_modbus(run.padded_image.data(), (int32_t)run.padded_image.size());

    uint8_t *frame = (uint8_t *)malloc(MODBUS_FRAME_LENGTH_MAX);
    FUZZ_CHECK(frame != nullptr, "out of memory");
    memset(frame, 0xA5, MODBUS_FRAME_LENGTH_MAX);
    update_link *link = &run.link;
    link->port_name = "fuzz";
    link->handle = 3;
    link->baud = 115200;
    link->unit_address = UNIT_ADDRESS;
    link->capacity = MODBUS_FRAME_LENGTH_MAX;
    link->frame = frame;
    link->state = STATE_START;
    FUZZ_CHECK(set_firmware_image(link, image.data(), image_bytes), "out of memory");
    FUZZ_CHECK(link->image_size == (int32_t)run.padded_image.size() &&
                   memcmp(link->image, run.padded_image.data(), run.padded_image.size()) == 0,
               "%d image bytes padded to %d, expected %zu with zero fill", image_bytes,
               link->image_size, run.padded_image.size());

    fault_switches faults = input_faults(&input);
    target_init(&run.target, &faults, input_byte(&input) % 4 * 50);
    run.input = &input;
    fake_reset();
    fake.now = START_TICK;
    fake.on_write = [&run](const std::vector<uint8_t> &request, uint32_t now) {
        check_request(&run.link, run.padded_image, request);
        run.writes++;
        answer_request(&run, request, now);
    };
    fake.on_read = [&run](const uint8_t *bytes, int count) { record_read(&run, bytes, count); };
    report_route(&discard_reports);

    int step = 0;
    int silent_steps = 0;
    for (; step < MAX_STEPS && silent_steps < SILENT_STEPS_MAX; step++) {
        if (link->state == STATE_DONE || link->state == STATE_FAILED)
            break;
        if (run.line_dead && fake.incoming.empty())
            silent_steps++;
        int32_t before = link->state;
        int32_t offset_before = link->offset;
        int32_t block_before = link->block_length;
        bool timed_out = time_out_due(link);
        run.writes = 0;
        run.reads = step_reads{0, false, false, true};
        link_step(link);
        fake.now += 10;
        fake.writes.clear(); // checked as they were written; a long run would hoard them
        check_step(&run, before, offset_before, block_before, timed_out);
    }

    if (verbose)
        fprintf(stderr, "%d-byte image: %s after %d steps, offset %d, error %d\n", image_bytes,
                link_state_name(link->state), step, link->offset, link->error);
    report_route(nullptr);
    fake_reset();
    free(link->image);
    free(frame);
    return 0;
}
