// The POSIX serial module over a pseudo-terminal pair: the test plays the far
// end on the master side, the module opens the slave. How port_read frames
// replies: the 100 ms total, the 20 ms gap between bytes, the count asked
// for, and the whole reply to the request written before; bounds on durations
// are generous on purpose: they tell a read that ended on the gap from one
// that ended on the total or at once. Open failures and their messages are
// kep-update's tests. Then the termios settings of the line, a line the
// system refuses to set, and the fatal-error report that ends the program.
#include "frame_bytes.h"
#include "monotonic_clock.h"
#include "open_serial_port.h"
#include "serial/line_settings_posix.h"
#include "serial/serial_port.h"

#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{

using fill = std::vector<uint8_t>; // count, value

double now_ms() { return (double)monotonic_ns() / 1e6; }

// From here on every attempt to set a line's settings fails with EPERM.
bool refuse_line_settings()
{
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_ioctl, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[1])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, TCSETS, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{(unsigned short)(sizeof code / sizeof code[0]), code};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

class serial_port_test : public testing::Test
{
  protected:
    void SetUp() override
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
        path = ptsname(master);
        handle = port_open(path.c_str());
        ASSERT_NE(handle, INVALID_PORT_HANDLE);
        ASSERT_EQ(configure_port(handle, 115200, 20), 0);
    }
    void TearDown() override
    {
        port_close(handle);
        if (master >= 0)
            close(master);
    }
    int master = -1;
    std::string path;
    port_handle handle = INVALID_PORT_HANDLE;
};

