#include "port_presence.h"

#include <set>

std::vector<std::string> presence_scan(port_presence *presence,
                                       const std::vector<std::string> &present)
{
    std::set<std::string> now(present.begin(), present.end());
    for (auto it = presence->ports.begin(); it != presence->ports.end();) {
        if (now.count(it->first)) {
            ++it;
        } else if (it->second.state == PORT_RUNNING) {
            it->second.left_while_running = true;
            ++it;
        } else {
            it = presence->ports.erase(it);
        }
    }
    std::vector<std::string> starting;
    for (const auto &port : now) {
        auto found = presence->ports.find(port);
        if (found == presence->ports.end()) {
            presence_state state = presence->scanned ? PORT_SEEN : PORT_RUNNING;
            presence->ports[port] = {state, false};
            if (state == PORT_RUNNING)
                starting.push_back(port);
        } else if (found->second.state == PORT_SEEN) {
            found->second.state = PORT_RUNNING;
            starting.push_back(port);
        }
    }
    presence->scanned = true;
    return starting;
}

void presence_job_ended(port_presence *presence, const std::string &port)
{
    auto found = presence->ports.find(port);
    if (found == presence->ports.end())
        return;
    if (found->second.left_while_running)
        presence->ports.erase(found); // the board there now is a new one
    else
        found->second.state = PORT_DONE;
}
