#include "serial_source.h"

#include "board_record.h"
#include "system.h"

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <system_error>

using json = nlohmann::ordered_json;

// Numbers only grow down the ledger (each is above every one before it), so
// the highest is among its last lines; reading only these keeps a take quick
// however long the ledger grows.
#define LEDGER_TAIL_BYTES (64 * 1024)

serial_taken serial_take(const serial_source *source, const serial_request &request,
                         uint64_t *number, std::string *why)
{
    if (!source) {
        *why = "no source of serial numbers";
        return SERIAL_REFUSED;
    }
    return source->take(source->context, request, number, why);
}

static json text_or_null(const std::string &text) { return text.empty() ? json() : json(text); }

std::string ledger_line(const ledger_entry &entry)
{
    json o;
    o["serial_number"] = entry.serial_number;
    o["station"] = text_or_null(entry.station);
    o["port"] = text_or_null(entry.port);
    o["slot"] = text_or_null(entry.slot);
    o["taken"] = stamp_text(entry.taken_ms);
    return o.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

static bool text_member(const json &o, const char *name, std::string *out)
{
    auto found = o.find(name);
    if (found == o.end() || found->is_null()) {
        out->clear();
        return true;
    }
    if (!found->is_string())
        return false;
    *out = found->get<std::string>();
    return true;
}

bool ledger_from_line(const std::string &line, ledger_entry *entry)
{
    json o = json::parse(line, nullptr, false);
    if (o.is_discarded() || !o.is_object())
        return false;
    auto number = o.find("serial_number"), taken = o.find("taken");
    if (number == o.end() || !number->is_number_unsigned() || taken == o.end() ||
        !taken->is_string() || !stamp_parse(taken->get<std::string>(), &entry->taken_ms))
        return false;
    entry->serial_number = number->get<uint64_t>();
    return text_member(o, "station", &entry->station) && text_member(o, "port", &entry->port) &&
           text_member(o, "slot", &entry->slot);
}

std::string ledger_path(const serial_settings &serial) { return serial.file + ".ledger"; }

// The highest number in the ledger's last lines (`listed` false when it
// holds none; a missing ledger holds none), and whether its last line is
// whole: a crash in the middle of an append may have cut it.
static bool ledger_highest(const std::string &path, bool *listed, uint64_t *highest, bool *whole,
                           std::string *error)
{
    *listed = false;
    *whole = true;
    std::error_code code;
    if (!std::filesystem::exists(utf8_path(path), code) && !code)
        return true;
    std::ifstream file(utf8_path(path), std::ios::binary);
    file.seekg(0, std::ios::end);
    std::streamoff size = file.tellg();
    if (!file || code || size < 0) {
        *error = "cannot read the serial number ledger " + path;
        return false;
    }
    std::streamoff from = std::max<std::streamoff>(0, size - LEDGER_TAIL_BYTES);
    file.seekg(from);
    std::string tail((size_t)(size - from), '\0');
    file.read(tail.data(), (std::streamsize)tail.size());
    if (!file) {
        *error = "cannot read the serial number ledger " + path + " to its end";
        return false;
    }
    *whole = tail.empty() || tail.back() == '\n';
    size_t at = from > 0 ? tail.find('\n') : 0; // the tail's first line may be cut
    while (at < tail.size()) {
        size_t end = std::min(tail.find('\n', at), tail.size());
        ledger_entry entry;
        if (ledger_from_line(tail.substr(at, end - at), &entry)) {
            *highest = *listed ? std::max(*highest, entry.serial_number) : entry.serial_number;
            *listed = true;
        }
        at = end + 1;
    }
    return true;
}

// The cause at the end of a system message ("cannot open X: Permission denied").
static std::string cause_of(const std::string &message)
{
    size_t at = message.rfind(": ");
    return at == std::string::npos ? message : message.substr(at + 2);
}

static bool take_locked(const serial_file_source &source, const std::string &port,
                        const std::string &slot, uint64_t *number, std::string *why)
{
    const serial_settings &serial = *source.serial;
    std::string path = ledger_path(serial);
    uint64_t next = 0, highest = 0;
    bool listed = false, whole = true;
    if (!read_serial_file(serial, &next, why) ||
        !ledger_highest(path, &listed, &highest, &whole, why))
        return false;
    if (listed && highest >= next) { // the file fell behind: a crash before it advanced
        *why = serial_number_misfit(serial, highest + 1, path);
        if (!why->empty())
            return false;
        next = highest + 1;
    }
    std::string taken = std::to_string(next);
    record_file ledger;
    std::string cause;
    if (!record_file_open(&ledger, path, &cause)) {
        *why = "serial number " + taken + " not taken: the ledger " + path + " cannot be opened (" +
               cause_of(cause) + ")";
        return false;
    }
    ledger_entry entry{next, source.station, port, slot, wall_clock_ms()};
    bool appended = record_file_append(&ledger, (whole ? "" : "\n") + ledger_line(entry), &cause);
    record_file_close(&ledger);
    if (!appended) {
        *why = "serial number " + taken + " not taken: it could not be listed in the ledger " +
               path + " (" + cause + ")";
        return false;
    }
    if (!replace_file_durably(serial.file, std::to_string(next + 1) + "\n", &cause)) {
        *why = "serial number " + taken + " is burnt: listed in the ledger " + path +
               ", but the serial number file could not be advanced (" + cause + ")";
        return false;
    }
    *number = next;
    return true;
}

static serial_taken take_from_file(void *context, const serial_request &request,
                                   uint64_t *number, std::string *why)
{
    const serial_file_source &source = *(const serial_file_source *)context;
    file_lock lock;
    if (!file_lock_take(&lock, source.serial->file + ".lock", why))
        return SERIAL_REFUSED;
    bool taken = take_locked(source, request.port, request.slot, number, why);
    file_lock_release(&lock);
    return taken ? SERIAL_TAKEN : SERIAL_REFUSED;
}

serial_source file_serial_source(serial_file_source *file) { return {file, take_from_file}; }
