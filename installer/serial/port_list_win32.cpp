// Windows: the COM ports of the system's device list (the Ports class), with
// what it knows of each device, then the registry's SERIALCOMM list and the
// DOS device names for ports that the device list lacks. No port is opened: opening one can reset the
// board on its far side or disturb the program that uses it.
#include "serial/port_list.h"
#include "serial/usb_instance_id.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
// clang-format off
#include <windows.h>
#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>
#include <cfgmgr32.h>
// clang-format on

// "COM7" -> 7; 0 for any other name (LPT ports share the class).
static int com_number(const std::string &name)
{
    if (name.size() < 4 || _strnicmp(name.c_str(), "COM", 3) != 0)
        return 0;
    char *end = nullptr;
    long number = strtol(name.c_str() + 3, &end, 10);
    return *end == '\0' && number > 0 ? (int)number : 0;
}

static serial_port_info plain_port(const std::string &label)
{
    serial_port_info port;
    port.name = "\\\\.\\" + label;
    port.label = label;
    port.description = "serial port";
    return port;
}

static std::string property_text(HDEVINFO set, SP_DEVINFO_DATA *device, DWORD property)
{
    char text[512];
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(set, device, property, &type, (BYTE *)text,
                                           sizeof text - 1, nullptr) ||
        type != REG_SZ)
        return "";
    text[sizeof text - 1] = '\0';
    return text;
}

static std::string port_name_of(HDEVINFO set, SP_DEVINFO_DATA *device)
{
    HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE)
        return "";
    char name[64];
    DWORD size = sizeof name - 1, type = 0;
    LONG result = RegQueryValueExA(key, "PortName", nullptr, &type, (BYTE *)name, &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || type != REG_SZ)
        return "";
    name[size] = '\0';
    return name;
}

static std::string instance_id_of(DEVINST instance)
{
    char id[MAX_DEVICE_ID_LEN + 1];
    if (CM_Get_Device_IDA(instance, id, sizeof id, 0) != CR_SUCCESS)
        return "";
    return id;
}

// An interface of a composite device has no serial number in its own id, and
// the FTDI driver's port sits below the USB device: the parent's id has it.
static bool usb_of(HDEVINFO set, SP_DEVINFO_DATA *device, usb_device *usb)
{
    char id[MAX_DEVICE_ID_LEN + 1];
    if (!SetupDiGetDeviceInstanceIdA(set, device, id, sizeof id, nullptr) ||
        !parse_usb_instance_id(id, usb))
        return false;
    DEVINST parent = 0;
    usb_device above;
    if (usb->serial.empty() && CM_Get_Parent(&parent, device->DevInst, 0) == CR_SUCCESS &&
        parse_usb_instance_id(instance_id_of(parent), &above) &&
        above.vendor_id == usb->vendor_id && above.product_id == usb->product_id)
        usb->serial = above.serial;
    return true;
}

// "USB Serial Port (COM7)" with maker "FTDI" -> "FTDI USB Serial Port". The
// maker of a standard port reads "(Standard port types)" and is left out.
static std::string device_names(const std::string &friendly, const std::string &maker,
                                const std::string &port)
{
    std::string names = friendly;
    std::string suffix = " (" + port + ")";
    if (names.size() > suffix.size() &&
        names.compare(names.size() - suffix.size(), suffix.size(), suffix) == 0)
        names.erase(names.size() - suffix.size());
    if (!maker.empty() && maker[0] != '(' && names.find(maker) == std::string::npos)
        names = names.empty() ? maker : maker + " " + names;
    return names;
}

static void add_device_list(std::vector<serial_port_info> *ports)
{
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return;
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); index++) {
        std::string label = port_name_of(set, &device);
        if (!com_number(label))
            continue;
        serial_port_info port = plain_port(label);
        std::string names = device_names(property_text(set, &device, SPDRP_FRIENDLYNAME),
                                         property_text(set, &device, SPDRP_MFG), label);
        port.usb_known = usb_of(set, &device, &port.usb);
        if (port.usb_known)
            port.description = usb_description(names, port.usb);
        else if (!names.empty())
            port.description = names;
        ports->push_back(port);
    }
    SetupDiDestroyDeviceInfoList(set);
}

static bool listed(const std::vector<serial_port_info> &ports, const std::string &label)
{
    for (const auto &port : ports)
        if (_stricmp(port.label.c_str(), label.c_str()) == 0)
            return true;
    return false;
}

// Ports whose driver keeps out of the device list (Wine's mapped ports,
// some virtual port drivers) still enter their name here.
static void add_serialcomm_list(std::vector<serial_port_info> *ports)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return;
    for (DWORD index = 0;; index++) {
        char value_name[256], label[64];
        DWORD name_size = sizeof value_name, size = sizeof label - 1, type = 0;
        LONG result =
            RegEnumValueA(key, index, value_name, &name_size, nullptr, &type, (BYTE *)label, &size);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS || type != REG_SZ)
            continue;
        label[size] = '\0';
        if (com_number(label) && !listed(*ports, label))
            ports->push_back(plain_port(label));
    }
    RegCloseKey(key);
}

// Every COM name the system resolves, as the dialog's probe finds them: a
// port that only a DOS device name maps (a virtual port, a name given by
// hand) is listed too, so the dialog, --list-ports and --watch agree.
static void add_dos_device_list(std::vector<serial_port_info> *ports)
{
    std::vector<char> names(64 * 1024);
    DWORD length = 0;
    while ((length = QueryDosDeviceA(nullptr, names.data(), (DWORD)names.size())) == 0 &&
           GetLastError() == ERROR_INSUFFICIENT_BUFFER && names.size() < (16u << 20))
        names.resize(names.size() * 2);
    for (DWORD at = 0; at < length && names[at]; at += (DWORD)strlen(&names[at]) + 1) {
        int number = com_number(&names[at]);
        std::string label = "COM" + std::to_string(number);
        if (number && !listed(*ports, label))
            ports->push_back(plain_port(label));
    }
}

std::vector<serial_port_info> list_serial_ports()
{
    std::vector<serial_port_info> ports;
    add_device_list(&ports);
    add_serialcomm_list(&ports);
    add_dos_device_list(&ports);
    std::sort(ports.begin(), ports.end(), [](const serial_port_info &a, const serial_port_info &b) {
        return com_number(a.label) < com_number(b.label);
    });
    return ports;
}
