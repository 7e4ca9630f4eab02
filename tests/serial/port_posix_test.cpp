// What of port.h only POSIX systems can show, on pseudo-terminals: the exclusive open seen from
// a second process and in the terminal's own flag, COM names mapped through a Wine prefix, and
// the listing of a device folder. The promises every platform keeps are in
// port_contract_test.cpp.
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "files.h"
#include "port.h"
#include "port_posix.h"
#include "program.h"
#include "pty.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Runs the probe program (a second process calling OpenPort on `path`) and returns its exit
// status, or -1 when it did not end normally within 10 s.
int OpenFromAnotherProcess(const std::string& path) {
    k410test::Command probe;
    probe.argv = {K410_PORT_OPEN_PROBE, path};
    probe.limit_seconds = 10;
    return k410test::RunProcess(probe).status;
}

// Opens the port `name`, writes `text` and expects it at `line`'s far end; closes again.
void ExpectWriteReaches(const char* name, const k410test::PtyLine& line, const std::string& text) {
    ASSERT_EQ(OpenPort(name), PORT_OK);
    k410test::LineRecorder recorder(line.master());
    EXPECT_EQ(WritePort(text.c_str(), static_cast<int>(text.size())), PORT_OK);
    EXPECT_TRUE(recorder.WaitForText(text, milliseconds(3000)));
    ASSERT_EQ(ClosePort(), PORT_OK);
}

class SerialPort : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(line_.ok()); }
    // The module is process-wide: leave it closed for the next test.
    void TearDown() override { ClosePort(); }

    k410test::PtyLine line_;
};

// --- Exclusive open ------------------------------------------------------------------------

TEST_F(SerialPort, AnotherProcessCannotOpenThePortWhileItIsHeld) {
    ASSERT_EQ(OpenPort(line_.slave_path().c_str()), PORT_OK);
    EXPECT_EQ(OpenFromAnotherProcess(line_.slave_path()), PORT_ERR_OPEN);

    ASSERT_EQ(ClosePort(), PORT_OK);
    EXPECT_EQ(OpenFromAnotherProcess(line_.slave_path()), PORT_OK) << "not released at close";
}

