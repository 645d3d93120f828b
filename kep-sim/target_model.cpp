#include "target_model.h"

#include "frames.h"
#include "text_printf.h"

#include <algorithm>
#include <random>

void target_init(target_model *target, const fault_switches *faults, int32_t flash_ms)
{
    target->board_present = true;
    target->in_application = false;
    target->frozen = false;
    target->after_reset = AFTER_RESET_BOOTLOADER;
    target->flash.assign(part_flash_kib(faults) * 1024u, 0xFF);
    target->written_end = 0;
    target->faults = *faults;
    target->flash_ms = flash_ms;
    target->contact_queries = 0;
    target->verify_queries = 0;
    target->resets = 0;
    target->block_sends.assign(target->flash.size() / SIM_BLOCK_SIZE + 2, 0);
}

void target_set_jitter(target_model *target, int32_t max_ms, uint32_t seed)
{
    target->reply_jitter_ms = max_ms;
    target->jitter_state = seed;
}

static int32_t draw_jitter(target_model *target)
{
    std::minstd_rand random(target->jitter_state);
    int32_t ms = std::uniform_int_distribution<int32_t>(0, target->reply_jitter_ms)(random);
    target->jitter_state = (uint32_t)random();
    return ms;
}

uint32_t part_flash_kib(const fault_switches *faults)
{
    return faults->flash_kib > 0 ? (uint32_t)faults->flash_kib : SIM_FLASH_SIZE / 1024u;
}

void target_insert_board(target_model *target, const fault_switches *faults, int32_t flash_ms,
                         after_reset_mode after_reset)
{
    target_init(target, faults, flash_ms);
    target->after_reset = after_reset;
}

void target_remove_board(target_model *target) { target->board_present = false; }

bool target_preload(target_model *target, const std::vector<uint8_t> &bytes)
{
    if (bytes.size() > target->flash.size() - (SIM_WRITABLE_BASE - SIM_FLASH_BASE))
        return false;
    std::copy(bytes.begin(), bytes.end(),
              target->flash.begin() + (SIM_WRITABLE_BASE - SIM_FLASH_BASE));
    return true;
}

int32_t block_number(uint32_t address)
{
    if (address < SIM_WRITABLE_BASE)
        return 0;
    return (int32_t)((address - SIM_WRITABLE_BASE) / SIM_BLOCK_SIZE) + 1;
}

std::vector<uint8_t> target_written_flash(const target_model *target)
{
    if (target->written_end <= SIM_WRITABLE_BASE)
        return {};
    auto begin = target->flash.begin() + (SIM_WRITABLE_BASE - SIM_FLASH_BASE);
    auto end = target->flash.begin() + (target->written_end - SIM_FLASH_BASE);
    return std::vector<uint8_t>(begin, end);
}

std::vector<uint8_t> target_board_flash(const target_model *target)
{
    return std::vector<uint8_t>(target->flash.begin() + (SIM_WRITABLE_BASE - SIM_FLASH_BASE),
                                target->flash.end());
}

static void append_crc(std::vector<uint8_t> *frame)
{
    frame->resize(frame->size() + 2);
    frame_put_crc(frame->data(), (int32_t)frame->size());
}

static void set_exception(reply_plan *plan, uint8_t function, uint8_t code)
{
    plan->bytes = {SIM_UNIT_ADDRESS, (uint8_t)(function | REPLY_EXCEPTION_BIT), code};
    append_crc(&plan->bytes);
    plan->notes.push_back(text_printf("reply: exception 0x%02x", code));
}

static bool range_inside(uint64_t address, uint64_t length, uint64_t low, uint64_t high)
{
    return address >= low && address + length <= high;
}

// The end of the part's flash: the target refuses what lies past it.
static uint32_t flash_end(const target_model *target)
{
    return SIM_FLASH_BASE + (uint32_t)target->flash.size();
}

