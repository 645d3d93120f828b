// Which watched ports get an update, from one scan of the ports present to the
// next: a board is updated once per plugging-in. Pure; the watch loop scans.
#pragma once

#include <map>
#include <string>
#include <vector>

enum presence_state {
    PORT_SEEN,    // appeared in the last scan; started if still there in the next
    PORT_RUNNING, // its slot runs
    PORT_DONE,    // its slot ended while present; waits to disappear
};

struct tracked_port {
    presence_state state;
    bool left_while_running; // unplugged while its slot ran: what is there now is another
};

struct port_presence {
    bool scanned = false;
    std::map<std::string, tracked_port> ports;
};

// Takes the ports present now; returns those whose slot starts now. A port
// present at the first scan starts at once; one appearing
// later starts at the scan after, when it is still there, so that a device
// whose node has just appeared has a moment to become usable.
std::vector<std::string> presence_scan(port_presence *presence,
                                       const std::vector<std::string> &present);

// The slot of `port` has ended.
void presence_job_ended(port_presence *presence, const std::string &port);
