#include "fake_os.h"
#include "fake_target.h"
#include "frames.h"
#include "link_state_machine.h"
#include "update_session.h"

#include <algorithm>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>

using testing::ElementsAre;
using testing::HasSubstr;

namespace
{

const int32_t LATE_ACK_MS = 530; // block 1's ack then arrives 10 ms after its re-send

class LinkStateMachine : public testing::Test
{
  protected:
    void SetUp() override { restart(); }
    void TearDown() override { fake_reset(); }

    // A fresh clock, port, report and target.
    void restart()
    {
        fake_reset();
        fake.now = 1000;
        reports.trace.clear();
        reports.status.clear();
        reports.resends = 0;
        const fault_switches none{};
        target_init(&target, &none, 0); // erased flash, no fault switch on
        attach_target(&target);
    }

    // Request kinds in the order written: C contact, Pn program block n
    // (from 0), Qn the CRC of a half of block n, V verify, R reset.
    std::vector<std::string> requests() const
    {
        std::vector<std::string> kinds;
        for (const auto &w : fake.writes) {
            const uint8_t *b = w.bytes.data();
            if (b[2] == 0xF4) {
                kinds.push_back("R");
                continue;
            }
            std::string block = std::to_string((get_be32(b + 3) - 0x08000800) / 1024);
            uint32_t length = b[2] == 0xF3 ? get_be32(b + 7) : 0;
            kinds.push_back(length == 4     ? "C"
                            : length == 512 ? "Q" + block
                            : b[2] == 0xF3  ? "V"
                                            : "P" + block);
        }
        return kinds;
    }

    // kep-update's session over the link: a prompt contact, reads that pace the steps.
    session_end run_prompt(test_link *t, bool skip_unchanged = false)
    {
        fake.whole_replies = true;
        t->link.prompt_contact = true;
        t->link.skip_unchanged = skip_unchanged;
        update_session s{};
        s.paced_by_reads = true;
        s.timeout_ms = 5000;
        session_begin(&s, &t->link, t->link.image, t->link.image_size);
        return session_run(&s, [](void *) { return true; }, nullptr);
    }

    bool flash_holds(const test_link &t) const
    {
        return std::equal(t.link.image, t.link.image + t.link.image_size, target.flash.begin() + 0x800);
    }

