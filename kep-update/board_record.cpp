#include "board_record.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>

// Keeps the members in the order written, as a reader of the file expects.
using json = nlohmann::ordered_json;

image_identity identity_of(const update_image &image)
{
    return {image.path,         image.format, image.data_size,
            padded_size(image), image.crc16,  image.sha256};
}

std::string stamp_text(int64_t unix_ms)
{
    using namespace std::chrono;
    sys_time<milliseconds> at{milliseconds{unix_ms}};
    sys_days day = floor<days>(at);
    year_month_day date{day};
    hh_mm_ss<milliseconds> time{at - day};
    char text[48];
    snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", (int)date.year(),
             (unsigned)date.month(), (unsigned)date.day(), (int)time.hours().count(),
             (int)time.minutes().count(), (int)time.seconds().count(),
             (int)time.subseconds().count());
    return text;
}

bool stamp_parse(const std::string &text, int64_t *unix_ms)
{
    const char shape[] = "dddd-dd-ddTdd:dd:dd.dddZ";
    if (text.size() != sizeof shape - 1)
        return false;
    for (size_t i = 0; i < text.size(); i++)
        if (shape[i] == 'd' ? text[i] < '0' || text[i] > '9' : text[i] != shape[i])
            return false;
    auto number = [&](size_t at, size_t length) { return atoi(text.substr(at, length).c_str()); };
    using namespace std::chrono;
    year_month_day date{year{number(0, 4)}, month{(unsigned)number(5, 2)},
                        day{(unsigned)number(8, 2)}};
    int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
    if (!date.ok() || hour > 23 || minute > 59 || second > 59)
        return false;
    sys_time<milliseconds> at = sys_days{date} + hours{hour} + minutes{minute} + seconds{second} +
                                milliseconds{number(20, 3)};
    *unix_ms = at.time_since_epoch().count();
    return true;
}

std::string new_record_id()
{
    // Made by the station, so that a record sent twice is known as one:
    // 128 random bits, too many for two stations ever to draw the same.
    static std::mutex drawing;
    static std::random_device source;
    std::lock_guard<std::mutex> hold(drawing);
    char text[40];
    snprintf(text, sizeof text, "%08x%08x%08x%08x", source(), source(), source(), source());
    return text;
}

int64_t wall_clock_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

static json text_or_null(const std::string &text) { return text.empty() ? json() : json(text); }

