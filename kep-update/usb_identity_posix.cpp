// Linux: the USB device above the port's tty, read from sysfs by the port list.
#include "serial/port_list.h"
#include "usb_identity.h"

#include <climits>
#include <cstdlib>

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

usb_identity port_usb_identity(const std::string &port)
{
    const char *root = getenv("KEP_UPDATE_SYSFS");
    std::string sysfs = root && *root ? root : "/sys";
    // The name given first (/dev/ttyUSB0), then what a link such as
    // /dev/serial/by-id/... leads to.
    for (const std::string &name : {base_name(port), base_name(resolved(port))}) {
        usb_device device;
        if (is_usb_tty(name) && usb_device_of(sysfs, name, &device))
            return {true, device.vendor_id, device.product_id, device.serial};
    }
    return {};
}