    target_model target;
    captured_reports reports;
};

TEST_F(LinkStateMachine, CleanRunSendsEveryBlockOnceThenVerifiesAndResetsAndARerunDoesItAgain)
{
    test_link t(pattern_image(3 * 1024 - 100));
    for (int run = 1; run <= 2; run++) {
        fake.writes.clear();
        reports.status.clear();
        t.link.state = STATE_START; // what opening the port again does
        run_link(&t.link);
        ASSERT_EQ(t.link.state, STATE_DONE);
        // Three contact requests: see the contact test below.
        EXPECT_EQ(requests(),
                  (std::vector<std::string>{"C", "C", "C", "P0", "P1", "P2", "V", "R"}));
        EXPECT_THAT(reports.status, ElementsAre("Establishing Link...", "programming 0x8000800",
                                                "programming 0x8000c00", "programming 0x8001000",
                                                "Verifying...", "Program Verified OK",
                                                "Resetting target...", "Programming Completed OK"));
        EXPECT_EQ(fake.purges, run);
        EXPECT_EQ(fake.flushes, run);
    }
    // Every block as the target received it is the padded image, zero fill included.
    EXPECT_EQ(t.link.image[3 * 1024 - 100], 0);
    EXPECT_TRUE(std::equal(t.link.image, t.link.image + 3 * 1024, target.flash.begin() + 0x800));
    // A link given an image of part blocks ends on a short block.
    t.link.image_size = 1500;
    fake.writes.clear();
    t.link.state = STATE_START;
    run_link(&t.link);
    ASSERT_EQ(requests(), (std::vector<std::string>{"C", "C", "C", "P0", "P1", "V", "R"}));
    EXPECT_EQ(get_be16(fake.writes[4].bytes.data() + 7), 476u);
}

TEST_F(LinkStateMachine, AnswersWithinThePauseLinkOnTheThirdContactAndSilenceGetsOneContactAStep)
{
    test_link t(pattern_image(1024));
    run_link(&t.link, 1); // START -> INIT
    run_link(&t.link, 1); // INIT -> CONTACT: first request, no read
    EXPECT_EQ(fake.reads, 0);
    EXPECT_EQ(fake.writes.size(), 1u);

    run_link(&t.link, 1); // re-sends, then reads both answers as one frame
    EXPECT_EQ(t.link.state, STATE_CONTACT);
    EXPECT_EQ(t.link.error, 5);
    EXPECT_EQ(fake.writes.size(), 2u);

    run_link(&t.link, 1);
    EXPECT_EQ(t.link.state, STATE_PROGRAM);
    EXPECT_THAT(requests(), ElementsAre("C", "C", "C", "P0"));
    EXPECT_EQ(t.link.timeout_ms, 500u);
    EXPECT_THAT(reports.trace, HasSubstr("REMOTE DEVICE LINK ESTABLISHED\n"));

    // A silent target gets one contact request per step.
    restart();
    target.faults.silent = true;
    test_link silent(pattern_image(1024));
    run_link(&silent.link, 12);
    EXPECT_EQ(silent.link.state, STATE_CONTACT);
    EXPECT_EQ(fake.writes.size(), 11u);
    // Each contact request is followed by its 100 ms pause and a 100 ms read.
    EXPECT_EQ(fake.writes[2].at - fake.writes[1].at, 210u);
    EXPECT_THAT(reports.status, ElementsAre("Establishing Link..."));
}

TEST_F(LinkStateMachine, LateAckIsTakenAndTheSecondAckThenCountsForTheNextBlock)
{
    // Block 0's first ack comes only after the re-send, and before the
    // re-send's own ack: every later ack is then taken for the block after.
    attach_target(&target, 40);
    target.faults.late_ack = {1, LATE_ACK_MS};
    test_link t(pattern_image(3 * 1024));
    run_link(&t.link);
    auto sent = requests();
    ASSERT_GE(sent.size(), 9u);
    EXPECT_EQ(std::vector<std::string>(sent.begin(), sent.begin() + 8),
              (std::vector<std::string>{"C", "C", "C", "P0", "P0", "P1", "P2", "V"}));
    size_t p1 = 5;
    // The late ack is accepted and block 1 goes out in the same step.
    EXPECT_EQ(fake.writes[p1].at - fake.writes[p1 - 1].at, 30u);
    // The ack of block 2 arrives in the verify state: not the verify reply,
    // so it is passed over and the real reply completes the update.
    EXPECT_TRUE(std::equal(t.link.image, t.link.image + 3 * 1024, target.flash.begin() + 0x800));
    EXPECT_EQ(t.link.state, STATE_DONE);
}

// On a fixture, block 2's ack is lost: before the block goes again the
// session asks the board its CRC of block 1, so that a board placed in the
// pulled one's stead never takes the rest of its image.
TEST_F(LinkStateMachine, OnAFixtureABlockGoesAgainOnlyToTheBoardThatTookTheOnesBefore)
{
    const std::tuple<const char *, bool, bool, session_end, const char *> cases[] = {
        {"the same board", false, false, SESSION_UPDATED, "matches"},
        {"another board in its place", true, false, SESSION_BOARD_CHANGED, "differs: another board"},
        {"a board that froze", false, true, SESSION_TIMED_OUT, "not answered"},
    };
    for (const auto &[story, swap, freeze, end, said] : cases) {
        restart();
        target.faults.drop_ack = 2;
        target.faults.freeze_after = freeze ? 1 : 0;
        test_link t(pattern_image(3 * 1024));
        t.link.answers_only = true;
        update_session s{};
        s.confirm_board = true;
        s.timeout_ms = 2000;
        session_begin(&s, &t.link, t.link.image, 3 * 1024);
        struct swapping {
            target_model *target;
            update_link *link;
            bool swap;
        } context{&target, &t.link, swap};
        auto keep_going = [](void *c) {
            auto *w = static_cast<swapping *>(c);
            if (w->swap && w->link->offset == 1024) { // pulled, a blank board placed
                const fault_switches none{};
                target_insert_board(w->target, &none, 0, AFTER_RESET_BOOTLOADER);
                w->swap = false;
            }
            return true;
        };
        EXPECT_EQ(session_run(&s, keep_going, &context), end) << story;
        EXPECT_THAT(reports.trace, HasSubstr(std::string("acknowledged ") + said)) << story;
        auto sent = requests();
        EXPECT_EQ(std::ranges::count(sent, "P1"), end == SESSION_UPDATED ? 2 : 1) << story;
        EXPECT_EQ(std::ranges::count(sent, "P2"), end == SESSION_UPDATED ? 1 : 0) << story;
    }
}

TEST_F(LinkStateMachine, ShortVerifyRepliesAreIgnoredAndTheRequestIsResent)
{
    test_link t(pattern_image(1024));
    // A CRC-valid 13-byte reply whose own frame CRC, read high byte first at
    // bytes 11-12, equals the local CRC: taken at face value it would "verify".
    // The first verify reply is forged that way; the second is the true one.
    target.faults.forged_verify = true;
    run_link(&t.link);
    ASSERT_EQ(t.link.state, STATE_DONE);
    auto sent = requests();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "V"), 2);
    EXPECT_EQ(reports.trace.find("Remote CRC"), reports.trace.rfind("Remote CRC"));

    restart();
    target.faults.short_verify = true; // every verify reply in the 5-byte form
    target.flash_ms = 300;             // the last block's ack, and so the verify, comes late
    test_link again(pattern_image(1024));
    run_link(&again.link, 300); // 3 s
    EXPECT_EQ(again.link.state, STATE_VERIFY);
    EXPECT_THAT(reports.trace, testing::Not(HasSubstr("Remote CRC")));
    std::vector<uint32_t> verifies;
    for (const auto &w : fake.writes)
        if (w.bytes[2] == 0xF3 && w.bytes[10] != 4)
            verifies.push_back(w.at);
    ASSERT_GE(verifies.size(), 4u);
    EXPECT_EQ(reports.resends, (int)verifies.size() - 1);
    // Each wait is timed from its own request, the first one's too.
    for (size_t i = 1; i < verifies.size(); i++)
        EXPECT_GT(verifies[i] - verifies[i - 1], 500u);
}

