// Linux: /sys/class/tty/NAME/device leads into the USB interface; the device
// above it holds idVendor, idProduct and serial.
#include "usb_identity.h"

#include <climits>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

static std::string read_line(const std::string &path)
{
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

static std::string resolved(const std::string &path)
{
    char target[PATH_MAX];
    return realpath(path.c_str(), target) ? target : "";
}

static std::string base_name(const std::string &path) { return path.substr(path.rfind('/') + 1); }

static bool is_usb_tty(const std::string &name)
{
    return name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0;
}

static usb_identity identity_of(const std::string &sysfs, const std::string &name)
{
    usb_identity usb;
    std::string dir = resolved(sysfs + "/class/tty/" + name + "/device");
    while (dir.size() > sysfs.size() && access((dir + "/idVendor").c_str(), F_OK) != 0)
        dir = dir.substr(0, dir.rfind('/'));
    if (dir.size() <= sysfs.size())
        return usb;
    usb.known = true;
    usb.vendor_id = read_line(dir + "/idVendor");
    usb.product_id = read_line(dir + "/idProduct");
    usb.serial = read_line(dir + "/serial");
    return usb;
}

usb_identity port_usb_identity(const std::string &port)
{
    const char *root = getenv("KEP_UPDATE_SYSFS");
    std::string sysfs = resolved(root && *root ? root : "/sys");
    if (sysfs.empty())
        return {};
    // The name given first (/dev/ttyUSB0), then what a link such as
    // /dev/serial/by-id/... leads to.
    for (const std::string &name : {base_name(port), base_name(resolved(port))})
        if (is_usb_tty(name)) {
            usb_identity usb = identity_of(sysfs, name);
            if (usb.known)
                return usb;
        }
    return {};
}
