// Test doubles for everything the engine takes from the operating system: a
// settable clock whose sleep advances it, and a scripted port that records
// every write and delivers reply bytes at given times.
#pragma once

#include "reporting.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct fake_write {
    uint32_t at;
    std::vector<uint8_t> bytes;
};

struct fake_os_state {
    uint32_t now = 0;
    std::vector<fake_write> writes;
    // Bytes on their way to the tool, each with the tick at which it arrives.
    std::vector<std::pair<uint32_t, uint8_t>> incoming;
    // The scripted target: sees each request as it is written.
    std::function<void(const std::vector<uint8_t> &request, uint32_t now)> on_write;
    int purges = 0, flushes = 0, reads = 0;
    // Reads end once they hold the whole reply to the last request written, as
    // kep-update's do (port_end_reads_on_whole_replies).
    bool whole_replies = false;
    std::vector<std::string> opened;
    std::vector<std::pair<int32_t, int>> configured; // baud and read interval, per configure_port
    std::vector<std::string> shown_status;
};

extern fake_os_state fake;

void fake_reset();

// Queues `bytes` to arrive at tick `at`, one after another at that tick.
void fake_deliver(uint32_t at, const std::vector<uint8_t> &bytes);

// Captures trace and status texts while it lives.
struct captured_reports {
    std::string trace;
    std::vector<std::string> status;
    int resends = 0; // LINK_EVENT_RESEND events
    report_sink sink{};
    captured_reports();
    ~captured_reports();
};
