// The serial ports present on Windows: those the device manager names, the COM names among the
// system's device names, and any other COM<n> that opens as a serial port.
#include <windows.h>
// After windows.h: makes the device interface class of COM ports defined here.
#include <initguid.h>
#include <setupapi.h>

#include <cstring>
#include <map>
#include <string>

#include "com_names.h"
#include "port_win32.h"

namespace {

// The COM ports with a device name from the device manager: "USB Serial Port (COM3)" becomes
// "USB Serial Port". Only devices present now.
void AddFriendlyNames(std::map<int, std::string>* ports) {
    HDEVINFO devices = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_COMPORT, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (devices == INVALID_HANDLE_VALUE) {
        return;
    }
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        char port_name[32] = {};
        HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) {
            continue;
        }
        DWORD size = sizeof(port_name) - 1;
        LONG read = RegQueryValueExA(key, "PortName", nullptr, nullptr,
                                     reinterpret_cast<BYTE*>(port_name), &size);
        RegCloseKey(key);
        const int number = read == ERROR_SUCCESS ? ComNumber(port_name) : 0;
        if (number == 0) {
            continue;
        }
        char friendly[256] = {};
        std::string name;
        if (SetupDiGetDeviceRegistryPropertyA(devices, &device, SPDRP_FRIENDLYNAME, nullptr,
                                              reinterpret_cast<BYTE*>(friendly),
                                              sizeof(friendly) - 1, nullptr)) {
            name = friendly;
            const std::string suffix = std::string(" (") + port_name + ")";
            if (name.size() > suffix.size() &&
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
                name.erase(name.size() - suffix.size());
            }
        }
        (*ports)[number] = name;
    }
    SetupDiDestroyDeviceInfoList(devices);
}

// The COM names among the system's device names; Windows lists only the devices present now.
void AddDosDevices(std::map<int, std::string>* ports) {
    std::string names(64 * 1024, '\0');
    DWORD length = QueryDosDeviceA(nullptr, &names[0], static_cast<DWORD>(names.size()));
    for (const char* name = names.c_str(); length > 0 && *name != '\0';
         name += std::strlen(name) + 1) {
        const int number = ComNumber(name);
        if (number != 0 && ports->count(number) == 0) {
            (*ports)[number] = "";
        }
    }
}

// True when \\.\COM<n> opens as a serial port, for ports that neither list knows: under Wine
// the COM links of the prefix's dosdevices folder are such ports. A port held by another
// program is there too. Opened without access rights, which changes nothing on the device and
// allows only queries; reading its time-outs is one that only a serial port answers (with no
// access rights Wine answers no other). Closed at once.
bool ComPortThere(int number) {
    HANDLE handle = CreateFileA(ComPath(number).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return ReasonForOpenError(GetLastError()) == PORT_REASON_IN_USE;
    }
    COMMTIMEOUTS timeouts = {};
    const bool serial = GetCommTimeouts(handle, &timeouts) != 0;
    CloseHandle(handle);
    return serial;
}

}  // namespace

PortListing ListPorts() {
    std::map<int, std::string> ports;
    AddFriendlyNames(&ports);
    AddDosDevices(&ports);
    for (int number = 1; number <= kComNumberMax; ++number) {
        if (ports.count(number) == 0 && ComPortThere(number)) {
            ports[number] = "";
        }
    }
    PortListing listing;
    for (const auto& port : ports) {
        const std::string name = ComName(port.first);
        listing.ports.push_back(port.second.empty() ? name : name + " (" + port.second + ")");
    }
    return listing;
}
