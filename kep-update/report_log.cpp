#include "report_log.h"

#include "frames.h"
#include "sha256.h"

#include <cerrno>
#include <chrono>
#include <cstring>

// The length of the UTF-8 sequence at `text[at]`, or 0 when it is not one.
static size_t utf8_length(const std::string &text, size_t at)
{
    unsigned char lead = (unsigned char)text[at];
    size_t length = lead >= 0xF5 ? 0 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || at + length > text.size())
        return 0;
    for (size_t i = 1; i < length; i++)
        if (((unsigned char)text[at + i] & 0xC0) != 0x80)
            return 0;
    return length;
}

std::string json_string(const std::string &text)
{
    std::string out = "\"";
    for (size_t at = 0; at < text.size(); at++) {
        unsigned char c = (unsigned char)text[at];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else if (c < 0x80) {
            out += (char)c;
        } else if (size_t length = utf8_length(text, at)) {
            out.append(text, at, length);
            at += length - 1;
        } else {
            out += "\\ufffd"; // a byte that is not UTF-8 (a file name may hold any)
        }
    }
    return out + "\"";
}

// Civil date of a day count since 1970-01-01 (proleptic Gregorian calendar).
static void civil_date(int64_t days, int *year, int *month, int *day)
{
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    int64_t of_era = days - era * 146097;
    int64_t year_of_era = (of_era - of_era / 1460 + of_era / 36524 - of_era / 146096) / 365;
    int64_t day_of_year = of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    int64_t shifted_month = (5 * day_of_year + 2) / 153;
    *day = (int)(day_of_year - (153 * shifted_month + 2) / 5 + 1);
    *month = (int)(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
    *year = (int)(year_of_era + era * 400 + (*month <= 2));
}

std::string iso8601_utc(int64_t unix_ms)
{
    int64_t ms_per_day = 86400000;
    int64_t days =
        unix_ms >= 0 ? unix_ms / ms_per_day : -((-unix_ms + ms_per_day - 1) / ms_per_day);
    int64_t of_day = unix_ms - days * ms_per_day;
    int year, month, day;
    civil_date(days, &year, &month, &day);
    char text[40];
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", year, month, day,
             (int)(of_day / 3600000), (int)(of_day / 60000 % 60), (int)(of_day / 1000 % 60),
             (int)(of_day % 1000));
    return text;
}

int64_t wall_clock_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

static std::string usb_json(const usb_identity &usb)
{
    if (!usb.known)
        return "null";
    return "{\"vendor_id\":" + json_string(usb.vendor_id) +
           ",\"product_id\":" + json_string(usb.product_id) +
           ",\"serial\":" + (usb.serial.empty() ? "null" : json_string(usb.serial)) + "}";
}

static std::string image_json(const update_image *image)
{
    char numbers[160];
    snprintf(numbers, sizeof numbers, ",\"size\":%d,\"padded_size\":%d,\"crc16\":\"0x%04x\"",
             (int)image->data_size, (int)padded_size(*image), (unsigned)image->crc16);
    return "{\"path\":" + json_string(image->path) + ",\"format\":" + json_string(image->format) +
           numbers + ",\"sha256\":" + json_string(image->sha256) + "}";
}

std::string format_report_record(const report_record *r)
{
    char numbers[200];
    snprintf(numbers, sizeof numbers,
             ",\"exit_status\":%d,\"blocks_acknowledged\":%d,\"blocks_refused\":%d,"
             "\"blocks_total\":%d,\"resends\":%d,\"seconds\":%.3f",
             r->exit_status, (int)r->blocks_acknowledged, (int)r->blocks_refused,
             (int)r->blocks_total, (int)r->resends, r->seconds);
    return "{\"started\":" + json_string(iso8601_utc(r->started_ms)) +
           ",\"ended\":" + json_string(iso8601_utc(r->ended_ms)) +
           ",\"port\":" + json_string(r->port) + ",\"usb\":" + usb_json(r->usb) +
           ",\"image\":" + image_json(r->image) +
           ",\"operation\":" + json_string(r->check ? "check" : "update") +
           ",\"outcome\":" + json_string(r->outcome) + numbers +
           ",\"message\":" + json_string(r->message) +
           ",\"serial_number\":" + (r->numbered ? std::to_string(r->serial_number) : "null") +
           ",\"written_sha256\":" + json_string(r->written_sha256) + "}\n";
}

static std::string json_string_or_null(const std::string &text)
{
    return text.empty() ? "null" : json_string(text);
}

std::string origin_members(const record_origin &origin)
{
    return "\"station\":" + json_string_or_null(origin.station) +
           ",\"lot\":" + json_string_or_null(origin.lot) +
           ",\"operator\":" + json_string_or_null(origin.operator_name) +
           ",\"tool_version\":" + json_string(KEP_VERSION) + ",";
}

bool report_open(report_file *report, const std::string &path, std::string *error)
{
    return record_file_open(&report->file, path, error);
}

bool report_append(report_file *report, const std::string &line, std::string *error)
{
    std::string record = line;
    if (!record.empty() && record[0] == '{')
        record.insert(1, report->origin);
    std::lock_guard<std::mutex> hold(report->mutex);
    return record_file_append(&report->file, record, error);
}

void report_close(report_file *report) { record_file_close(&report->file); }
