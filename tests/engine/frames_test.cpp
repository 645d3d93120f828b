#include "fake_target.h"
#include "frame_bytes.h"
#include "frames.h"

#include <gtest/gtest.h>
#include <vector>

namespace
{

std::vector<uint8_t> fill_of(size_t n) { return std::vector<uint8_t>(n, 0x12); }

TEST(Crc16Modbus, GivesThePublishedCheckValue)
{
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(crc16_modbus(check, 9), 0x4B37);
    EXPECT_EQ(crc16_modbus(check, 0), 0xFFFF);
    EXPECT_EQ(crc16_modbus(check, -3), 0xFFFF);
}

// Each request byte for byte; then, per request in flight, which replies a read
// may end on at once: the reply is the request's first `echoed` bytes, `added` more.
TEST(RequestFrames, MatchTheWorkedExamplesAndOnlyTheirReplyOrAnExceptionIsWhole)
{
    std::vector<uint8_t> data(1024);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (uint8_t)(i * 7 + 1);
    std::vector<uint8_t> full_block = {0x04, 0x2b, 0xf2, 0x08, 0x00, 0x68, 0x00, 0x04, 0x00};
    full_block.insert(full_block.end(), data.begin(), data.end());
    full_block.insert(full_block.end(), {0xfb, 0xa6}); // the CRC over 1033 bytes, low byte first
    auto head = [](const std::vector<uint8_t> &request, size_t n) {
        return std::vector<uint8_t>(request.begin(), request.begin() + (long)n);
    };
    auto plus = [](std::vector<uint8_t> bytes, std::vector<uint8_t> more) {
        bytes.insert(bytes.end(), more.begin(), more.end());
        return bytes;
    };
    const std::tuple<void (*)(update_link *, const uint8_t *data), std::vector<uint8_t>, size_t,
                     size_t>
        cases[] = {
            {[](update_link *l, const uint8_t *) { build_address_query(l, 0x08000800, 4); },
             {0x04, 0x2b, 0xf3, 0x08, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x04, 0x72, 0x82}, 11, 2},
            {[](update_link *l, const uint8_t *) { build_address_query(l, 0x08000800, 0x6400); },
             {0x04, 0x2b, 0xf3, 0x08, 0x00, 0x08, 0x00, 0x00, 0x00, 0x64, 0x00, 0x59, 0x81}, 11, 2},
            {[](update_link *l, const uint8_t *) {
                 l->unit_address = 0x1204; // only the low byte goes out
                 build_reset(l);
             },
             {0x04, 0x2b, 0xf4, 0x2f, 0x76}, 3, 0},
            {[](update_link *l, const uint8_t *d) { build_program_block(l, 0x08006800, 1024, d); },
             full_block, 9, 0},
            {[](update_link *l, const uint8_t *d) { build_program_block(l, 0x08000800, 3, d); },
             with_crc({0x04, 0x2b, 0xf2, 0x08, 0x00, 0x08, 0x00, 0x00, 0x03, 0x01, 0x08, 0x0f}), 9,
             0},
        };
    for (const auto &[build, bytes, echoed, added] : cases) {
        test_link t({0}); // its frame buffer; the one-byte image is not used
        build(&t.link, data.data());
        std::vector<uint8_t> request = head(t.frame, (size_t)t.link.len);
        EXPECT_EQ(request, bytes);
        std::vector<uint8_t> whole = with_crc(plus(head(request, echoed), fill_of(added)));
        std::vector<uint8_t> other = request; // another block, another range
        if (other.size() > 6)
            other[6] ^= 0x04;
        std::vector<uint8_t> bad_crc = whole;
        bad_crc.back() ^= 1;
        const std::tuple<const char *, std::vector<uint8_t>, bool> replies[] = {
            {"whole", whole, true},
            {"prefix", head(whole, whole.size() - 1), false},
            {"one byte too many", plus(whole, {0}), false},
            {"bad CRC", bad_crc, false},
            {"exception", with_crc({0x04, 0xAB, 0x02}), true},
            {"another unit's exception", with_crc({0x05, 0xAB, 0x02}), false},
            {"another request's reply", with_crc(plus(head(other, echoed), fill_of(added))),
             echoed < 7},
            {"another state's reply",
             with_crc(echoed == 3 ? plus(head(request, 3), fill_of(6)) : head(request, 3)), false},
        };
        for (const auto &[name, reply, is_whole] : replies)
            EXPECT_EQ(reply_is_whole(request.data(), (int32_t)request.size(), reply.data(),
                                     (int32_t)reply.size()),
                      is_whole)
                << name << " to a request of " << request.size() << " bytes";
    }
    std::vector<uint8_t> exception = with_crc({0x04, 0xAB, 0x02});
    EXPECT_FALSE(reply_is_whole(exception.data(), 3, exception.data(), 5)) << "no request";
    std::vector<uint8_t> reply = with_crc({4, 0x2b, 0xf3, 8, 0, 8, 0, 0, 0, 0, 4, 0x12, 0x34});
    EXPECT_FALSE(reply_is_whole(reply.data(), 12, reply.data(), 15)) << "a request cut short";
}

using RequestFramesDeathTest = testing::Test;

TEST_F(RequestFramesDeathTest, ProgramBlockOutsideOneToFullBlockIsAnAssertion)
{
    test_link t({0});
    std::vector<uint8_t> data(1025);
    const char *text = "local_memory_address!=0 && block_length>0 && block_length <= "
                       "MODBUS_PROG_BLOCKSIZE_MAX";
    EXPECT_DEATH(build_program_block(&t.link, 0x08000800, 0, data.data()), text);
    EXPECT_DEATH(build_program_block(&t.link, 0x08000800, 1025, data.data()), text);
    EXPECT_DEATH(build_program_block(&t.link, 0x08000800, 16, nullptr), text);
}

TEST(FrameIsValid, NeedsFourBytesAndAMatchingCrcAndTheReplyKindComesFromItsLengthAndFunction)
{
    // The bytes, their kind, the link's error (0: a short read is not a CRC failure) and
    // the exception code or the range CRC.
    const std::tuple<std::vector<uint8_t>, reply_kind, int32_t, uint32_t> cases[] = {
        {{0x04, 0x2b, 0xf4}, REPLY_SHORT, 0, 0},
        {with_crc({0x04, 0x2b}), REPLY_ACK, 0, 0},
        {with_crc({0x04, 0xAB, 0x02}), REPLY_EXCEPTION, 0, 0x02},
        {with_crc({0x04, 0x2B, 0x02}), REPLY_ACK, 0, 0},
        {with_crc({0x04, 0xAB, 0x02, 0x00}), REPLY_ACK, 0, 0},            // too long for one
        {{0x04, 0x2b, 0xf4, 0x76, 0x2f}, REPLY_BAD, FRAME_ERROR_CRC, 0}, // CRC bytes swapped
        {with_crc({4, 0x2b, 0xf3, 8, 0, 8, 0, 0, 0, 0x64, 0, 0x12}), REPLY_ACK, 0, 0},
        {with_crc({4, 0x2b, 0xf3, 8, 0, 8, 0, 0, 0, 0x64, 0, 0x12, 0x34}), REPLY_VERIFY, 0, 0x1234},
    };
    for (const auto &[bytes, kind, error, value] : cases) {
        test_link t({0});
        std::copy(bytes.begin(), bytes.end(), t.frame.begin());
        t.link.len = (int32_t)bytes.size();
        bool valid = kind != REPLY_SHORT && kind != REPLY_BAD;
        EXPECT_EQ(frame_is_valid(&t.link), valid) << bytes.size();
        EXPECT_EQ(frame_crc_ok(bytes.data(), (int32_t)bytes.size()), valid);
        EXPECT_EQ(t.link.error, error);
        uint8_t code = 0;
        uint16_t crc = 0;
        EXPECT_EQ(classify_reply(bytes.data(), (int32_t)bytes.size(), &code, &crc), kind);
        EXPECT_EQ(kind == REPLY_EXCEPTION ? code : crc, value);
    }
}

} // namespace
