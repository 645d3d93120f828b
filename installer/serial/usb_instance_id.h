// What a Windows device instance id says about a USB serial adapter, and the
// text that describes a USB port on every system. Pure: no system calls.
#pragma once

#include "serial/port_list.h"

#include <string>

// Vendor and product ids (lower-case hex, as sysfs shows them) and serial
// number from a device instance id:
//   USB\VID_0403&PID_6001\A50285BI            serial A50285BI
//   FTDIBUS\VID_0403+PID_6001+A50285BIA\0000  serial A50285BI (the driver adds a channel letter)
//   USB\VID_2341&PID_0043&MI_00\6&3A757EEC&0&0000  no serial: one interface of a
//       composite device, whose own id (its parent's) may hold the serial
// An instance part that Windows made up (it holds '&') is no serial number.
// False, and `*device` untouched, when the id names no USB device.
bool parse_usb_instance_id(const std::string &id, usb_device *device);

// "Maker Product (vvvv:pppp, serial S)"; `names` empty gives "USB device (...)".
std::string usb_description(const std::string &names, const usb_device &usb);
