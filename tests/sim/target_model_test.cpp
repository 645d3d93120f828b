// How the simulated target answers what the engine tests do not send: writes
// out of range, bad or foreign frames, unknown requests, and each fault
// switch's effect on the reply. Its ordinary answers are the engine tests'.
#include "frame_bytes.h"
#include "frames.h"
#include "target_model.h"

#include <gtest/gtest.h>

namespace
{

bool crc_ok(const std::vector<uint8_t> &frame)
{
    return frame_crc_ok(frame.data(), (int32_t)frame.size());
}

std::vector<uint8_t> program_request(uint32_t address, size_t length, uint8_t fill)
{
    std::vector<uint8_t> bytes = {4, 0x2B, 0xF2, 0, 0, 0, 0, 0, 0};
    put_be32(&bytes[3], address);
    put_be16(&bytes[7], (uint32_t)length);
    for (size_t i = 0; i < length; i++)
        bytes.push_back((uint8_t)(fill + i));
    return with_crc(bytes);
}

std::vector<uint8_t> query(uint32_t address, uint32_t length)
{
    std::vector<uint8_t> bytes = {4, 0x2B, 0xF3, 0, 0, 0, 0, 0, 0, 0, 0};
    put_be32(&bytes[3], address);
    put_be32(&bytes[7], length);
    return with_crc(bytes);
}

uint32_t block_address(int block) { return SIM_WRITABLE_BASE + (uint32_t)(block - 1) * 1024; }

class target_model_test : public ::testing::Test
{
  protected:
    void start(const fault_switches &with = fault_switches{}, int32_t flash_ms = 0)
    {
        target_init(&target, &with, flash_ms);
    }
    reply_plan send(const std::vector<uint8_t> &request)
    {
        return target_handle_request(&target, request.data(), request.size());
    }
    void SetUp() override { start(); }
    target_model target;
};

TEST_F(target_model_test, writes_outside_the_application_area_get_exception_2)
{
    const uint8_t exception_2[] = {4, 0xAB, 0x02};
    for (uint32_t address : {0x08000000u, 0x080007FFu, SIM_FLASH_END - 1023u, 0x20000000u}) {
        reply_plan plan = send(program_request(address, 1024, 0));
        ASSERT_EQ(plan.bytes.size(), 5u) << std::hex << address;
        EXPECT_TRUE(std::equal(exception_2, exception_2 + 3, plan.bytes.begin()));
        EXPECT_TRUE(crc_ok(plan.bytes));
    }
    EXPECT_TRUE(target_written_flash(&target).empty());
    EXPECT_EQ(target.flash[0x800], 0xFF);
    // The very last block fits exactly.
    EXPECT_EQ(send(program_request(SIM_FLASH_END - 1024u, 1024, 0)).bytes.size(), 11u);
}

TEST_F(target_model_test, bad_crc_and_other_units_get_no_reply)
{
    std::vector<uint8_t> request = query(SIM_WRITABLE_BASE, 4);
    request.back() ^= 1;
    EXPECT_TRUE(send(request).bytes.empty());
    std::vector<uint8_t> other = {5, 0x2B, 0xF4};
    EXPECT_TRUE(send(with_crc(other)).bytes.empty());
    std::vector<uint8_t> block = program_request(block_address(1), 16, 0);
    block[12] ^= 0x40;
    EXPECT_TRUE(send(block).bytes.empty());
    EXPECT_TRUE(target_written_flash(&target).empty());
}

TEST_F(target_model_test, reset_is_echoed_and_unknown_requests_get_exceptions)
{
    std::vector<uint8_t> reset = {4, 0x2b, 0xf4, 0x2f, 0x76};
    reply_plan plan = send(reset);
    EXPECT_EQ(plan.bytes, reset);
    EXPECT_EQ(plan.after, AFTER_RESET);

    reply_plan unknown_sub = send(with_crc({4, 0x2B, 0x0E, 1, 0}));
    ASSERT_EQ(unknown_sub.bytes.size(), 5u);
    EXPECT_EQ(unknown_sub.bytes[1], 0xAB);
    EXPECT_EQ(unknown_sub.bytes[2], 0x01);
    reply_plan unknown_function = send(with_crc({4, 0x03, 0, 0, 0, 1}));
    ASSERT_EQ(unknown_function.bytes.size(), 5u);
    EXPECT_EQ(unknown_function.bytes[1], 0x83);
}

TEST_F(target_model_test, ack_faults_hit_the_first_send_of_their_block_only)
{
    fault_switches faults{};
    faults.drop_ack = 1;
    faults.corrupt_ack = 2;
    faults.late_ack = {3, 250};
    faults.split_ack = {4, 40};
    faults.duplicate_ack = 5;
    start(faults, 7);
    for (int block = 1; block <= 5; block++) {
        reply_plan first = send(program_request(block_address(block), 1024, 0));
        reply_plan again = send(program_request(block_address(block), 1024, 0));
        EXPECT_EQ(again.bytes.size(), 11u) << block;
        EXPECT_TRUE(crc_ok(again.bytes)) << block;
        EXPECT_EQ(again.delay_ms, 7) << block;
        EXPECT_EQ(again.split_at, 0u) << block;
        EXPECT_EQ(again.copies, 1) << block;
        switch (block) {
        case 1: EXPECT_TRUE(first.bytes.empty()); break;
        case 2:
            EXPECT_EQ(first.bytes.size(), 11u);
            EXPECT_FALSE(crc_ok(first.bytes));
            break;
        case 3: EXPECT_EQ(first.delay_ms, 257); break;
        case 4:
            EXPECT_GT(first.split_at, 0u);
            EXPECT_LT(first.split_at, 11u);
            EXPECT_EQ(first.split_gap_ms, 40);
            break;
        case 5: EXPECT_EQ(first.copies, 2); break;
        }
    }
    // Dropped or not, every block was written.
    EXPECT_EQ(target_written_flash(&target).size(), 5u * 1024u);
}

TEST_F(target_model_test, an_exception_block_is_refused_every_time_and_not_written)
{
    fault_switches faults{};
    faults.exception = 2;
    start(faults);
    send(program_request(block_address(1), 1024, 0));
    for (int attempt = 0; attempt < 2; attempt++) {
        reply_plan plan = send(program_request(block_address(2), 1024, 0));
        ASSERT_EQ(plan.bytes.size(), 5u);
        EXPECT_EQ(plan.bytes[1], 0xAB);
        EXPECT_EQ(plan.bytes[2], 0x02);
        EXPECT_TRUE(crc_ok(plan.bytes));
    }
    EXPECT_EQ(target.flash[block_address(2) - SIM_FLASH_BASE], 0xFF);
}

// Each fault switch against the request it affects: the reply's length (0:
// none), and for a 15-byte verify reply the range CRC's offset from the truth.
TEST_F(target_model_test, contact_verify_reset_and_line_faults)
{
    struct {
        const char *name;
        void (*set)(fault_switches *);
        std::vector<uint8_t> request;
        size_t reply_length;
        after_reply after;
    } cases[] = {
        {"ignore_contact", [](fault_switches *f) { f->ignore_contact = 1; },
         query(SIM_WRITABLE_BASE, 4), 0, AFTER_NOTHING},
        {"wrong_verify (contact untouched)", [](fault_switches *f) { f->wrong_verify = true; },
         query(SIM_WRITABLE_BASE, 4), 15, AFTER_NOTHING},
        {"wrong_verify", [](fault_switches *f) { f->wrong_verify = true; },
         query(SIM_WRITABLE_BASE, 1024), 15, AFTER_NOTHING},
        {"short_verify", [](fault_switches *f) { f->short_verify = true; },
         query(SIM_WRITABLE_BASE, 1024), 5, AFTER_NOTHING},
        {"forged_verify", [](fault_switches *f) { f->forged_verify = true; },
         query(SIM_WRITABLE_BASE, 1024), 13, AFTER_NOTHING},
        {"ignore_reset", [](fault_switches *f) { f->ignore_reset = 1; }, with_crc({4, 0x2B, 0xF4}),
         0, AFTER_NOTHING},
        {"silent", [](fault_switches *f) { f->silent = true; }, with_crc({4, 0x2B, 0xF4}), 0,
         AFTER_NOTHING},
        {"hangup_after", [](fault_switches *f) { f->hangup_after = 1; },
         program_request(block_address(1), 1024, 0), 11, AFTER_HANG_UP},
    };
    for (const auto &c : cases) {
        fault_switches faults{};
        c.set(&faults);
        start(faults);
        reply_plan plan = send(c.request);
        ASSERT_EQ(plan.bytes.size(), c.reply_length) << c.name;
        EXPECT_EQ(plan.after, c.after) << c.name;
        if (c.reply_length == 0) {
            EXPECT_EQ(send(c.request).bytes.empty(), faults.silent) << c.name << ", again";
            continue;
        }
        EXPECT_TRUE(crc_ok(plan.bytes)) << c.name;
        if (c.request[2] != 0xF3)
            continue;
        uint32_t length = get_be32(&c.request[7]);
        uint16_t right = crc16_modbus(target.flash.data() + 0x800, (int32_t)length);
        uint16_t reported = c.reply_length == 5 ? right : get_be16(&plan.bytes[11]);
        // Off by one in a falsified verify; a forged 13-byte reply's own CRC reads as the truth.
        EXPECT_EQ(reported, (uint16_t)(right + (c.reply_length == 15 && length > 4))) << c.name;
    }
}

} // namespace