TEST_F(LinkStateMachine, UnansweredResetIsResentAfter100ms)
{
    target.faults.ignore_reset = 2;
    test_link t(pattern_image(1024));
    run_link(&t.link);
    ASSERT_EQ(t.link.state, STATE_DONE);
    std::vector<uint32_t> resets;
    for (size_t i = 0; i < fake.writes.size(); i++)
        if (fake.writes[i].bytes[2] == 0xF4)
            resets.push_back(fake.writes[i].at);
    ASSERT_EQ(resets.size(), 3u);
    EXPECT_EQ(reports.resends, 2) << "each re-send is an event for the front end";
    // The first reset leaves from the verify step, so its first wait has an
    // extra tick; after that a silent read takes 100 ms and the timer 10 ms,
    // so every step re-sends.
    EXPECT_EQ(resets[1] - resets[0], 120u);
    EXPECT_EQ(resets[2] - resets[1], 110u);
    EXPECT_THAT(reports.trace, HasSubstr("frame length    5 bytes received & OK\n"));
}

TEST_F(LinkStateMachine, AVerifyMismatchOrRefusalFailsAndSendsNothingMoreUntilARetryAndCheckOnlyNeverWrites)
{
    // Check only, a wrong verify, held once linked; the blocks (past kep-sim's 126 writable
    // blocks its verify is refused); the final state, the requests, what the trace says and
    // does not say, the last status.
    const std::tuple<bool, bool, bool, int32_t, link_state, std::vector<std::string>, const char *,
                     const char *, const char *>
        cases[] = {
        // clang-format off
        {false, true, false, 2, STATE_FAILED, {"C", "C", "C", "P0", "P1", "V"}, "CRC FAIL\n", "REFUSED", "FAILED"},
        {true, false, false, 2, STATE_DONE, {"C", "C", "C", "V"}, "CRCs match\n", "REFUSED", "Program Verified OK"},
        {true, true, false, 2, STATE_FAILED, {"C", "C", "C", "V"}, "CRC FAIL\n", "REFUSED",
         "DIFFERS"}, // a check wrote nothing: it never says FAILED
        {true, false, false, 127, STATE_FAILED, {"C", "C", "C", "V"}, "VERIFY REFUSED, exception 0x02\n", "CRC",
         "VERIFY REFUSED"},
        // Held once linked: nothing more is sent until the front end goes on.
        {false, false, true, 2, STATE_LINKED, {"C", "C", "C"}, "LINK ESTABLISHED\n", "PROG", "Establishing Link..."},
        // clang-format on
    };
    for (const auto &[check_only, wrong, hold, blocks, state, sent, traced, untraced, status] :
         cases) {
        SCOPED_TRACE(traced);
        restart();
        target.faults.wrong_verify = wrong;
        test_link t(pattern_image(blocks * 1024));
        if (check_only)
            std::copy(t.link.image, t.link.image + 2048, target.flash.begin() + 0x800);
        t.link.check_only = check_only;
        t.link.hold_when_linked = hold;
        run_link(&t.link);
        for (int i = 0; i < 5; i++)
            link_step(&t.link);
        EXPECT_EQ(t.link.state, state);
        EXPECT_EQ(requests(), sent);
        EXPECT_EQ(target.resets, 0);
        EXPECT_EQ(reports.status.back(), status);
        EXPECT_THAT(reports.trace, HasSubstr(traced));
        EXPECT_THAT(reports.trace, testing::Not(HasSubstr(untraced)));
        if (check_only)
            continue;
        // Opening the port again retries from the start.
        target.faults.wrong_verify = false;
        t.link.hold_when_linked = false;
        t.link.state = STATE_START;
        run_link(&t.link);
        EXPECT_EQ(t.link.state, STATE_DONE);
    }
}

