// Holding, writing to and losing a port. Open failures and their messages are
// kep-update's tests.
#include "pty_pair.h"

#include <cerrno>
#include <cstdio>
#include <thread>

namespace
{

using port_io_test = open_port_test;

TEST_F(port_io_test, a_held_port_cannot_be_opened_again_until_it_is_closed)
{
    errno = 0;
    EXPECT_EQ(port_open(pty.slave_path.c_str()), INVALID_PORT_HANDLE);
    EXPECT_TRUE(errno == EWOULDBLOCK || errno == EBUSY) << "errno " << errno;
    port_close(handle);
    handle = port_open(pty.slave_path.c_str());
    EXPECT_NE(handle, INVALID_PORT_HANDLE);
}

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

TEST_F(port_io_test, a_hung_up_peer_waits_out_each_read_and_fails_writes)
{
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
    long code = 0;
    ASSERT_TRUE(port_failed(handle, &code));
    EXPECT_EQ(code, EIO);
    EXPECT_LT(port_write(handle, buffer, 13), 13);
}

} // namespace
