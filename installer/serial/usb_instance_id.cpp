#include "serial/usb_instance_id.h"

#include <cctype>
#include <vector>

static std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> parts(1);
    for (char c : text)
        if (c == separator)
            parts.emplace_back();
        else
            parts.back() += c;
    return parts;
}

static std::string upper(std::string text)
{
    for (char &c : text)
        c = (char)std::toupper((unsigned char)c);
    return text;
}

// "VID_0403" with `key` "VID_" gives "0403" in lower case; "" when not so.
static std::string hex_field(const std::string &field, const char *key)
{
    std::string text = upper(field);
    if (text.size() != 8 || text.rfind(key, 0) != 0)
        return "";
    std::string digits;
    for (size_t i = 4; i < 8; i++) {
        if (!std::isxdigit((unsigned char)text[i]))
            return "";
        digits += (char)std::tolower((unsigned char)text[i]);
    }
    return digits;
}

bool parse_usb_instance_id(const std::string &id, usb_device *device)
{
    std::vector<std::string> levels = split(id, '\\');
    if (levels.size() != 3)
        return false;
    std::string bus = upper(levels[0]);
    bool ftdi = bus == "FTDIBUS";
    if (bus != "USB" && !ftdi)
        return false;
    std::vector<std::string> fields = split(levels[1], ftdi ? '+' : '&');
    if (fields.size() < 2)
        return false;
    std::string vendor = hex_field(fields[0], "VID_"), product = hex_field(fields[1], "PID_");
    if (vendor.empty() || product.empty())
        return false;
    std::string serial;
    if (ftdi && fields.size() == 3 && fields[2].size() > 1)
        serial = fields[2].substr(0, fields[2].size() - 1);
    else if (!ftdi && fields.size() == 2 && levels[2].find('&') == std::string::npos)
        serial = levels[2];
    *device = {vendor, product, "", "", serial};
    return true;
}

std::string usb_description(const std::string &names, const usb_device &usb)
{
    std::string text =
        (names.empty() ? "USB device" : names) + " (" + usb.vendor_id + ":" + usb.product_id;
    if (!usb.serial.empty())
        text += ", serial " + usb.serial;
    return text + ")";
}