TEST(IntervalElapsed, RestampsOnZeroAndComparesByUnsignedDifference)
{
    fake_reset();
    fake.now = 0xFFFFFFF0u;
    uint32_t stamp = 0;
    EXPECT_TRUE(interval_elapsed(&stamp, 0));
    EXPECT_EQ(stamp, 0xFFFFFFF0u);
    fake.now += 100; // wraps past zero
    EXPECT_FALSE(interval_elapsed(&stamp, 100));
    fake.now += 1;
    EXPECT_TRUE(interval_elapsed(&stamp, 100));
    EXPECT_EQ(stamp, 0xFFFFFFF0u);
}

TEST_F(LinkStateMachine, LostAckResendsTheSameBlockAfterMoreThan500msAndTracesAsTheGoldenFile)
{
    target.faults.drop_ack = 2;
    test_link t(pattern_image(3 * 1024 - 100));
    run_link(&t.link);
    ASSERT_EQ(t.link.state, STATE_DONE);
    EXPECT_THAT(requests(), ElementsAre("C", "C", "C", "P0", "P1", "P1", "P2", "V", "R"));
    EXPECT_EQ(reports.resends, 1);
    const auto &first = fake.writes[4];
    const auto &again = fake.writes[5];
    EXPECT_EQ(first.bytes, again.bytes);
    EXPECT_GT(again.at - first.at, 500u);
    EXPECT_LE(again.at - first.at, 500u + 100u + 10u); // the first step after the time-out
    std::ifstream golden(GOLDEN_DIR "/three_block_run.trace", std::ios::binary);
    ASSERT_TRUE(golden) << "missing golden transcript";
    std::stringstream expected;
    expected << golden.rdbuf();
    EXPECT_EQ(reports.trace, expected.str());
}

