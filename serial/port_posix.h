// What the serial module offers beyond port.h on POSIX systems: the listing with the folder it
// searches for serial devices named and the sysfs it asks about them, so that tests can lay out
// devices of their own (links named like adapters that lead to pseudo-terminals, a sysfs that
// says what is behind a device). ListPorts searches /dev and asks /sys.
#pragma once

#include <string>

#include "port.h"

// ListPorts, with the serial devices that have no COM number looked for in `device_folder`:
// the entries named ttyUSB<n>, ttyACM<n>, ttyAMA<n> or ttyS<n> that lead to a serial device with
// something behind it. Linux: what `sysfs_folder` has under dev/char/<major>:<minor> says so
// (a terminal device with a UART type other than 0, or else with a device behind it); a
// pseudo-terminal's slave always counts. Without sysfs, and on other systems, every character
// device counts.
PortListing ListPortsIn(const std::string& device_folder, const std::string& sysfs_folder = "/sys");
