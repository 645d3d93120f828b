// How the simulated target answers what the engine tests do not send or do not
// look at: writes out of range, bad frames, unknown requests, the programming
// time, and the fault switches that only shape a reply.
#include "frame_bytes.h"
#include "frames.h"
#include "target_model.h"

#include <algorithm>
#include <cstdio>
#include <gtest/gtest.h>

// Each row names the one switch that is on; the others are off.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace
{

std::vector<uint8_t> program_request(uint32_t address, size_t length = 1024)
{
    std::vector<uint8_t> bytes = {4, 0x2B, 0xF2, 0, 0, 0, 0, 0, 0};
    put_be32(&bytes[3], address);
    put_be16(&bytes[7], (uint32_t)length);
    bytes.resize(9 + length, 0x3C);
    return with_crc(bytes);
}

// A reply as text: its length, bytes 1 and 2, "!" for a bad CRC, its delay,
// where it is split and the pause, how many copies and what follows it; "F"
// when kep-sim's log names a fault.
std::string shape(const reply_plan &p)
{
    bool fault = std::ranges::any_of(p.notes, [](const std::string &n) { return n.starts_with("fault: "); });
    if (p.bytes.empty())
        return fault ? "none F" : "none";
    char text[80];
    snprintf(text, sizeof text, "%zu %02x%02x%s %dms %zu/%d x%d a%d%s", p.bytes.size(), p.bytes[1],
             p.bytes[2], frame_crc_ok(p.bytes.data(), (int32_t)p.bytes.size()) ? "" : "!",
             p.delay_ms, p.split_at, p.split_gap_ms, p.copies, p.after, fault ? " F" : "");
    return text;
}

TEST(target_model_test, each_request_and_fault_switch_shapes_the_reply)
{
    const uint32_t base = SIM_WRITABLE_BASE, end_2 = base + 2048;
    const uint32_t end_2m = SIM_FLASH_BASE + SIM_FLASH_KIB_MAX * 1024;
    const std::vector<uint8_t> block_2 = program_request(base + 1024);
    std::vector<uint8_t> bad_crc = program_request(base, 16);
    bad_crc[12] ^= 0x40;
    const std::vector<uint8_t> contact = with_crc({4, 0x2b, 0xf3, 8, 0, 8, 0, 0, 0, 0, 4});
    std::vector<uint8_t> one_short = program_request(base, 16);
    one_short.resize(one_short.size() - 3); // a data byte and the CRC
    one_short = with_crc(one_short);
    const std::vector<uint8_t> verify = with_crc({4, 0x2b, 0xf3, 8, 0, 8, 0, 0, 0, 4, 0});
    const std::vector<uint8_t> past_end = with_crc({4, 0x2b, 0xf3, 8, 0, 8, 0, 0, 2, 0, 0});
    const char *ack = "11 2bf2 7ms 0/0 x1 a0", *refused = "5 ab02 0ms 0/0 x1 a0",
               *refused_f = "5 ab02 0ms 0/0 x1 a0 F",
               *wrong_length = "5 ab03 0ms 0/0 x1 a0";
    // The replies to the request sent twice, and the end written of the flash after both.
    const std::tuple<const char *, fault_switches, std::vector<uint8_t>, std::string, std::string,
                     uint32_t>
        cases[] = {
        // clang-format off
        {"in range", {}, block_2, ack, ack, end_2},
        {"below the writable base", {}, program_request(base - 1), refused, refused, 0},
        {"past the end", {}, program_request(SIM_FLASH_END - 1023), refused, refused, 0},
        {"the last block", {}, program_request(SIM_FLASH_END - 1024), ack, ack, SIM_FLASH_END},
        {"a block one byte short", {}, one_short, wrong_length, wrong_length, 0},
        {"a reset one byte long", {}, with_crc({4, 0x2B, 0xF4, 0}), wrong_length, wrong_length, 0},
        {"a verify past the end", {}, past_end, refused, refused, 0},
        {"a bad CRC", {}, bad_crc, "none", "none", 0},
        {"another unit", {}, with_crc({5, 0x2B, 0xF4}), "none", "none", 0},
        {"an unknown sub-code", {}, with_crc({4, 0x2B, 0x0E, 1}), "5 ab01 0ms 0/0 x1 a0", "5 ab01 0ms 0/0 x1 a0", 0},
        {"an unknown function", {}, with_crc({4, 3, 0, 0, 0, 1}), "5 8301 0ms 0/0 x1 a0", "5 8301 0ms 0/0 x1 a0", 0},
        {"reset", {}, with_crc({4, 0x2B, 0xF4}), "5 2bf4 0ms 0/0 x1 a1", "5 2bf4 0ms 0/0 x1 a1", 0},
        {"corrupt_ack", {.corrupt_ack = 2}, block_2, "11 2bf2! 7ms 0/0 x1 a0 F", ack, end_2},
        {"split_ack", {.split_ack = {2, 40}}, block_2, "11 2bf2 7ms 5/40 x1 a0 F", ack, end_2},
        {"duplicate_ack", {.duplicate_ack = 2}, block_2, "11 2bf2 7ms 0/0 x2 a0 F", ack, end_2},
        {"late_ack", {.late_ack = {2, 300}}, block_2, "11 2bf2 307ms 0/0 x1 a0 F", ack, end_2},
        {"exception", {.exception = 2}, block_2, refused_f, refused_f, 0},
        {"hangup_after", {.hangup_after = 2}, block_2, "11 2bf2 7ms 0/0 x1 a2 F", "11 2bf2 7ms 0/0 x1 a2 F", end_2},
        {"freeze_after", {.freeze_after = 2}, block_2, "11 2bf2 7ms 0/0 x1 a0 F", "none F", end_2},
        {"ignore_contact", {.ignore_contact = 1}, contact, "none F", "15 2bf3 0ms 0/0 x1 a0", 0},
        {"short_verify", {.short_verify = true}, verify, "5 2bf3 0ms 0/0 x1 a0 F", "5 2bf3 0ms 0/0 x1 a0 F", 0},
        {"wrong_verify", {.wrong_verify = true}, verify, "15 2bf3 0ms 0/0 x1 a0 F", "15 2bf3 0ms 0/0 x1 a0 F", 0},
        {"forged_verify", {.forged_verify = true}, verify, "13 2bf3 0ms 0/0 x1 a0 F", "15 2bf3 0ms 0/0 x1 a0", 0},
        {"a 2 MiB part's last block", {.flash_kib = 2048}, program_request(end_2m - 1024), ack, ack, end_2m},
        {"past a 2 MiB part", {.flash_kib = 2048}, program_request(end_2m - 1023), refused, refused, 0},
        // clang-format on
    };
    for (const auto &[name, faults, request, first, again, written_end] : cases) {
        SCOPED_TRACE(name);
        target_model target;
        target.after_reset = AFTER_RESET_APPLICATION; // target_init sets every field
        target_init(&target, &faults, 7);
        EXPECT_EQ(shape(target_handle_request(&target, request.data(), request.size())), first);
        EXPECT_EQ(shape(target_handle_request(&target, request.data(), request.size())), again);
        EXPECT_EQ(target.written_end, written_end);
    }
    target_model target; // kep-sim's log says what it answered, and why not
    target_init(&target, &std::get<1>(cases[0]), 7);
    for (const auto &[request, note] : {std::pair{bad_crc, "dropped 27 bytes: CRC wrong"},
                                        {block_2, "reply: ack of block 2"}})
        EXPECT_EQ(target_handle_request(&target, request.data(), request.size()).notes.back(), note);
    // The first verify reply forged: its own CRC, read as the range's, is the range CRC.
    std::vector<uint8_t> erased(1024, 0xFF);
    target.faults.forged_verify = true;
    reply_plan forged = target_handle_request(&target, verify.data(), verify.size());
    ASSERT_EQ(forged.bytes.size(), 13u);
    EXPECT_EQ(get_be16(forged.bytes.data() + 11), crc16_modbus(erased.data(), 1024));
    char range_crc[32];
    snprintf(range_crc, sizeof range_crc, "reply: range CRC %#06x", crc16_modbus(erased.data(), 1024));
    EXPECT_EQ(target_handle_request(&target, verify.data(), verify.size()).notes.back(), range_crc);
}

// Each reply 0 to N ms late: within the bounds, varied, and the same again
// from the same seed.
TEST(target_model_test, reply_jitter_is_bounded_varied_and_repeatable_from_its_seed)
{
    const std::vector<uint8_t> block = program_request(SIM_WRITABLE_BASE);
    auto delays = [&](uint32_t seed) {
        target_model target;
        fault_switches none{};
        target_init(&target, &none, 7);
        target_set_jitter(&target, 16, seed);
        std::vector<int32_t> got;
        for (int i = 0; i < 200; i++)
            got.push_back(target_handle_request(&target, block.data(), block.size()).delay_ms);
        return got;
    };
    std::vector<int32_t> first = delays(26);
    EXPECT_EQ(*std::min_element(first.begin(), first.end()), 7);
    EXPECT_EQ(*std::max_element(first.begin(), first.end()), 7 + 16);
    EXPECT_EQ(delays(26), first);
    EXPECT_NE(delays(27), first);
}

// A fixture's board: placed, reset into what it runs, taken off, and a new
// blank one placed on the same line.
TEST(target_model_test, a_fixture_board_answers_by_what_it_runs)
{
    const std::vector<uint8_t> reset = with_crc({4, 0x2B, 0xF4}),
                               contact = with_crc({4, 0x2b, 0xf3, 8, 0, 8, 0, 0, 0, 0, 4}),
                               block_1 = program_request(SIM_WRITABLE_BASE);
    const char *bootloader = "15 2bf3 0ms 0/0 x1 a0", *application = "5 ab01 0ms 0/0 x1 a0";
    // Removed: before the reset; then the reply to the reset and to a contact after it.
    const std::tuple<const char *, fault_switches, after_reset_mode, bool, const char *, const char *>
        cases[] = {
        {"bootloader", {}, AFTER_RESET_BOOTLOADER, false, "5 2bf4 0ms 0/0 x1 a1", bootloader},
        {"application", {}, AFTER_RESET_APPLICATION, false, "5 2bf4 0ms 0/0 x1 a1", application},
        {"restart", {.restart_on_reset = true}, AFTER_RESET_APPLICATION, false, "none F",
         application},
        {"removed", {}, AFTER_RESET_APPLICATION, true, "none", "none"},
        {"frozen", {.freeze_after = 1}, AFTER_RESET_BOOTLOADER, false, "none F", "none F"},
    };
    for (const auto &[name, faults, after_reset, removed, reset_reply, contact_after] : cases) {
        SCOPED_TRACE(name);
        target_model target;
        auto answer = [&](const std::vector<uint8_t> &request) {
            return shape(target_handle_request(&target, request.data(), request.size()));
        };
        target_insert_board(&target, &faults, 0, after_reset);
        answer(block_1);
        std::vector<uint8_t> held = target_board_flash(&target); // written or not, to the end
        EXPECT_EQ(held.size(), SIM_FLASH_SIZE - (SIM_WRITABLE_BASE - SIM_FLASH_BASE));
        EXPECT_EQ(held[0], 0x3C);
        EXPECT_EQ(held[SIM_BLOCK_SIZE], 0xFF);
        if (removed)
            target_remove_board(&target);
        EXPECT_EQ(answer(reset), reset_reply);
        EXPECT_EQ(answer(contact), contact_after);
        target_insert_board(&target, &faults, 0, after_reset);
        EXPECT_EQ(answer(contact), bootloader);
        EXPECT_EQ(target.flash[SIM_WRITABLE_BASE - SIM_FLASH_BASE], 0xFF);
    }
}

} // namespace
