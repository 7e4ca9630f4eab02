// The serial ports present on POSIX systems: the COM numbers that reach a serial device the way
// the port module maps them, and the serial devices that none reaches yet, each with the link
// that would give it the lowest free number.
#include "port_posix.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "com_names.h"
#include "com_names_posix.h"

namespace {

// True when `path` leads to a terminal device with something behind it; its device number goes
// to `device`. Cheap and safe, because devices are probed that the technician never asked for:
// the device is opened without waiting and without becoming a controlling terminal, its
// settings are not touched, and it is closed again at once. A device that cannot be opened
// because it is held or not ours is still there.
bool SerialDeviceThere(const std::string& path, dev_t* device) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) {
        return false;
    }
    *device = info.st_rdev;
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == EBUSY || errno == EACCES || errno == EPERM;
    }
    bool there = isatty(fd) != 0;
#if defined(__linux__)
    // Linux makes /dev/ttyS* nodes for UARTs that may not exist; those report no UART type
    // (others fail with EIO at open, above). A pseudo-terminal has no such report.
    serial_struct serial;
    if (there && ioctl(fd, TIOCGSERIAL, &serial) == 0 && serial.type == PORT_UNKNOWN) {
        there = false;
    }
#endif
    close(fd);
    return there;
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
std::vector<std::string> UnnumberedDevices(const std::string& folder,
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
            SerialDeviceThere(device.path, &number) &&
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

PortListing ListPortsIn(const std::string& device_folder) {
    PortListing listing;
    const ComLinkFolder links = ComLinkFolderInUse();
    // A COM number is taken when it reaches a device, or when a link for it is there already
    // (even a dangling one: ln -s would refuse to replace it).
    std::vector<bool> taken(kComNumberMax + 1, false);
    std::vector<dev_t> numbered;
    for (int number = 1; number <= kComNumberMax; ++number) {
        dev_t device = 0;
        if (SerialDeviceThere(ComDevicePath(ComPath(number).c_str()), &device)) {
            listing.ports.push_back(ComName(number));
            numbered.push_back(device);
            taken[number] = true;
        }
        if (ComLinkThere(links, number)) {
            taken[number] = true;
        }
    }
    int next = 1;
    for (const std::string& path : UnnumberedDevices(device_folder, numbered)) {
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
    return ListPortsIn("/dev");
}
