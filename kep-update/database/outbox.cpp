#include "database/outbox.h"

#include "system.h"

#include <fstream>
#include <set>
#include <vector>

static std::string lock_path(const std::string &path) { return path + ".lock"; }

static bool append_line(const std::string &path, const std::string &line, std::string *why)
{
    record_file file;
    if (!record_file_open(&file, path, why))
        return false;
    bool added = record_file_append(&file, line, why);
    record_file_close(&file);
    return added;
}

bool outbox_add(const std::string &path, const std::string &line, std::string *why)
{
    file_lock lock;
    if (!file_lock_take(&lock, lock_path(path), why))
        return false;
    bool added = append_line(path, line, why);
    file_lock_release(&lock);
    return added;
}

// Whole lines only: a line cut by a crash in the middle of its append is
// not a record (record_file cuts it back, but a power cut may not let it).
static bool read_lines(const std::string &path, std::vector<std::string> *lines, std::string *why)
{
    std::error_code code;
    if (!std::filesystem::exists(utf8_path(path), code))
        return !code;
    std::ifstream file(utf8_path(path), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad() || !file.is_open()) {
        *why = "cannot read the outbox " + path;
        return false;
    }
    size_t at = 0;
    for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        if (end > at)
            lines->push_back(text.substr(at, end + 1 - at));
    return true;
}

// The server is asked without the lock held, so that a board's record is
// never kept waiting on a slow server. Another station of the PC may send
// the same lines meanwhile: the server stores each record once.
int outbox_send(const std::string &path, const std::function<outbox_sent(const std::string &)> &send,
                std::string *why)
{
    std::vector<std::string> lines;
    file_lock lock;
    if (!file_lock_take(&lock, lock_path(path), why))
        return -1;
    bool read = read_lines(path, &lines, why);
    file_lock_release(&lock);
    if (!read)
        return -1;
    std::vector<std::string> refused;
    size_t sent = 0;
    for (; sent < lines.size(); sent++) {
        outbox_sent result = send(lines[sent]);
        if (result == OUTBOX_AWAY)
            break;
        if (result == OUTBOX_REFUSED)
            refused.push_back(lines[sent]);
    }
    if (sent == 0)
        return (int)lines.size();
    if (!file_lock_take(&lock, lock_path(path), why))
        return -1;
    // What another station took out is gone already; what was added since stays.
    std::vector<std::string> now;
    bool done = read_lines(path, &now, why);
    for (size_t i = 0; done && i < refused.size(); i++)
        done = append_line(path + ".refused", refused[i], why);
    std::set<std::string> taken(lines.begin(), lines.begin() + (long)sent);
    size_t gone = 0;
    while (done && gone < now.size() && taken.count(now[gone]))
        gone++;
    std::string rest;
    for (size_t i = gone; i < now.size(); i++)
        rest += now[i];
    done = done && (gone == 0 || replace_file_durably(path, rest, why));
    file_lock_release(&lock);
    return done ? (int)(now.size() - gone) : -1;
}
