#include "fake_os.h"

#include "frames.h"
#include "os_services.h"
#include "serial/serial_port.h"

#include <algorithm>
#include <cstdlib>

fake_os_state fake;

// A read waits this long for the first byte, and ends after this silence.
static const uint32_t READ_TOTAL_MS = 100;
static const uint32_t READ_GAP_MS = 20;

void fake_reset() { fake = fake_os_state{}; }

void fake_deliver(uint32_t at, const std::vector<uint8_t> &bytes)
{
    size_t queued = fake.incoming.size();
    for (uint8_t b : bytes)
        fake.incoming.emplace_back(at, b);
    std::inplace_merge(fake.incoming.begin(), fake.incoming.begin() + (long)queued,
                       fake.incoming.end(),
                       [](const auto &a, const auto &b) { return a.first < b.first; });
}

uint32_t tick_count_ms() { return fake.now; }

void sleep_ms(uint32_t ms) { fake.now += ms; }

void show_status_text(const char *text) { fake.shown_status.emplace_back(text); }

long last_error_code() { return 0; }

int last_error_text(long code, char *buffer, int size)
{
    return snprintf(buffer, (size_t)size, "fake system text for %ld", code);
}

// Nothing the engine tests run may end the program.
void fatal_error(const char *) { abort(); }

port_handle port_open(const char *name)
{
    fake.opened.emplace_back(name);
    // Never read through: the fake keeps no record per port.
    static int fake_port;
    return reinterpret_cast<port_handle>(&fake_port);
}

int configure_port(port_handle, int32_t baud, int read_interval_ms)
{
    fake.configured.emplace_back(baud, read_interval_ms);
    return 0;
}

int port_write(port_handle, const uint8_t *buffer, int count)
{
    fake.writes.push_back({fake.now, std::vector<uint8_t>(buffer, buffer + count)});
    if (fake.on_write)
        fake.on_write(fake.writes.back().bytes, fake.now);
    return count;
}

void port_end_reads_on_whole_replies(port_handle) {}

int port_read(port_handle handle, uint8_t *buffer, int count)
{
    return port_read_within(handle, buffer, count, READ_TOTAL_MS);
}

// Models the serial read time-outs: the first byte is awaited for `limit_ms`
// at most; once bytes flow, a 20 ms silence, `count` bytes or the limit ends
// the read. The clock advances by the time the read would take.
int port_read_within(port_handle, uint8_t *buffer, int count, uint32_t limit_ms)
{
    fake.reads++;
    const uint32_t start = fake.now;
    const uint32_t deadline = start + limit_ms;
    int n = 0;
    uint32_t last = start;
    while (n < count && (size_t)n < fake.incoming.size()) {
        uint32_t at = std::max(fake.incoming[(size_t)n].first, start);
        if (at > deadline || (n > 0 && at > last + READ_GAP_MS))
            break;
        buffer[n] = fake.incoming[(size_t)n].second;
        n++;
        last = at;
        const std::vector<uint8_t> *request = fake.writes.empty() ? nullptr : &fake.writes.back().bytes;
        if (fake.whole_replies && request &&
            reply_is_whole(request->data(), (int32_t)request->size(), buffer, n)) {
            fake.incoming.erase(fake.incoming.begin(), fake.incoming.begin() + n);
            fake.now = last;
            return n;
        }
    }
    fake.incoming.erase(fake.incoming.begin(), fake.incoming.begin() + n);
    fake.now = n == 0 ? deadline : std::min(last + READ_GAP_MS, deadline);
    if (n == count)
        fake.now = last;
    return n;
}

void port_purge(port_handle)
{
    fake.purges++;
    fake.incoming.erase(std::remove_if(fake.incoming.begin(), fake.incoming.end(),
                                       [](const auto &b) { return b.first <= fake.now; }),
                        fake.incoming.end());
}

void port_flush(port_handle) { fake.flushes++; }

void port_close(port_handle) {}

bool port_failed(port_handle, long *) { return false; } // the fake port never fails

static captured_reports *self(void *context) { return static_cast<captured_reports *>(context); }

captured_reports::captured_reports()
{
    sink = {this, [](void *c, const char *text, int n) { self(c)->trace.append(text, (size_t)n); },
            [](void *) {}, [](void *c, const char *text) { self(c)->status.emplace_back(text); },
            [](void *c, const link_event *e) { self(c)->resends += e->kind == LINK_EVENT_RESEND; }};
    report_route(&sink);
}

captured_reports::~captured_reports() { report_route(nullptr); }
