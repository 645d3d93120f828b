// The target's end of the line: a pseudo-terminal master whose slave the
// tool opens, published under a stable path.
#pragma once

#include <cstddef>
#include <string>

struct pty_endpoint {
    int master;             // the target's side, non-blocking
    int slave;              // held open so the tool's close never hangs up the master
    std::string slave_path; // /dev/pts/N
    std::string link_path;  // the published symlink; empty: none
};

// Opens the pair and sets the slave raw. On failure a message is on standard
// error and false comes back.
bool pty_endpoint_open(pty_endpoint *endpoint);

// Points `link_path` at the slave, replacing an existing symlink (never any
// other kind of file).
bool pty_endpoint_publish(pty_endpoint *endpoint, const std::string &link_path);

// Removes the published link, if any; safe to call more than once.
void pty_endpoint_unpublish(pty_endpoint *endpoint);

// Waits, at most `limit_ms`, until the tool has read what was written to it.
void pty_endpoint_wait_drained(const pty_endpoint *endpoint, int limit_ms);

// Waits, at most `limit_ms`, until the tool has written something: it has
// then surely read the reply before it.
void pty_endpoint_wait_request(const pty_endpoint *endpoint, int limit_ms);

// Fills the line from the target's side until it takes no more, as when the
// target has stopped reading: the tool's next write then waits. Returns the
// bytes written.
size_t pty_endpoint_fill_line(const pty_endpoint *endpoint);

// Closes the master: the tool's side sees a hang-up, as when the adapter is pulled.
void pty_endpoint_hang_up(pty_endpoint *endpoint);

void pty_endpoint_close(pty_endpoint *endpoint);
