// The station's outbox: the records the database has not confirmed yet,
// one record line each, on the local disk. A record is added before it is
// sent and goes only once the server has stored it, so a station killed at
// any moment loses none; the next one to start sends them on. Every step
// holds a lock on the file, shared by the stations of one PC.
#pragma once

#include <functional>
#include <string>

// Adds `line` (its line end included) and waits until it is on the disk.
// False with `why` set.
bool outbox_add(const std::string &path, const std::string &line, std::string *why);

// What `send` makes of one line.
enum outbox_sent {
    OUTBOX_STORED,  // the server has it: the line goes
    OUTBOX_REFUSED, // the server will never take it: the line moves to path + ".refused"
    OUTBOX_AWAY,    // the server is away: this line and those after it stay
};

// Sends the lines in order until one is not taken; keeps the rest. Returns
// how many lines are left, or -1 with `why` set when the outbox cannot be
// read or rewritten (what was sent is sent again later, and stored once).
int outbox_send(const std::string &path, const std::function<outbox_sent(const std::string &)> &send,
                std::string *why);