std::string record_line(const board_record &r)
{
    json usb = nullptr;
    if (r.usb.known)
        usb = {{"vendor_id", r.usb.vendor_id},
               {"product_id", r.usb.product_id},
               {"serial", text_or_null(r.usb.serial)}};
    char crc[8];
    snprintf(crc, sizeof crc, "0x%04x", (unsigned)r.image.crc16);
    const job_result &result = r.result;
    json o;
    o["station"] = text_or_null(r.origin.station);
    o["lot"] = text_or_null(r.origin.lot);
    o["operator"] = text_or_null(r.origin.operator_name);
    o["tool_version"] = KEP_VERSION;
    o["started"] = stamp_text(r.started_ms);
    o["ended"] = stamp_text(r.ended_ms);
    o["port"] = r.port;
    o["slot"] = text_or_null(r.slot);
    o["usb"] = usb;
    o["image"] = {{"path", r.image.path}, {"format", r.image.format},
                  {"size", r.image.size}, {"padded_size", r.image.padded_size},
                  {"crc16", crc},         {"sha256", r.image.sha256}};
    o["operation"] = r.check ? "check" : "update";
    o["outcome"] = outcome_words(result.outcome, r.check);
    o["exit_status"] = (int)outcome_status(result.outcome);
    o["blocks_acknowledged"] = result.blocks_acknowledged;
    o["blocks_refused"] = result.blocks_refused;
    o["blocks_skipped"] = result.blocks_skipped;
    o["blocks_total"] = result.blocks_total;
    o["resends"] = result.resends;
    o["seconds"] = std::round(result.seconds * 1000) / 1000; // to the millisecond, as the stamps
    o["message"] = result.message;
    o["serial_number"] = r.numbered ? json(r.serial_number) : json();
    o["written_sha256"] = r.written_sha256;
    o["record_id"] = text_or_null(r.record_id);
    return o.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

// The member `name` as text into `out`: false when it is of another type, or
// missing or null while `required`.
static bool text_member(const json &o, const char *name, bool required, std::string *out)
{
    auto found = o.find(name);
    if (found == o.end() || found->is_null()) {
        out->clear();
        return !required;
    }
    if (!found->is_string())
        return false;
    *out = found->get<std::string>();
    return true;
}

// The member `name` as a 32-bit count (0 when missing): false when it is of
// another type or does not fit.
static bool count_member(const json &o, const char *name, int32_t *out)
{
    auto found = o.find(name);
    if (found == o.end())
        return true;
    if (!found->is_number_integer() || found->get<int64_t>() < INT32_MIN ||
        found->get<int64_t>() > INT32_MAX)
        return false;
    *out = (int32_t)found->get<int64_t>();
    return true;
}

static bool read_usb(const json &o, usb_identity *usb)
{
    auto found = o.find("usb");
    if (found == o.end() || found->is_null())
        return true;
    usb->known = true;
    return found->is_object() && text_member(*found, "vendor_id", true, &usb->vendor_id) &&
           text_member(*found, "product_id", true, &usb->product_id) &&
           text_member(*found, "serial", false, &usb->serial);
}

static bool read_image(const json &o, image_identity *image)
{
    auto found = o.find("image");
    if (found == o.end() || found->is_null())
        return true;
    std::string crc;
    if (!found->is_object() || !text_member(*found, "path", false, &image->path) ||
        !text_member(*found, "format", false, &image->format) ||
        !count_member(*found, "size", &image->size) ||
        !count_member(*found, "padded_size", &image->padded_size) ||
        !text_member(*found, "crc16", false, &crc) ||
        !text_member(*found, "sha256", false, &image->sha256))
        return false;
    char *end = nullptr;
    unsigned long value = strtoul(crc.c_str(), &end, 16);
    image->crc16 = (uint16_t)value;
    return crc.empty() || (crc.size() == 6 && crc.compare(0, 2, "0x") == 0 && *end == '\0');
}

bool record_from_line(const std::string &line, board_record *r)
{
    json o = json::parse(line, nullptr, false);
    if (o.is_discarded() || !o.is_object())
        return false;
    *r = board_record{};
    std::string operation, outcome, started, ended;
    if (!text_member(o, "operation", true, &operation) ||
        !text_member(o, "outcome", true, &outcome) || !text_member(o, "port", true, &r->port) ||
        !text_member(o, "started", true, &started) || !text_member(o, "ended", true, &ended) ||
        !text_member(o, "slot", false, &r->slot) ||
        !text_member(o, "record_id", false, &r->record_id) ||
        !text_member(o, "station", false, &r->origin.station) ||
        !text_member(o, "lot", false, &r->origin.lot) ||
        !text_member(o, "operator", false, &r->origin.operator_name) ||
        !text_member(o, "message", false, &r->result.message) ||
        !text_member(o, "written_sha256", false, &r->written_sha256) || !read_usb(o, &r->usb) ||
        !read_image(o, &r->image))
        return false;
    job_result &result = r->result;
    if (!count_member(o, "blocks_acknowledged", &result.blocks_acknowledged) ||
        !count_member(o, "blocks_refused", &result.blocks_refused) ||
        !count_member(o, "blocks_skipped", &result.blocks_skipped) ||
        !count_member(o, "blocks_total", &result.blocks_total) ||
        !count_member(o, "resends", &result.resends))
        return false;
    auto seconds = o.find("seconds"), status = o.find("exit_status");
    auto number = o.find("serial_number");
    if (seconds == o.end() || !seconds->is_number() || status == o.end() ||
        !status->is_number_integer() ||
        !(number == o.end() || number->is_null() || number->is_number_unsigned()))
        return false;
    result.seconds = seconds->get<double>();
    r->numbered = number != o.end() && !number->is_null();
    r->serial_number = r->numbered ? number->get<uint64_t>() : 0;
    r->check = operation == "check";
    return (r->check || operation == "update") &&
           outcome_from_words(outcome, r->check, &result.outcome) &&
           status->get<int64_t>() == outcome_status(result.outcome) &&
           stamp_parse(started, &r->started_ms) && stamp_parse(ended, &r->ended_ms) &&
           r->ended_ms >= r->started_ms;
}