TEST_F(serial_port_test, reads_end_on_the_total_the_gap_or_the_count)
{
    // Bytes sent after a pause in ms; -1: sent before the read starts.
    using piece = std::pair<int, std::vector<uint8_t>>;
    struct test_case {
        const char *name;
        std::vector<piece> pieces;
        bool purge; // before the first read
        int count;
        std::vector<int> reads;  // the lengths of successive reads; -1: any
        double min_ms, max_ms;   // of the first read
        fill request = {};       // written before the reads: the request in flight
        double write_min_ms = 0; // of writing it again right after the reads
    };
    const fill reset = {0x04, 0x2b, 0xf4, 0x2f, 0x76}; // echoed as it is
    const fill contact = {4, 0x2b, 0xf3, 8, 0, 8, 0, 0, 0, 0, 4, 0x72, 0x82};
    const fill contact_reply = with_crc({4, 0x2b, 0xf3, 8, 0, 8, 0, 0, 0, 0, 4, 0x12, 0x34});
    const fill reset_and_one = with_crc({4, 0x2b, 0xf4, 0});
    // At 85, 94 and 103 ms: its last bytes come after the total.
    auto part = [&](long from, long to) {
        return fill(contact_reply.begin() + from, contact_reply.begin() + to);
    };
    const std::vector<piece> across = {{85, part(0, 6)}, {9, part(6, 11)}, {9, part(11, 15)}};
    std::vector<piece> stream; // one byte every 5 ms for 300 ms: never a 20 ms gap
    for (int i = 0; i < 60; i++)
        stream.push_back({5, {(uint8_t)i}});
    struct test_case cases[] = {
        {"nothing: the total", {}, false, 1040, {0}, 90, 250},
        {"purged", {{-1, fill(20, 0x20)}}, true, 1040, {0}, 90, 250},
        // 10 ms before the burst plus the 20 ms gap after it.
        {"a burst: the gap", {{10, fill(1035, 7)}}, false, 1040, {1035}, 25, 90},
        {"two pieces 50 ms apart", {{0, {1, 2}}, {50, {3, 4, 5}}}, false, 1040, {2, 3}, 15, 90},
        {"waiting before the read", {{-1, fill(15, 0x40)}}, false, 1040, {15}, 0, 90},
        {"more than count waiting", {{-1, fill(30, 1)}}, false, 10, {10, 10, 10}, 0, 90},
        {"the count reached in a second piece", {{0, {1, 2}}, {10, fill(20, 3)}}, false, 10, {10, 10, 2}, 0, 90},
        // Ended one gap past the total however long it lasts; the later reads take the rest.
        {"a stream", stream, false, 1040, {-1, -1, -1, -1, -1, -1}, 115, 160},
        // At once, before a byte that follows within the gap; the next request keeps
        // 2 ms from a whole reply's last byte.
        {"a whole reply", {{10, reset}, {12, {0x55}}}, false, 1040, {5, 1}, 5, 1000, reset},
        {"the turnaround", {{10, reset}}, false, 1040, {5}, 5, 1000, reset, 1.5},
        {"a reply across the total", across, false, 1040, {15}, 100, 200, contact},
        {"one byte more: the gap", {{10, reset_and_one}}, false, 1040, {6}, 25, 90, reset},
    };
    auto send = [&](const fill &bytes) {
        EXPECT_EQ(write(master, bytes.data(), bytes.size()), (ssize_t)bytes.size());
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> sent, got;
        for (const auto &[pause_ms, bytes] : c.pieces) {
            sent.insert(sent.end(), bytes.begin(), bytes.end());
            if (pause_ms < 0)
                send(bytes);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10)); // the waiting bytes arrive
        if (c.purge)
            port_purge(handle);
        std::vector<uint8_t> scratch(c.request.size() + 1);
        auto write_request = [&] {
            EXPECT_EQ(port_write(handle, c.request.data(), (int)c.request.size()),
                      (int)c.request.size());
            EXPECT_EQ(read(master, scratch.data(), c.request.size()), (ssize_t)c.request.size());
        };
        if (!c.request.empty())
            write_request();
        std::thread sender([&] {
            for (const auto &[pause_ms, bytes] : c.pieces) {
                std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
                if (pause_ms >= 0)
                    send(bytes);
            }
        });
        for (size_t i = 0; i < c.reads.size(); i++) {
            std::vector<uint8_t> buffer((size_t)c.count);
            double start = now_ms();
            int n = port_read(handle, buffer.data(), c.count);
            double took = now_ms() - start;
            EXPECT_TRUE(c.reads[i] < 0 || n == c.reads[i]) << "read " << i << ": " << n;
            got.insert(got.end(), buffer.begin(), buffer.begin() + (n > 0 ? n : 0));
            EXPECT_TRUE(i > 0 || (took >= c.min_ms && took < c.max_ms)) << took << " ms";
        }
        double start = now_ms();
        if (c.write_min_ms > 0)
            write_request();
        EXPECT_GE(now_ms() - start, c.write_min_ms);
        sender.join();
        EXPECT_EQ(got, c.purge ? std::vector<uint8_t>{} : sent);
        long code = 0;
        EXPECT_FALSE(port_failed(handle, &code)) << code; // a full buffer is no hang-up
    }
}

// One port's life: held against a second open, reopened, a large write, then
// the peer hangs up.
TEST_F(serial_port_test, a_held_port_refuses_a_second_open_writes_everything_then_sees_a_hang_up)
{
    auto descriptors = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
    auto before = descriptors();
    errno = 0;
    EXPECT_EQ(port_open(path.c_str()), INVALID_PORT_HANDLE);
    EXPECT_TRUE(errno == EWOULDBLOCK || errno == EBUSY) << "errno " << errno;
    EXPECT_EQ(descriptors(), before) << "the refused open keeps no descriptor";
    port_close(handle);
    handle = port_open(path.c_str());
    ASSERT_NE(handle, INVALID_PORT_HANDLE);
    ASSERT_EQ(configure_port(handle, 115200, 20), 0);

    // Larger than the queue: the write waits for room and hands over everything.
    std::vector<uint8_t> bytes(200000), received;
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = (uint8_t)(i * 7 + i / 251);
    std::thread reader([&] {
        uint8_t chunk[4096];
        for (double end = now_ms() + 10000; received.size() < bytes.size() && now_ms() < end;) {
            pollfd input{master, POLLIN, 0};
            ssize_t n = poll(&input, 1, 100) > 0 ? read(master, chunk, sizeof chunk) : 0;
            received.insert(received.end(), chunk, chunk + (n > 0 ? n : 0));
        }
    });
    EXPECT_EQ(port_write(handle, bytes.data(), (int)bytes.size()), (int)bytes.size());
    port_flush(handle);
    reader.join();
    EXPECT_EQ(received, bytes);
    long code = 0;
    EXPECT_FALSE(port_failed(handle, &code));

    // The peer hangs up while a write waits for room: the write ends and notes why,
    // and so does the next one.
    std::thread hang_up([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        close(master);
    });
    EXPECT_LT(port_write(handle, bytes.data(), (int)bytes.size()), (int)bytes.size());
    hang_up.join();
    master = -1;
    ASSERT_TRUE(port_failed(handle, &code));
    EXPECT_EQ(code, EIO);
    EXPECT_LT(port_write(handle, bytes.data(), 13), 13);
    for (int attempt = 0; attempt < 2; attempt++) {
        double start = now_ms();
        EXPECT_EQ(port_read(handle, bytes.data(), 1040), 0);
        double took = now_ms() - start;
        // Not at once: a caller's loop must not spin on a dead port.
        EXPECT_TRUE(took >= 90 && took <= 250) << took << " ms";
    }
}