static void handle_program_block(target_model *target, const uint8_t *request, size_t length,
                                 reply_plan *plan)
{
    uint32_t address = get_be32(request + 3);
    uint32_t data_length = get_be16(request + 7);
    plan->notes.push_back(
        text_printf("request 0xf2: program %#x, %u bytes", address, (unsigned)data_length));
    if (length != data_length + PROGRAM_BLOCK_OVERHEAD) {
        set_exception(plan, FUNC_PROGRAMMING, EXCEPTION_ILLEGAL_VALUE);
        return;
    }
    if (!range_inside(address, data_length, SIM_WRITABLE_BASE, flash_end(target))) {
        set_exception(plan, FUNC_PROGRAMMING, EXCEPTION_ILLEGAL_ADDRESS);
        return;
    }
    const fault_switches &faults = target->faults;
    int32_t block = block_number(address);
    bool first_send = ++target->block_sends[(size_t)block] == 1;
    if (faults.exception == block) {
        plan->notes.push_back(
            text_printf("fault: exception instead of the ack of block %d", block));
        set_exception(plan, FUNC_PROGRAMMING, EXCEPTION_ILLEGAL_ADDRESS);
        return;
    }
    for (uint32_t i = 0; i < data_length; i++)
        target->flash[address - SIM_FLASH_BASE + i] = request[9 + i];
    if (address + data_length > target->written_end)
        target->written_end = address + data_length;
    if (first_send && faults.drop_ack == block) {
        plan->notes.push_back(text_printf("fault: block %d written, ack dropped", block));
        return;
    }
    plan->bytes.assign(request, request + 9);
    append_crc(&plan->bytes);
    plan->delay_ms = target->flash_ms;
    if (first_send && faults.corrupt_ack == block) {
        plan->bytes.back() ^= 0x5A;
        plan->notes.push_back(text_printf("fault: ack of block %d with a bad CRC", block));
    }
    if (first_send && faults.late_ack.block == block) {
        plan->delay_ms += faults.late_ack.ms;
        plan->notes.push_back(
            text_printf("fault: ack of block %d %d ms late", block, faults.late_ack.ms));
    }
    if (first_send && faults.split_ack.block == block) {
        plan->split_at = plan->bytes.size() / 2;
        plan->split_gap_ms = faults.split_ack.ms;
        plan->notes.push_back(text_printf("fault: ack of block %d in two pieces %d ms apart", block,
                                          faults.split_ack.ms));
    }
    if (first_send && faults.duplicate_ack == block) {
        plan->copies = 2;
        plan->notes.push_back(text_printf("fault: ack of block %d sent twice", block));
    }
    if (faults.hangup_after == block) {
        plan->after = AFTER_HANG_UP;
        plan->notes.push_back(text_printf("fault: hanging up after the ack of block %d", block));
    }
    if (faults.stop_reading_after == block) {
        plan->after = AFTER_STOP_READING;
        plan->notes.push_back(
            text_printf("fault: reading nothing after the ack of block %d", block));
    }
    if (faults.freeze_after == block) {
        target->frozen = true;
        plan->notes.push_back(
            text_printf("fault: answering nothing after the ack of block %d", block));
    }
    plan->notes.push_back(text_printf("reply: ack of block %d", block));
}

// A reply too short to carry the range CRC, yet whose bytes 11-12 (its own
// CRC) read high byte first equal it: a tool that skips the length check
// would take it as a match.
static void forge_verify_reply(const uint8_t *request, uint16_t range_crc, reply_plan *plan)
{
    for (uint32_t filler = 0; filler <= 0xFFFF; filler++) {
        plan->bytes.assign(request, request + 11);
        put_be16(&plan->bytes[9], filler);
        append_crc(&plan->bytes);
        if (get_be16(plan->bytes.data() + 11) == range_crc)
            break;
    }
    plan->notes.push_back("fault: 13-byte verify reply whose own CRC reads as the range CRC");
}

