// The port list from a made-up sysfs tree: which ttys count as ports, and
// what describes them.
#include "serial/port_list.h"
#include "serial/usb_instance_id.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

namespace fs = std::filesystem;

TEST(PortList, ListsTtysWithADeviceAndDescribesUsbOnes)
{
    char folder[] = "/tmp/kep-sysfs.XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    fs::path root = folder;
    // tty name -> its device (under devices/), its "type" file, and the USB
    // device attributes above it (file=text pairs).
    struct {
        const char *tty, *device, *type;
        std::vector<std::pair<const char *, const char *>> usb;
    } ttys[] = {
        // clang-format off
        {"ttyUSB0", "usb1/1-1/1-1:1.0/ttyUSB0", nullptr, {{"manufacturer", "FTDI"},
         {"product", "FT232R USB UART"}, {"idVendor", "0403"}, {"idProduct", "6001"}, {"serial", "A50285BI"}}},
        // clang-format on
        {"ttyACM0", "usb1/1-2/1-2:1.0", nullptr, {{"idVendor", "2e8a"}, {"idProduct", "000a"}}},
        {"ttyS0", "platform/serial8250/tty/ttyS0", "4", {}},
        {"ttyS1", "platform/serial8250/tty/ttyS1", "0", {}}, // an empty legacy slot
        {"tty0", nullptr, nullptr, {}},                      // a virtual console
    };
    auto write = [](const fs::path &at, const char *text) { std::ofstream(at) << text << '\n'; };
    for (const auto &t : ttys) {
        fs::path tty = root / "class/tty" / t.tty;
        fs::create_directories(tty);
        if (t.type)
            write(tty / "type", t.type);
        if (!t.device)
            continue;
        fs::path device = root / "devices" / t.device;
        fs::create_directories(device);
        fs::create_directory_symlink(device, tty / "device");
        fs::path usb = device;
        while (usb.filename().string().find(':') == std::string::npos && usb != root)
            usb = usb.parent_path();
        for (const auto &[file, text] : t.usb)
            write(usb.parent_path() / file, text);
    }

    std::vector<std::string> lines;
    auto descriptors = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
    auto before = descriptors();
    for (const auto &port : list_serial_ports_in(root.string()))
        lines.push_back(port.label + "  " + port.description);
    EXPECT_EQ(descriptors(), before) << "a scan every 100 ms must keep no descriptor";
    fs::remove_all(root);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "/dev/ttyACM0  USB device (2e8a:000a)", "/dev/ttyS0  serial port",
                         "/dev/ttyUSB0  FTDI FT232R USB UART (0403:6001, serial A50285BI)"}));
}

// Windows device instance ids of serial ports: what each says of the USB device.
TEST(PortList, UsbIdentityFromWindowsInstanceIds)
{
    const std::pair<const char *, const char *> cases[] = { // "": the id names no USB device
        {"USB\\VID_0403&PID_6001\\A50285BI", "USB device (0403:6001, serial A50285BI)"},
        {"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", "USB device (0403:6001, serial A50285BI)"},
        {"ftdibus\\vid_0403+pid_6010+FT4XYZB\\0000", "USB device (0403:6010, serial FT4XYZ)"},
        {"USB\\VID_2341&PID_0043&MI_00\\6&3A757EEC&0&0000", "USB device (2341:0043)"},
        // No serial: Windows made one up.
        {"USB\\VID_1A86&PID_7523\\5&2D6E8F1&0&2", "USB device (1a86:7523)"},
        {"ACPI\\PNP0501\\1", ""}, {"USB\\VID_04G3&PID_6001\\A5", ""}, {"USB\\VID_0403\\A5", ""},
        {"USB\\VID_0403&PID_6001", ""}, {"", ""},
    };
    for (const auto &[id, shown] : cases) {
        usb_device usb;
        EXPECT_EQ(parse_usb_instance_id(id, &usb) ? usb_description("", usb) : "", shown) << id;
    }
}
