// What the serial module offers beyond port.h on POSIX systems: the listing with the folder it
// searches for serial devices named, so that tests can lay out devices of their own (links
// named like adapters that lead to pseudo-terminals). ListPorts searches /dev.
#pragma once

#include <string>

#include "port.h"

// ListPorts, with the serial devices that have no COM number looked for in `device_folder`:
// the entries named ttyUSB<n>, ttyACM<n>, ttyAMA<n> or ttyS<n> that lead to a terminal device
// with something behind it.
PortListing ListPortsIn(const std::string& device_folder);
