// A pseudo-terminal pair for exercising the serial module: the test plays the
// far end on the master side, the module under test opens the slave.
#pragma once

#include "serial/serial_port.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <vector>

struct pty_pair {
    int master = -1;
    std::string slave_path;
};

// Opens a master and makes its slave openable; false on failure.
bool pty_open(pty_pair *pair);
void pty_close_master(pty_pair *pair);

// Writes all of `bytes` to the master.
bool pty_send(const pty_pair *pair, const std::vector<uint8_t> &bytes);

// Reads from the master until `count` bytes came or `timeout_ms` passed.
std::vector<uint8_t> pty_receive(const pty_pair *pair, size_t count, int timeout_ms);

// Milliseconds on the monotonic clock, for measuring how long a call took.
double now_ms();

// A fixture with the slave opened and configured as the tool does.
class open_port_test : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(pty_open(&pty));
        handle = port_open(pty.slave_path.c_str());
        ASSERT_NE(handle, INVALID_PORT_HANDLE);
        ASSERT_EQ(configure_port(handle, 115200, 20), 0);
    }
    void TearDown() override
    {
        if (handle != INVALID_PORT_HANDLE)
            port_close(handle);
        pty_close_master(&pty);
    }
    pty_pair pty;
    port_handle handle = INVALID_PORT_HANDLE;
};
