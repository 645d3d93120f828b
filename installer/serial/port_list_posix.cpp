// Linux: the tty devices that sysfs shows with hardware behind them.
#include "serial/port_list.h"
#include "serial/usb_instance_id.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
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

static bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

// A ttyS line exists for every possible legacy UART; only a known UART type
// (not 0) means there is one.
static bool has_hardware(const std::string &tty, const std::string &name)
{
    if (!exists(tty + "/device"))
        return false;
    return name.rfind("ttyS", 0) != 0 || read_line(tty + "/type") != "0";
}

bool usb_device_of(const std::string &sys_root, const std::string &name, usb_device *device)
{
    std::string root = resolved(sys_root);
    std::string dir = resolved(sys_root + "/class/tty/" + name + "/device");
    while (dir.size() > root.size() && !exists(dir + "/idVendor"))
        dir = dir.substr(0, dir.rfind('/'));
    if (root.empty() || dir.size() <= root.size())
        return false;
    *device = {read_line(dir + "/idVendor"), read_line(dir + "/idProduct"),
               read_line(dir + "/manufacturer"), read_line(dir + "/product"),
               read_line(dir + "/serial")};
    return true;
}

std::vector<serial_port_info> list_serial_ports_in(const std::string &sys_root)
{
    std::vector<serial_port_info> ports;
    for (const auto &name : directory_entries(sys_root + "/class/tty")) {
        std::string tty = sys_root + "/class/tty/" + name;
        if (!has_hardware(tty, name))
            continue;
        serial_port_info port;
        port.name = port.label = "/dev/" + name;
        port.description = "serial port";
        port.usb_known = usb_device_of(sys_root, name, &port.usb);
        if (port.usb_known) {
            std::string names = port.usb.manufacturer;
            if (!port.usb.product.empty())
                names += (names.empty() ? "" : " ") + port.usb.product;
            port.description = usb_description(names, port.usb);
        }
        ports.push_back(port);
    }
    return ports;
}

std::vector<serial_port_info> list_serial_ports() { return list_serial_ports_in("/sys"); }