#ifdef TIOCGEXCL
TEST_F(SerialPort, TerminalIsExclusiveExactlyWhileOpen) {
    int exclusive = -1;
    ASSERT_EQ(OpenPort(line_.slave_path().c_str()), PORT_OK);
    ASSERT_EQ(ioctl(line_.held_slave(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);

    ASSERT_EQ(ClosePort(), PORT_OK);
    ASSERT_EQ(ioctl(line_.held_slave(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << "TIOCEXCL left set: other programs are locked out after close";
}
#endif

TEST_F(SerialPort, OpenWhileOpenReleasesTheOldPortFirst) {
    ASSERT_EQ(OpenPort(line_.slave_path().c_str()), PORT_OK);
    k410test::PtyLine other;
    ASSERT_TRUE(other.ok());
    ASSERT_EQ(OpenPort(other.slave_path().c_str()), PORT_OK);
    EXPECT_EQ(GetPortError(), PORT_OK);

    k410test::LineRecorder recorder(other.master());
    EXPECT_EQ(WritePort("moved", 5), PORT_OK);
    EXPECT_TRUE(recorder.WaitForText("moved", milliseconds(3000)));
    EXPECT_EQ(OpenFromAnotherProcess(line_.slave_path()), PORT_OK) << "old device still held";
}

// --- A line that hung up ------------------------------------------------------------------

// Wine reads and writes a pseudo-terminal that hung up as a quiet line, until the time-out.
TEST_F(SerialPort, ReadOrWriteOnAHungUpLineFailsAtOnceAsAGoneDevice) {
    ASSERT_EQ(OpenPort(line_.slave_path().c_str()), PORT_OK);
    line_.HangUp();
    EXPECT_EQ(WritePort("x", 1), PORT_ERR_WRITE);
    EXPECT_EQ(GetPortReason(), PORT_REASON_GONE);

    char buffer[11] = "gggggggggg";
    auto start = Clock::now();
    EXPECT_EQ(ReadPort(buffer, 10), 0);
    EXPECT_LE(std::chrono::duration_cast<milliseconds>(Clock::now() - start).count(), 900);
    EXPECT_EQ(buffer[0], 'g') << "a failed read stores no terminator";
}

// --- COM port names ------------------------------------------------------------------------

TEST_F(SerialPort, ComNameMapsThroughTheWinePrefix) {
    k410test::PtyLine line255;
    ASSERT_TRUE(line255.ok());
    k410test::ScratchDir prefix;
    ASSERT_FALSE(prefix.path().empty());
    ASSERT_TRUE(k410test::PublishComPort(prefix.path(), 3, line_.slave_path()));
    ASSERT_TRUE(k410test::PublishComPort(prefix.path(), 255, line255.slave_path()));
    k410test::ScopedEnv wine("WINEPREFIX", prefix.path());

    ASSERT_NO_FATAL_FAILURE(ExpectWriteReaches("\\\\.\\COM3", line_, "three"));
    ASSERT_NO_FATAL_FAILURE(ExpectWriteReaches("\\\\.\\COM255", line255, "last"));
    EXPECT_EQ(OpenPort("\\\\.\\com3"), PORT_OK) << "COM is not case-sensitive on Windows";
    ASSERT_EQ(ClosePort(), PORT_OK);

    EXPECT_EQ(OpenPort("\\\\.\\COM7"), PORT_ERR_OPEN) << "no com7 link in the prefix";
    EXPECT_EQ(GetPortError(), PORT_ERR_OPEN);
}

TEST_F(SerialPort, ComNameFallsBackToTheWinePrefixInHome) {
    k410test::ScratchDir home;
    ASSERT_FALSE(home.path().empty());
    ASSERT_EQ(mkdir((home.path() + "/.wine").c_str(), 0755), 0);
    ASSERT_TRUE(k410test::PublishComPort(home.path() + "/.wine", 4, line_.slave_path()));
    k410test::ScopedEnv no_prefix("WINEPREFIX", nullptr);
    k410test::ScopedEnv home_env("HOME", home.path());

    ExpectWriteReaches("\\\\.\\COM4", line_, "four");
}

// --- Listing -------------------------------------------------------------------------------

// A device folder laid out like /dev: links named like adapters that lead to pseudo-terminals.
TEST_F(SerialPort, ListingNamesThePortsPresentAndLinksForDevicesWithoutANumber) {
    k410test::PtyLine adapter;
    k410test::PtyLine second_adapter;
    ASSERT_TRUE(adapter.ok() && second_adapter.ok());
    k410test::ScratchDir prefix;
    k410test::ScratchDir dev;
    ASSERT_TRUE(k410test::WriteFile(dev.path() + "/plain", "no device\n"));
    const std::string links[][2] = {
        {"ttyUSB0", adapter.slave_path()}, {"ttyACM10", second_adapter.slave_path()},
        {"ttyACM2", line_.slave_path()},   {"ttyUSB1", dev.path() + "/gone"},
        {"ttyS9", dev.path() + "/plain"},  {"ttyFOO0", second_adapter.slave_path()},
    };
    for (const auto& link : links) {
        ASSERT_EQ(symlink(link[1].c_str(), (dev.path() + "/" + link[0]).c_str()), 0);
    }
    // COM1 is a dangling link, which takes its number all the same; COM3 is the line, which
    // gives ttyACM2 its number; COM6 a plain file, no serial port.
    ASSERT_TRUE(k410test::PublishComPort(prefix.path(), 1, dev.path() + "/gone"));
    ASSERT_TRUE(k410test::PublishComPort(prefix.path(), 3, line_.slave_path()));
    ASSERT_TRUE(k410test::PublishComPort(prefix.path(), 6, dev.path() + "/plain"));
    ASSERT_TRUE(k410test::PublishComPort(prefix.path(), 12, second_adapter.slave_path()));
    k410test::ScopedEnv wine("WINEPREFIX", prefix.path());

    PortListing listing = ListPortsIn(dev.path());
    EXPECT_EQ(listing.ports, (std::vector<std::string>{"COM3", "COM12"}));
    const std::string links_in = prefix.path() + "/dosdevices/com";
    EXPECT_EQ(listing.unnumbered,
              (std::vector<std::string>{dev.path() + "/ttyUSB0 (ln -s " + dev.path() + "/ttyUSB0 " +
                                        links_in + "2)"}));

    // Without its COM12, the second adapter gets the next free number; without a prefix the
    // links go where Wine looks by default.
    ASSERT_EQ(unlink((links_in + "12").c_str()), 0);
    listing = ListPortsIn(dev.path());
    EXPECT_EQ(listing.unnumbered,
              (std::vector<std::string>{
                  dev.path() + "/ttyACM10 (ln -s " + dev.path() + "/ttyACM10 " + links_in + "2)",
                  dev.path() + "/ttyUSB0 (ln -s " + dev.path() + "/ttyUSB0 " + links_in + "4)"}));
}

}  // namespace
