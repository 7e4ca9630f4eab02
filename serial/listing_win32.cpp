// The serial ports present on Windows, from what the system lists: the ports the device manager
// has present, the ports the serial drivers registered under HARDWARE\DEVICEMAP\SERIALCOMM, and
// the COM names among the system's device names. No port is opened to find out: an open raises
// DTR and RTS and the close drops them, which resets some devices, and a Bluetooth port whose
// device is out of range holds up the open for seconds.
//
// Wine lists the ports that its mount manager made when the prefix started (from
// HKLM\Software\Wine\Ports and the machine's /dev/ttyS*); a COM link added to the prefix's
// dosdevices folder after that shows up only when opened, so it is not listed.
#include <windows.h>
// After windows.h: makes the device interface class of COM ports defined here.
#include <initguid.h>
// After initguid.h, which makes its classes defined here.
#include <devguid.h>
#include <setupapi.h>

#include <map>
#include <string>
#include <vector>

#include "com_names.h"
#include "port_win32.h"

namespace {

// The most characters the list of device names is given room for: far more than any system has,
// only so that a driver that keeps asking for more cannot make the listing grow without end.
constexpr size_t kDosDeviceNamesMax = 8 * 1024 * 1024;

// ComNumber for a name read with the W functions. COM names are ASCII; anything else is no COM
// name.
int WideComNumber(const wchar_t* name) {
    std::string narrow;
    for (const wchar_t* c = name; *c != L'\0'; ++c) {
        if (*c > 0x7F) {
            return 0;
        }
        narrow += static_cast<char>(*c);
    }
    return ComNumber(narrow.c_str());
}

// The port's name in a device's registry key, "COM3"; empty when it has none.
std::wstring PortNameOf(HDEVINFO devices, SP_DEVINFO_DATA* device) {
    HKEY key = SetupDiOpenDevRegKey(devices, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
        return std::wstring();
    }
    wchar_t name[32] = {};
    DWORD type = 0;
    DWORD size = sizeof(name) - sizeof(wchar_t);
    const LONG read =
        RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
    RegCloseKey(key);
    return read == ERROR_SUCCESS && type == REG_SZ ? std::wstring(name) : std::wstring();
}

// The device's name as the device manager shows it, less the " (COM3)" it ends with.
std::wstring FriendlyNameOf(HDEVINFO devices, SP_DEVINFO_DATA* device,
                            const std::wstring& port_name) {
    wchar_t friendly[256] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(devices, device, SPDRP_FRIENDLYNAME, nullptr,
                                           reinterpret_cast<BYTE*>(friendly),
                                           sizeof(friendly) - sizeof(wchar_t), nullptr)) {
        return std::wstring();
    }
    std::wstring name = friendly;
    const std::wstring suffix = L" (" + port_name + L")";
    if (name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        name.erase(name.size() - suffix.size());
    }
    return name;
}

// The COM ports with a device name from the device manager: "USB Serial Port (COM3)" becomes
// "USB Serial Port". Only devices present now, of the device interface class or setup class
// `kind` (`flags` says which); a port already listed with a name keeps it.
void AddFriendlyNames(std::map<int, std::string>* ports, const GUID& kind, DWORD flags) {
    HDEVINFO devices = SetupDiGetClassDevsW(&kind, nullptr, nullptr, DIGCF_PRESENT | flags);
    if (devices == INVALID_HANDLE_VALUE) {
        return;
    }
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        const std::wstring port_name = PortNameOf(devices, &device);
        const int number = WideComNumber(port_name.c_str());
        if (number != 0) {
            std::string& name = (*ports)[number];
            if (name.empty()) {
                name = ConsoleText(FriendlyNameOf(devices, &device, port_name).c_str());
            }
        }
    }
    SetupDiDestroyDeviceInfoList(devices);
}

// COM<number> among `ports`, keeping the device manager's name for it where it has one; a number
// of 0 (no COM name) adds nothing.
void AddUnnamed(std::map<int, std::string>* ports, int number) {
    if (number != 0) {
        ports->emplace(number, std::string());
    }
}

// The ports that serial drivers registered: each value's data is a port's name ("COM1").
void AddRegisteredPorts(std::map<int, std::string>* ports) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t device[256];
        DWORD device_length = sizeof(device) / sizeof(device[0]);
        wchar_t port_name[32] = {};
        DWORD type = 0;
        DWORD size = sizeof(port_name) - sizeof(wchar_t);
        const LONG read = RegEnumValueW(key, index, device, &device_length, nullptr, &type,
                                        reinterpret_cast<BYTE*>(port_name), &size);
        if (read == ERROR_NO_MORE_ITEMS) {
            break;
        }
        AddUnnamed(ports, read == ERROR_SUCCESS && type == REG_SZ ? WideComNumber(port_name) : 0);
    }
    RegCloseKey(key);
}

// The COM names among the system's device names; Windows lists only the devices present now.
// The list has no size limit, so the buffer grows until it fits.
void AddDosDevices(std::map<int, std::string>* ports) {
    std::vector<wchar_t> names(16 * 1024);
    DWORD length = 0;
    for (;;) {
        length = QueryDosDeviceW(nullptr, names.data(), static_cast<DWORD>(names.size()));
        if (length != 0 || GetLastError() != ERROR_INSUFFICIENT_BUFFER ||
            names.size() >= kDosDeviceNamesMax) {
            break;
        }
        names.resize(names.size() * 2);
    }
    // Names one after the other, each ended by a zero, the list by another.
    for (DWORD at = 0; at < length && names[at] != L'\0';) {
        AddUnnamed(ports, WideComNumber(&names[at]));
        while (at < length && names[at] != L'\0') {
            ++at;
        }
        ++at;
    }
}

}  // namespace

PortListing ListPorts() {
    std::map<int, std::string> ports;
    AddFriendlyNames(&ports, GUID_DEVINTERFACE_COMPORT, DIGCF_DEVICEINTERFACE);
    // On Windows 7, usbser.sys registers no COM port interface for a CDC adapter: it is found
    // by its setup class, Ports or Modem, as pyserial's list_ports_windows.py finds it.
    AddFriendlyNames(&ports, GUID_DEVCLASS_PORTS, 0);
    AddFriendlyNames(&ports, GUID_DEVCLASS_MODEM, 0);
    AddRegisteredPorts(&ports);
    AddDosDevices(&ports);
    PortListing listing;
    for (const auto& port : ports) {
        const std::string name = ComName(port.first);
        listing.ports.push_back(port.second.empty() ? name : name + " (" + port.second + ")");
    }
    return listing;
}