static void handle_address_query(target_model *target, const uint8_t *request, reply_plan *plan)
{
    uint32_t address = get_be32(request + 3);
    uint32_t range_length = get_be32(request + 7);
    bool contact = range_length == 4;
    plan->notes.push_back(text_printf("request 0xf3: %s %#x, %u bytes",
                                      contact ? "contact at" : "verify", address,
                                      (unsigned)range_length));
    const fault_switches &faults = target->faults;
    if (contact && ++target->contact_queries <= faults.ignore_contact) {
        plan->notes.push_back(
            text_printf("fault: contact query %d ignored", (int)target->contact_queries));
        return;
    }
    if (!range_inside(address, range_length, SIM_FLASH_BASE, flash_end(target))) {
        set_exception(plan, FUNC_PROGRAMMING, EXCEPTION_ILLEGAL_ADDRESS);
        return;
    }
    if (!contact && faults.refuse_small_ranges && range_length < SIM_BLOCK_SIZE) {
        set_exception(plan, FUNC_PROGRAMMING, EXCEPTION_ILLEGAL_VALUE);
        plan->notes.push_back("fault: range under a block refused");
        return;
    }
    if (!contact && faults.short_verify) {
        plan->bytes.assign(request, request + 3);
        append_crc(&plan->bytes);
        plan->notes.push_back("fault: 5-byte reply to the verify query");
        return;
    }
    uint16_t range_crc =
        crc16_modbus(target->flash.data() + (address - SIM_FLASH_BASE), (int32_t)range_length);
    if (!contact && ++target->verify_queries == 1 && faults.forged_verify) {
        forge_verify_reply(request, range_crc, plan);
        return;
    }
    if (!contact && faults.wrong_verify) {
        range_crc = (uint16_t)(range_crc + 1);
        plan->notes.push_back("fault: range CRC off by one");
    }
    plan->bytes.assign(request, request + 11);
    plan->bytes.push_back((uint8_t)(range_crc >> 8));
    plan->bytes.push_back((uint8_t)(range_crc & 0xFF));
    append_crc(&plan->bytes);
    plan->notes.push_back(text_printf("reply: range CRC %#06x", range_crc));
}

static reply_plan answer_request(target_model *target, const uint8_t *request, size_t length)
{
    reply_plan plan{};
    plan.copies = 1;
    if (!frame_crc_ok(request, (int32_t)length)) {
        plan.notes.push_back(text_printf("dropped %zu bytes: CRC wrong", length));
        return plan;
    }
    if (request[0] != SIM_UNIT_ADDRESS) {
        plan.notes.push_back(text_printf("ignored a request for unit %d", request[0]));
        return plan;
    }
    if (!target->board_present) {
        plan.notes.push_back(text_printf("no board: %zu-byte request not answered", length));
        return plan;
    }
    if (target->frozen) {
        plan.notes.push_back(text_printf("fault: frozen, %zu-byte request not answered", length));
        return plan;
    }
    if (target->faults.silent) {
        plan.notes.push_back(text_printf("fault: silent, %zu-byte request not answered", length));
        return plan;
    }
    if (target->in_application) {
        plan.notes.push_back("application running: the request is not its own");
        set_exception(&plan, request[1], EXCEPTION_ILLEGAL_FUNCTION);
        return plan;
    }
    if (request[1] != FUNC_PROGRAMMING) {
        plan.notes.push_back(text_printf("request with function 0x%02x", request[1]));
        set_exception(&plan, request[1], EXCEPTION_ILLEGAL_FUNCTION);
        return plan;
    }
    switch (request[2]) {
    case SUB_PROGRAM_BLOCK:
        if (length >= PROGRAM_BLOCK_OVERHEAD) {
            handle_program_block(target, request, length, &plan);
            return plan;
        }
        break;
    case SUB_ADDRESS_QUERY:
        if (length == ADDRESS_QUERY_LENGTH) {
            handle_address_query(target, request, &plan);
            return plan;
        }
        break;
    case SUB_RESET:
        if (length == RESET_LENGTH) {
            plan.notes.push_back("request 0xf4: reset");
            if (++target->resets <= target->faults.ignore_reset) {
                plan.notes.push_back(text_printf("fault: reset %d ignored", (int)target->resets));
                return plan;
            }
            target->in_application = target->after_reset == AFTER_RESET_APPLICATION;
            if (target->faults.restart_on_reset) {
                plan.after = AFTER_RESTART;
                plan.notes.push_back("fault: restarting without an answer");
                return plan;
            }
            plan.bytes.assign(request, request + length);
            plan.after = AFTER_RESET;
            plan.notes.push_back("reply: reset echoed");
            return plan;
        }
        break;
    default:
        plan.notes.push_back(text_printf("request with sub-code 0x%02x", request[2]));
        set_exception(&plan, FUNC_PROGRAMMING, EXCEPTION_ILLEGAL_FUNCTION);
        return plan;
    }
    plan.notes.push_back(
        text_printf("request 0x%02x of a wrong length, %zu bytes", request[2], length));
    set_exception(&plan, FUNC_PROGRAMMING, EXCEPTION_ILLEGAL_VALUE);
    return plan;
}

reply_plan target_handle_request(target_model *target, const uint8_t *request, size_t length)
{
    reply_plan plan = answer_request(target, request, length);
    if (!plan.bytes.empty() && target->reply_jitter_ms > 0)
        plan.delay_ms += draw_jitter(target);
    return plan;
}
