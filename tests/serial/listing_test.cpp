// The listing of the ports present, on POSIX systems: what it counts as a serial port, and that
// it finds out without opening any device (an open raises DTR and RTS, which resets some
// devices). The device nodes are watched with inotify while a failed open lists the ports.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "files.h"
#include "port.h"
#include "port_posix.h"
#include "pty.h"
#include "watched_line.h"

namespace {

// The paths opened since the last call, one entry per open.
std::vector<std::string> Opened(OpenWatch* watch) {
    std::vector<OpenWatch::Event> events;
    watch->Take(&events);
    std::vector<std::string> opened;
    for (const OpenWatch::Event& event : events) {
        if (event.opened) {
            opened.push_back(event.path);
        }
    }
    return opened;
}

// The machine's own serial device nodes: the listing looks at /dev/ttyS<n> behind COM<n+1> when
// no link gives that number.
std::vector<std::string> MachineSerialNodes() {
    std::vector<std::string> nodes;
    for (int n = 0; n < 4; ++n) {
        const std::string node = "/dev/ttyS" + std::to_string(n);
        struct stat info;
        if (stat(node.c_str(), &info) == 0 && S_ISCHR(info.st_mode)) {
            nodes.push_back(node);
        }
    }
    return nodes;
}

TEST(Listing, AFailedOpenListsThePortsWithoutOpeningAnyDevice) {
    std::vector<std::unique_ptr<k410test::PtyLine>> lines;
    for (int i = 0; i < 3; ++i) {
        lines.push_back(std::make_unique<k410test::PtyLine>());
        ASSERT_TRUE(lines.back()->ok());
    }
    k410test::ScratchDir prefix;
    k410test::ScratchDir dev;
    k410test::ScratchDir home;
    ASSERT_TRUE(k410test::PublishComPort(prefix.path(), 3, lines[0]->slave_path()));
    ASSERT_TRUE(k410test::PublishComPort(prefix.path(), 4, lines[1]->slave_path()));
    ASSERT_EQ(symlink(lines[2]->slave_path().c_str(), (dev.path() + "/ttyUSB0").c_str()), 0);

    OpenWatch watch;
    for (const auto& line : lines) {
        ASSERT_TRUE(watch.Watch(line->slave_path())) << line->slave_path();
    }
    const std::vector<std::string> machine = MachineSerialNodes();
    for (const std::string& node : machine) {
        ASSERT_TRUE(watch.Watch(node)) << node;
    }
    ASSERT_TRUE(Opened(&watch).empty());

    {
        // The prefix's links are the COM ports.
        k410test::ScopedEnv wine("WINEPREFIX", prefix.path());
        ASSERT_EQ(OpenPort("\\\\.\\COM7"), PORT_ERR_OPEN);
        ASSERT_EQ(GetPortReason(), PORT_REASON_ABSENT);
        const PortListing listing = ListPortsIn(dev.path());
        EXPECT_EQ(listing.ports, (std::vector<std::string>{"COM3", "COM4"}));
        EXPECT_EQ(listing.unnumbered.size(), 1u);
        ListPorts();
    }
    {
        // No prefix and no ~/.wine: COM<n> is the machine's /dev/ttyS<n-1>.
        k410test::ScopedEnv no_prefix("WINEPREFIX", nullptr);
        k410test::ScopedEnv home_env("HOME", home.path());
        ASSERT_EQ(OpenPort("\\\\.\\COM200"), PORT_ERR_OPEN);
        ListPorts();
    }
    EXPECT_EQ(Opened(&watch), std::vector<std::string>{}) << "the listing opened these";

    // The watch sees an open when there is one.
    const int fd = open(lines[1]->slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(Opened(&watch), std::vector<std::string>{lines[1]->slave_path()});
    if (machine.empty()) {
        std::cout << "[   NOTE   ] this machine has no /dev/ttyS* node to watch\n";
    }
}

// A sysfs of the test's own says what is behind the device numbers of a few harmless character
// devices, linked under serial devices' names.
TEST(Listing, CountsWhatSysfsSaysIsASerialPortWithSomethingBehindIt) {
    k410test::ScratchDir sysfs;
    k410test::ScratchDir dev;
    k410test::ScratchDir prefix;
    for (const char* folder :
         {"/class", "/class/tty", "/class/mem", "/hardware", "/dev", "/dev/char"}) {
        ASSERT_EQ(mkdir((sysfs.path() + folder).c_str(), 0755), 0) << folder;
    }
    struct Device {
        const char* node;       // a character device of the machine
        const char* name;       // linked in the device folder as
        const char* subsystem;  // its class
        const char* type;       // its UART type; nullptr: no such entry
        bool hardware;          // a device behind it
    };
    const Device devices[] = {
        {"/dev/null", "ttyS0", "tty", "0", false},           // a node with no UART behind it
        {"/dev/zero", "ttyS1", "tty", "4", false},           // a 16550A
        {"/dev/full", "ttyUSB0", "tty", nullptr, true},      // a USB adapter
        {"/dev/urandom", "ttyACM0", "tty", nullptr, false},  // a virtual console
        {"/dev/random", "ttyAMA0", "mem", nullptr, true},    // no terminal at all
    };
    for (const Device& device : devices) {
        SCOPED_TRACE(device.node);
        struct stat info;
        ASSERT_EQ(stat(device.node, &info), 0);
        ASSERT_TRUE(S_ISCHR(info.st_mode));
        const std::string entry = sysfs.path() + "/dev/char/" +
                                  std::to_string(major(info.st_rdev)) + ":" +
                                  std::to_string(minor(info.st_rdev));
        ASSERT_EQ(mkdir(entry.c_str(), 0755), 0);
        const std::string subsystem = sysfs.path() + "/class/" + device.subsystem;
        ASSERT_EQ(symlink(subsystem.c_str(), (entry + "/subsystem").c_str()), 0);
        if (device.type != nullptr) {
            ASSERT_TRUE(k410test::WriteFile(entry + "/type", std::string(device.type) + "\n"));
        }
        if (device.hardware) {
            ASSERT_EQ(symlink((sysfs.path() + "/hardware").c_str(), (entry + "/device").c_str()),
                      0);
        }
        ASSERT_EQ(symlink(device.node, (dev.path() + "/" + device.name).c_str()), 0);
    }
    // COM5 reaches the 16550A, which then needs no number; COM6 the node with no UART.
    ASSERT_TRUE(k410test::PublishComPort(prefix.path(), 5, "/dev/zero"));
    ASSERT_TRUE(k410test::PublishComPort(prefix.path(), 6, "/dev/null"));
    k410test::ScopedEnv wine("WINEPREFIX", prefix.path());

    const PortListing listing = ListPortsIn(dev.path(), sysfs.path());
    EXPECT_EQ(listing.ports, std::vector<std::string>{"COM5"});
    const std::string links_in = prefix.path() + "/dosdevices/com";
    EXPECT_EQ(listing.unnumbered,
              std::vector<std::string>{dev.path() + "/ttyUSB0 (ln -s " + dev.path() + "/ttyUSB0 " +
                                       links_in + "1)"});
}

}  // namespace