// A line the system will not set is refused with the message, and a port that
// does not open ends the program with the fatal report, after the trace.
TEST_F(serial_port_test, a_refused_line_and_a_port_that_does_not_open_are_reported)
{
    EXPECT_EXIT(_exit(refuse_line_settings() && configure_port(handle, 115200, 20) == -1 ? 3 : 0),
                testing::ExitedWithCode(3), testing::Eq("Could not set Port State\n"));
    update_link link{};
    link.port_name = "/dev/no-such-port";
    link.baud = 115200;
    EXPECT_EXIT((dup2(STDERR_FILENO, STDOUT_FILENO), open_serial_port(&link)),
                testing::ExitedWithCode(1),
                testing::Eq(" . Opening serial port /dev/no-such-port at 115200 baud\n\n\nAn Error "
                            "has occurred as follows:\n          Unable to open serial port. In use "
                            "already, or not present\nError number 2 reported\nNo such file or "
                            "directory\n\n The program will now abort\n\n\n"));
}

// A pseudo-terminal does not keep parity, so the line settings are checked as
// built, not as read back.
TEST(line_settings_test, raw_eight_bits_even_parity_one_stop_bit_no_flow_control)
{
    termios cooked{};
    cooked.c_iflag = ICRNL | IXON | IXOFF | INPCK | ISTRIP | BRKINT | IGNCR | INLCR | PARMRK;
    cooked.c_oflag = OPOST | ONLCR;
    cooked.c_lflag = ICANON | ECHO | ECHOE | ISIG | IEXTEN;
    cooked.c_cflag = CS7 | PARODD | CSTOPB | CRTSCTS | HUPCL;
    cooked.c_cc[VTIME] = 5;
    cfsetspeed(&cooked, B9600);
    // An unsupported rate (B0 here) leaves the speed as it was, with everything else set.
    const std::pair<int32_t, speed_t> rates[] = {
        {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
        {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
        {230400, B230400}, {460800, B460800}, {921600, B921600}, {12345, B0}};
    for (auto [baud, speed] : rates) {
        termios built{};
        EXPECT_EQ(build_line_settings(&cooked, baud, &built), speed != B0);
        EXPECT_EQ(cfgetospeed(&built), speed != B0 ? speed : (speed_t)B9600) << baud;
        EXPECT_EQ(cfgetispeed(&built), cfgetospeed(&built));
        EXPECT_EQ(built.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CREAD | CLOCAL),
                  (tcflag_t)(CS8 | PARENB | CREAD | CLOCAL));
        EXPECT_EQ(built.c_iflag & (INPCK | ISTRIP | PARMRK | IXON | IXOFF | IXANY | ICRNL | INLCR |
                                   IGNCR | BRKINT),
                  0u);
        EXPECT_FALSE(built.c_oflag & OPOST);
        EXPECT_EQ(built.c_lflag & (ICANON | ECHO | ECHOE | ISIG | IEXTEN), 0u);
        EXPECT_EQ(built.c_cc[VMIN], 1);
        EXPECT_EQ(built.c_cc[VTIME], 0);
    }
}

} // namespace
