#include "commit_proxy.h"

#include <arpa/inet.h>
#include <cctype>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace
{

struct relayed {
    int client = -1, server = -1;
    bool drop_at_answer = false; // its COMMIT went through: the server's answer must not
    bool after_seen = false;     // the armed fault's text has come since the last COMMIT
    std::string tail;            // the client's last bytes, for a COMMIT split across reads
};

const std::string commit_word = "COMMIT";

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

bool word_char(char c) { return std::isalnum((unsigned char)c) || c == '_'; }

// The query text is the same in a simple Query and in an extended-protocol
// Parse, so the bytes are searched for the word whatever the message.
bool holds_commit(const std::string &bytes)
{
    for (size_t at = 0; at + commit_word.size() <= bytes.size(); at++) {
        size_t i = 0;
        while (i < commit_word.size() &&
               std::toupper((unsigned char)bytes[at + i]) == commit_word[i])
            i++;
        if (i == commit_word.size() && (at == 0 || !word_char(bytes[at - 1])) &&
            (at + i == bytes.size() || !word_char(bytes[at + i])))
            return true;
    }
    return false;
}

bool send_all(int fd, const char *bytes, size_t size)
{
    while (size > 0) {
        ssize_t sent = send(fd, bytes, size, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        bytes += sent;
        size -= (size_t)sent;
    }
    return true;
}

void close_pair(relayed *r)
{
    close(r->client);
    close(r->server);
    r->client = r->server = -1;
}

// A peer that stops reading must not hang the relay, or its stop, for ever.
void limit_sends(int fd)
{
    timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

void accept_one(commit_proxy *p, std::vector<relayed> *pairs)
{
    int client = accept(p->listener, nullptr, nullptr);
    if (client < 0)
        return;
    int server = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(p->server_port);
    if (server < 0 || connect(server, (sockaddr *)&address, sizeof address) < 0) {
        close(client);
        if (server >= 0)
            close(server);
        return;
    }
    limit_sends(client);
    limit_sends(server);
    pairs->push_back({client, server, false, false, {}});
}

void from_client(commit_proxy *p, relayed *r)
{
    char bytes[16384];
    ssize_t got = recv(r->client, bytes, sizeof bytes, 0);
    if (got <= 0)
        return close_pair(r);
    std::string seen = r->tail + std::string(bytes, (size_t)got);
    r->tail = seen.substr(seen.size() - std::min(seen.size(), commit_word.size()));
    commit_fault fault = commit_fault::none;
    bool armed = p->armed.load() != commit_fault::none;
    r->after_seen |= armed && seen.find(p->after) != std::string::npos;
    if (armed && r->after_seen && holds_commit(seen))
        fault = p->armed.exchange(commit_fault::none);
    if (holds_commit(seen))
        r->after_seen = false;
    if (fault == commit_fault::commit_lost) {
        p->drops++;
        return close_pair(r);
    }
    r->drop_at_answer = fault == commit_fault::answer_lost;
    if (!send_all(r->server, bytes, (size_t)got))
        close_pair(r);
}

void from_server(commit_proxy *p, relayed *r)
{
    char bytes[16384];
    ssize_t got = recv(r->server, bytes, sizeof bytes, 0);
    if (got <= 0)
        return close_pair(r);
    if (r->drop_at_answer) { // the server has answered: the COMMIT is done
        p->drops++;
        return close_pair(r);
    }
    if (!send_all(r->client, bytes, (size_t)got))
        close_pair(r);
}

void relay(commit_proxy *p)
{
    std::vector<relayed> pairs;
    for (;;) {
        std::vector<pollfd> fds = {{p->wake[0], POLLIN, 0}, {p->listener, POLLIN, 0}};
        for (auto &r : pairs)
            fds.insert(fds.end(), {{r.client, POLLIN, 0}, {r.server, POLLIN, 0}});
        if (poll(fds.data(), fds.size(), -1) < 0)
            continue;
        if (fds[0].revents)
            break;
        for (size_t i = 0; i < pairs.size(); i++) {
            if (fds[2 + 2 * i].revents && pairs[i].client >= 0)
                from_client(p, &pairs[i]);
            if (fds[3 + 2 * i].revents && pairs[i].server >= 0)
                from_server(p, &pairs[i]);
        }
        std::erase_if(pairs, [](const relayed &r) { return r.client < 0; });
        if (fds[1].revents)
            accept_one(p, &pairs);
    }
    for (auto &r : pairs)
        close_pair(&r);
}

} // namespace

bool proxy_start(commit_proxy *p, int server_port)
{
    p->server_port = server_port;
    p->listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0); // the kernel picks a free port
    socklen_t size = sizeof address;
    if (p->listener < 0 || bind(p->listener, (sockaddr *)&address, size) < 0 ||
        listen(p->listener, 16) < 0 || getsockname(p->listener, (sockaddr *)&address, &size) < 0 ||
        pipe(p->wake) < 0) {
        proxy_stop(p);
        return false;
    }
    p->port = ntohs(address.sin_port);
    p->relay = std::thread(relay, p);
    return true;
}

void proxy_arm(commit_proxy *p, commit_fault fault, const std::string &after)
{
    p->after = after;
    p->armed = fault;
}

void proxy_stop(commit_proxy *p)
{
    if (p->relay.joinable()) {
        (void)!write(p->wake[1], "x", 1);
        p->relay.join();
    }
    for (int *fd : {&p->listener, &p->wake[0], &p->wake[1]}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

std::string proxy_connection(const commit_proxy &p, const std::string &connection)
{
    size_t at = connection.find("Port=");
    if (at == std::string::npos)
        return connection;
    at += 5;
    size_t end = connection.find(';', at);
    return connection.substr(0, at) + std::to_string(p.port) +
           (end == std::string::npos ? "" : connection.substr(end));
}

commit_proxy::~commit_proxy() { proxy_stop(this); }
