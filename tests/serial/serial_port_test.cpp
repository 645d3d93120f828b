// Opening, configuring, writing to and losing a port.
#include "pty_pair.h"
#include "serial/serial_port.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace
{

TEST(port_open_test, a_second_open_of_a_held_port_fails_until_it_is_closed)
{
    pty_pair pty;
    ASSERT_TRUE(pty_open(&pty));
    port_handle first = port_open(pty.slave_path.c_str());
    ASSERT_NE(first, INVALID_PORT_HANDLE);

    errno = 0;
    EXPECT_EQ(port_open(pty.slave_path.c_str()), INVALID_PORT_HANDLE);
    EXPECT_TRUE(errno == EWOULDBLOCK || errno == EBUSY) << "errno " << errno;

    port_close(first);
    port_handle again = port_open(pty.slave_path.c_str());
    EXPECT_NE(again, INVALID_PORT_HANDLE);
    if (again != INVALID_PORT_HANDLE)
        port_close(again);
    pty_close_master(&pty);
}

TEST(port_open_test, a_missing_device_or_a_non_terminal_cannot_be_opened)
{
    errno = 0;
    EXPECT_EQ(port_open("/dev/kep-no-such-port"), INVALID_PORT_HANDLE);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(port_open("/dev/null"), INVALID_PORT_HANDLE);
    EXPECT_EQ(errno, ENOTTY);
}

TEST(configure_port_test, an_unsupported_rate_is_reported_but_the_port_is_configured)
{
    pty_pair pty;
    ASSERT_TRUE(pty_open(&pty));
    port_handle handle = port_open(pty.slave_path.c_str());
    ASSERT_NE(handle, INVALID_PORT_HANDLE);
    ::testing::internal::CaptureStderr();
    int result = configure_port(handle, 12345, 20);
    std::string message = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, 0);
    EXPECT_NE(message.find("12345"), std::string::npos) << message;
    port_close(handle);
    pty_close_master(&pty);
}

using port_io_test = open_port_test;

TEST_F(port_io_test, a_write_larger_than_the_queue_waits_for_room_and_hands_over_everything)
{
    std::vector<uint8_t> bytes(200000);
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = (uint8_t)(i * 7 + i / 251);
    std::vector<uint8_t> received;
    std::thread reader([&] { received = pty_receive(&pty, bytes.size(), 10000); });
    EXPECT_EQ(port_write(handle, bytes.data(), (int)bytes.size()), (int)bytes.size());
    port_flush(handle);
    reader.join();
    EXPECT_EQ(received, bytes);
    long code = 0;
    EXPECT_FALSE(port_failed(handle, &code));
}

TEST_F(port_io_test, a_hung_up_peer_waits_out_the_read_and_is_reported)
{
    long code = 0;
    EXPECT_FALSE(port_failed(handle, &code));
    pty_close_master(&pty);

    uint8_t buffer[1040];
    for (int attempt = 0; attempt < 2; attempt++) {
        double start = now_ms();
        EXPECT_EQ(port_read(handle, buffer, sizeof buffer), 0);
        double took = now_ms() - start;
        printf("read after hang-up took %.1f ms\n", took);
        // Not at once: a caller's loop must not spin on a dead port.
        EXPECT_GE(took, 90.0);
        EXPECT_LE(took, 250.0);
    }
    ASSERT_TRUE(port_failed(handle, &code));
    EXPECT_EQ(code, EIO);
}

TEST_F(port_io_test, a_write_to_a_hung_up_peer_returns_short_and_is_reported)
{
    pty_close_master(&pty);
    uint8_t request[13] = {4, 0x2B, 0xF3};
    EXPECT_LT(port_write(handle, request, sizeof request), (int)sizeof request);
    long code = 0;
    EXPECT_TRUE(port_failed(handle, &code));
    EXPECT_NE(code, 0);
}

} // namespace