// kep-update's contact: asked again every 40 ms without the dialog's pause,
// each read waiting only until the next is due, and taken by the first
// answer alone.
TEST_F(LinkStateMachine, APromptContactFindsATargetAtOnceLateTwiceOrThroughNoise)
{
    enum story { AT_ONCE, STARTS_LATE, ANSWERS_TWICE, NOISE };
    const std::tuple<story, int, const char *> cases[] = {
        {AT_ONCE, 1, "answers the first request"},
        {STARTS_LATE, 6, "ignores five contact requests, as a bootloader starting"},
        {ANSWERS_TWICE, 1, "answers the first request twice"},
        {NOISE, 3, "noise on the line spoils the first two answers"},
    };
    for (const auto &[kind, contacts, what] : cases) {
        restart();
        target.faults.ignore_contact = kind == STARTS_LATE ? 5 : 0;
        auto answer = fake.on_write;
        int heard = 0;
        fake.on_write = [&, kind](const std::vector<uint8_t> &request, uint32_t now) {
            size_t before = fake.incoming.size();
            answer(request, now);
            bool contact = request[2] == 0xF3 && get_be32(request.data() + 7) == 4;
            if (!contact || heard++ >= 2)
                return;
            std::vector<uint8_t> reply;
            for (size_t i = before; i < fake.incoming.size(); i++)
                reply.push_back(fake.incoming[i].second);
            if (kind == ANSWERS_TWICE && heard == 1)
                fake_deliver(now + FAKE_LINE_DELAY_MS + 2, reply);
            if (kind == NOISE)
                fake_deliver(now + 1, {0x00, 0xff, 0x13});
        };
        test_link t(pattern_image(2 * 1024));
        EXPECT_EQ(run_prompt(&t), SESSION_UPDATED) << what;
        EXPECT_TRUE(flash_holds(t)) << what;
        auto sent = requests();
        EXPECT_EQ(std::ranges::count(sent, "C"), contacts) << what;
        EXPECT_EQ(std::ranges::count(sent, "P0"), 1) << what; // no time-out after the contact
        for (int i = 1; i < contacts; i++) {
            uint32_t gap = fake.writes[(size_t)i].at - fake.writes[(size_t)i - 1].at;
            EXPECT_GE(gap, 20u) << what;
            EXPECT_LE(gap, 50u) << what;
        }
        EXPECT_LE(fake.writes[(size_t)contacts].at - fake.writes[(size_t)contacts - 1].at, 40u) << what;
        // Each request follows the reply before it: reads pace the steps, no timer between.
        for (size_t i = (size_t)contacts + 1; i < fake.writes.size(); i++)
            EXPECT_LT(fake.writes[i].at - fake.writes[i - 1].at, STEP_INTERVAL_MS)
                << what << ", request " << i;
    }
}

// --skip-unchanged over boards of every kind: which blocks go, and the
// flash equals the image afterwards whatever the board held.
TEST_F(LinkStateMachine, SkipUnchangedWritesOnlyTheBlocksThatDiffer)
{
    const int blocks = 12;
    const std::vector<uint8_t> image = pattern_image(blocks * 1024);
    auto changed = [&](std::initializer_list<int> offsets) {
        std::vector<uint8_t> board = image;
        for (int at : offsets)
            board[(size_t)at] ^= 0x5a;
        return board;
    };
    struct board_case {
        const char *what;
        std::vector<uint8_t> flash; // preloaded from the flash base; empty: blank
        bool refuses;
        std::vector<int> written;
        int questions;
    };
    const std::vector<int> all{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    const board_case cases[] = {
        // Four differ in a row, then four go unasked, one is asked, the rest unasked.
        {"blank", {}, false, all, 5},
        {"holding the image", image, false, {}, 2 * blocks},
        {"another build, blocks 2 and 7 differ", changed({2 * 1024 + 3, 7 * 1024 + 1000}), false,
         {2, 7}, 2 * blocks - 1},
        {"interrupted at block 9", std::vector<uint8_t>(image.begin(), image.begin() + 8 * 1024),
         false, {8, 9, 10, 11}, 2 * 8 + 4},
        {"block 5's first half matches, its second does not", changed({5 * 1024 + 700}), false,
         {5}, 2 * blocks},
        {"a target that refuses the question", image, true, all, 1},
    };
    for (const auto &c : cases) {
        restart();
        target_preload(&target, c.flash);
        target.faults.refuse_small_ranges = c.refuses;
        test_link t(image);
        ASSERT_EQ(run_prompt(&t, true), SESSION_UPDATED) << c.what;
        EXPECT_TRUE(flash_holds(t)) << c.what;
        std::vector<int> written;
        int questions = 0;
        for (const std::string &kind : requests()) {
            if (kind[0] == 'P')
                written.push_back(std::stoi(kind.substr(1)));
            questions += kind[0] == 'Q';
        }
        EXPECT_EQ(written, c.written) << c.what;
        EXPECT_EQ(questions, c.questions) << c.what;
        EXPECT_EQ(t.link.blocks_skipped, blocks - (int)c.written.size()) << c.what;
        EXPECT_THAT(reports.trace, HasSubstr("Blocks written " + std::to_string(c.written.size()) +
                                             ", already there " +
                                             std::to_string(blocks - c.written.size())))
            << c.what;
    }
}

} // namespace
