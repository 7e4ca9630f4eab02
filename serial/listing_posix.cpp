// The serial ports present on POSIX systems: the COM numbers that reach a serial device the way
// the port module maps them, and the serial devices that none reaches yet, each with the link
// that would give it the lowest free number. No device is opened to find out: an open raises
// DTR and RTS and the close drops them, which resets some devices; the device nodes and sysfs
// say enough.
#include "port_posix.h"

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/major.h>
#include <sys/sysmacros.h>
#endif

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "com_names.h"
#include "com_names_posix.h"

namespace {

// True when the character device `number` is a serial port with something behind it, by what
// sysfs under `sysfs` says of it; nothing is opened. A pseudo-terminal's slave counts (it stands
// for a line in tests, and socat or a network serial server publishes one as a port).
bool SerialDeviceNumber(const std::string& sysfs, dev_t number) {
#if defined(__linux__)
    // Pseudo-terminal slaves have no sysfs entry of their own.
    if (major(number) >= UNIX98_PTY_SLAVE_MAJOR &&
        major(number) < UNIX98_PTY_SLAVE_MAJOR + UNIX98_PTY_MAJOR_COUNT) {
        return true;
    }
    // Without sysfs (a container that has none mounted) there is nothing to ask: every
    // character device counts, as on systems without it.
    struct stat devices;
    if (stat((sysfs + "/dev/char").c_str(), &devices) != 0) {
        return true;
    }
    const std::string entry =
        sysfs + "/dev/char/" + std::to_string(major(number)) + ":" + std::to_string(minor(number));
    char subsystem[PATH_MAX];
    const ssize_t length = readlink((entry + "/subsystem").c_str(), subsystem, sizeof(subsystem));
    if (length < 4 || std::string(subsystem, static_cast<size_t>(length)).rfind("/tty") !=
                          static_cast<size_t>(length) - 4) {
        return false;  // not a terminal device (/dev/null, a disk)
    }
    // A port of the serial core (ttyS, ttyAMA) tells its UART type; Linux makes /dev/ttyS*
    // nodes for UARTs that may not exist, and those say 0 (no UART).
    std::ifstream type_file(entry + "/type");
    int type = 0;
    if (type_file >> type) {
        return type != 0;
    }
    // Other serial devices (USB adapters, modems) have hardware behind them; virtual consoles
    // and the like have none.
    struct stat hardware;
    return lstat((entry + "/device").c_str(), &hardware) == 0;
#else
    // No sysfs to ask: every character device counts.
    (void)sysfs;
    (void)number;
    return true;
#endif
}

// True when `path` leads to a serial device with something behind it (SerialDeviceNumber); its
// device number goes to `device`.
bool SerialDeviceThere(const std::string& path, const std::string& sysfs, dev_t* device) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) {
        return false;
    }
    *device = info.st_rdev;
    return SerialDeviceNumber(sysfs, info.st_rdev);
}

// For a serial device's name: its kind (the name less its number) and its number, so that
// ttyS2 comes before ttyS10. False for names that are no serial device's.
bool SerialDeviceName(const std::string& name, std::string* kind, long* number) {
    static const char* const kKinds[] = {"ttyUSB", "ttyACM", "ttyAMA", "ttyS"};
    for (const char* candidate : kKinds) {
        size_t length = std::strlen(candidate);
        if (name.compare(0, length, candidate) != 0 || name.size() == length ||
            name.size() > length + 6) {
            continue;
        }
        const std::string digits = name.substr(length);
        if (!std::all_of(digits.begin(), digits.end(),
                         [](char c) { return c >= '0' && c <= '9'; })) {
            continue;
        }
        *kind = candidate;
        *number = std::stol(digits);
        return true;
    }
    return false;
}

// The serial devices in `folder` whose device numbers are not in `numbered`, in order of kind
// and number.
std::vector<std::string> UnnumberedDevices(const std::string& folder, const std::string& sysfs,
                                           const std::vector<dev_t>& numbered) {
    struct Found {
        std::string kind;
        long number;
        std::string path;
    };
    std::vector<Found> found;
    DIR* entries = opendir(folder.c_str());
    if (entries == nullptr) {
        return {};
    }
    while (dirent* entry = readdir(entries)) {
        Found device{"", 0, folder + "/" + entry->d_name};
        dev_t number = 0;
        if (SerialDeviceName(entry->d_name, &device.kind, &device.number) &&
            SerialDeviceThere(device.path, sysfs, &number) &&
            std::find(numbered.begin(), numbered.end(), number) == numbered.end()) {
            found.push_back(device);
        }
    }
    closedir(entries);
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return a.kind != b.kind ? a.kind < b.kind : a.number < b.number;
    });
    std::vector<std::string> paths;
    for (const Found& device : found) {
        paths.push_back(device.path);
    }
    return paths;
}

}  // namespace

PortListing ListPortsIn(const std::string& device_folder, const std::string& sysfs_folder) {
    PortListing listing;
    const ComLinkFolder links = ComLinkFolderInUse();
    // A COM number is taken when it reaches a device, or when a link for it is there already
    // (even a dangling one: ln -s would refuse to replace it).
    std::vector<bool> taken(kComNumberMax + 1, false);
    std::vector<dev_t> numbered;
    for (int number = 1; number <= kComNumberMax; ++number) {
        dev_t device = 0;
        if (SerialDeviceThere(ComDevicePath(number), sysfs_folder, &device)) {
            listing.ports.push_back(ComName(number));
            numbered.push_back(device);
            taken[number] = true;
        }
        if (ComLinkThere(links, number)) {
            taken[number] = true;
        }
    }
    int next = 1;
    for (const std::string& path : UnnumberedDevices(device_folder, sysfs_folder, numbered)) {
        while (next <= kComNumberMax && taken[next]) {
            ++next;
        }
        std::string hint = path;
        if (next <= kComNumberMax) {
            hint += " (ln -s " + path + " " + ComLinkIn(links.shown, next) + ")";
            taken[next] = true;
        }
        listing.unnumbered.push_back(hint);
    }
    return listing;
}

PortListing ListPorts() {
    return ListPortsIn("/dev", "/sys");
}
