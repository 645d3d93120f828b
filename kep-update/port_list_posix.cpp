// Linux: the tty devices that sysfs shows with real hardware behind them.
#include "port_list.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <map>
#include <unistd.h>

static std::string read_line(const std::string &path)
{
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

static std::vector<std::string> directory_entries(const std::string &path)
{
    std::vector<std::string> names;
    if (DIR *dir = opendir(path.c_str())) {
        while (dirent *entry = readdir(dir))
            if (entry->d_name[0] != '.')
                names.emplace_back(entry->d_name);
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

static std::string resolved(const std::string &path)
{
    char target[PATH_MAX];
    return realpath(path.c_str(), target) ? target : "";
}

static bool starts_with(const std::string &text, const char *prefix)
{
    return text.rfind(prefix, 0) == 0;
}

// A ttyS line exists for every possible legacy UART; only a known UART type
// means there is one.
static bool has_hardware(const std::string &name)
{
    std::string sys = "/sys/class/tty/" + name;
    if (access((sys + "/device").c_str(), F_OK) != 0)
        return false;
    return !starts_with(name, "ttyS") || read_line(sys + "/type") != "0";
}

// vendor:product, serial number and product text of the USB device above.
static std::string usb_details(const std::string &name)
{
    std::string dir = resolved("/sys/class/tty/" + name + "/device");
    while (dir.size() > 1 && access((dir + "/idVendor").c_str(), F_OK) != 0)
        dir = dir.substr(0, dir.rfind('/'));
    if (dir.size() <= 1)
        return "";
    std::string text = read_line(dir + "/idVendor") + ":" + read_line(dir + "/idProduct");
    std::string serial = read_line(dir + "/serial");
    std::string product = read_line(dir + "/product");
    if (!serial.empty())
        text += "  serial " + serial;
    if (!product.empty())
        text += "  " + product;
    return text;
}

std::vector<serial_port_info> list_serial_ports()
{
    std::map<std::string, std::string> stable_names; // device path -> by-id link
    const std::string by_id = "/dev/serial/by-id/";
    for (const auto &link : directory_entries(by_id))
        stable_names[resolved(by_id + link)] = by_id + link;

    std::vector<serial_port_info> ports;
    for (const auto &name : directory_entries("/sys/class/tty")) {
        bool usb = starts_with(name, "ttyUSB") || starts_with(name, "ttyACM");
        if (!(usb || starts_with(name, "ttyS")) || !has_hardware(name))
            continue;
        serial_port_info port{"/dev/" + name, ""};
        auto stable = stable_names.find(port.name);
        if (stable != stable_names.end())
            port.details = stable->second;
        std::string ids = usb ? usb_details(name) : "";
        if (!ids.empty())
            port.details += (port.details.empty() ? "" : "  ") + ids;
        ports.push_back(port);
    }
    return ports;
}
