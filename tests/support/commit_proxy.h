// A TCP relay on 127.0.0.1 in front of a PostgreSQL server that loses a
// COMMIT on cue, so that a test can make a commit whose outcome the client
// cannot know.
#pragma once

#include <atomic>
#include <string>
#include <thread>

enum class commit_fault {
    none,        // pass everything
    answer_lost, // forward the COMMIT, then drop the connection as its answer comes: committed
    commit_lost, // drop the connection instead of forwarding the COMMIT: not committed
};

struct commit_proxy {
    int port = 0;              // where clients connect
    std::atomic<int> drops{0}; // connections dropped at a COMMIT
    std::atomic<commit_fault> armed{commit_fault::none};
    std::string after; // set before `armed`
    int server_port = 0, listener = -1, wake[2] = {-1, -1};
    std::thread relay;

    commit_proxy() = default;
    commit_proxy(const commit_proxy &) = delete;
    commit_proxy &operator=(const commit_proxy &) = delete;
    ~commit_proxy(); // stops it
};

// Listens on a free port and relays each connection to `server_port`.
bool proxy_start(commit_proxy *p, int server_port);
// `fault` befalls the next COMMIT a client sends, on any connection, of a
// transaction whose statements held `after` (any, when empty); then the
// proxy passes everything again.
void proxy_arm(commit_proxy *p, commit_fault fault, const std::string &after = "");
// Closes every connection and joins the relay thread.
void proxy_stop(commit_proxy *p);
// `connection` (an ODBC connection string) with its Port= the proxy's.
std::string proxy_connection(const commit_proxy &p, const std::string &connection);
