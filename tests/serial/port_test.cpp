// The serial port module against pseudo-terminals standing for the analyzer's end of the line.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "files.h"
#include "port.h"
#include "port_posix.h"
#include "pty.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

// Runs the probe program (a second process calling OpenPort on `path`) and returns its exit
// status, or -1 when it did not end normally within 10 s.
int OpenFromAnotherProcess(const std::string& path) {
    const char* probe = K410_PORT_OPEN_PROBE;
    std::vector<char*> argv{const_cast<char*>(probe), const_cast<char*>(path.c_str()), nullptr};
    pid_t pid;
    if (posix_spawn(&pid, probe, nullptr, nullptr, argv.data(), environ) != 0) {
        return -1;
    }
    auto deadline = Clock::now() + std::chrono::seconds(10);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Another program holding the device with flock(), the way a second serial tool would.
class LockHolder {
  public:
    explicit LockHolder(const std::string& path) {
        int ready[2];
        int release[2];
        if (pipe(ready) != 0 || pipe(release) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(release[1]);
            alarm(30);  // never outlive a broken test
            int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            char answer = (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) ? 'L' : 'F';
            if (write(ready[1], &answer, 1) != 1) {
                _exit(1);
            }
            char ignored;
            while (read(release[0], &ignored, 1) < 0 && errno == EINTR) {
            }
            _exit(0);
        }
        close(ready[1]);
        close(release[0]);
        release_ = release[1];
        pollfd waiter{ready[0], POLLIN, 0};
        char answer = 0;
        if (pid_ > 0 && poll(&waiter, 1, 5000) == 1 && read(ready[0], &answer, 1) == 1) {
            locked_ = answer == 'L';
        }
        close(ready[0]);
    }
    ~LockHolder() { Release(); }

    bool locked() const { return locked_; }

    void Release() {
        if (release_ >= 0) {
            close(release_);
            release_ = -1;
        }
        if (pid_ > 0) {
            auto deadline = Clock::now() + std::chrono::seconds(5);
            while (waitpid(pid_, nullptr, WNOHANG) == 0) {
                if (Clock::now() > deadline) {
                    kill(pid_, SIGKILL);
                    waitpid(pid_, nullptr, 0);
                    break;
                }
                std::this_thread::sleep_for(milliseconds(5));
            }
            pid_ = -1;
        }
    }

  private:
    pid_t pid_ = -1;
    int release_ = -1;
    bool locked_ = false;
};

// Bytes received by the terminal and not yet read by anyone (seen through the held slave,
// which shares the program's input queue).
int PendingInput(const k410test::PtyLine& line) {
    int pending = -1;
    ioctl(line.held_slave(), FIONREAD, &pending);
    return pending;
}

// Waits until the terminal holds `count` unread bytes; the kernel moves bytes from the master
// to the slave's queue a little later than the master's write returns.
bool WaitForPendingInput(const k410test::PtyLine& line, int count) {
    auto deadline = Clock::now() + std::chrono::seconds(3);
    while (PendingInput(line) < count) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

class SerialPort : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(line_.ok()); }
    // The module is process-wide: leave it closed for the next test.
    void TearDown() override { ClosePort(); }

    k410test::PtyLine line_;
};

// --- Line settings -------------------------------------------------------------------------

TEST_F(SerialPort, OpenPutsLineInto9600Baud8N1RawWithoutFlowControl) {
    // Start from a terminal set up for something else entirely. (A pseudo-terminal drops
    // PARENB and forces CS8 and CREAD by itself, so only the other fields really start wrong.)
    termios hostile;
    ASSERT_EQ(tcgetattr(line_.held_slave(), &hostile), 0);
    cfsetispeed(&hostile, B1200);
    cfsetospeed(&hostile, B2400);
    hostile.c_cflag |= CSTOPB | CRTSCTS | PARENB | PARODD;
    hostile.c_cflag &= ~(CLOCAL | CREAD);
    hostile.c_iflag |= IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT | PARMRK;
    hostile.c_oflag |= OPOST | ONLCR;
    hostile.c_lflag |= ICANON | ECHO | ECHONL | ISIG | IEXTEN;
    hostile.c_cc[VSTART] = 0x01;  // fields the program has no business changing
    hostile.c_cc[VSTOP] = 0x02;
    hostile.c_cc[VEOF] = 0x05;
    ASSERT_EQ(tcsetattr(line_.held_slave(), TCSANOW, &hostile), 0);

    ASSERT_EQ(OpenPort(line_.slave_path().c_str()), PORT_OK);
    EXPECT_EQ(GetPortError(), PORT_OK);

    termios got;
    ASSERT_TRUE(k410test::ReadLineSettings(line_, &got));
    EXPECT_EQ(cfgetispeed(&got), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetospeed(&got), static_cast<speed_t>(B9600));
    EXPECT_EQ(got.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(got.c_cflag & (PARENB | PARODD | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(got.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(got.c_iflag & (IXON | IXOFF | IXANY), 0u) << "software flow control left on";
    EXPECT_EQ(got.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | BRKINT | PARMRK | IGNBRK), 0u);
    EXPECT_EQ(got.c_oflag & OPOST, 0u);
    EXPECT_EQ(got.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(got.c_cc[VSTART], 0x01);
    EXPECT_EQ(got.c_cc[VSTOP], 0x02);
    EXPECT_EQ(got.c_cc[VEOF], 0x05);
}

TEST_F(SerialPort, EveryByteValuePassesUntouchedBothWays) {
    ASSERT_EQ(OpenPort(line_.slave_path().c_str()), PORT_OK);

    // CR, LF, XON/XOFF, NUL, 0xFF, DEL, ^C, ^Z, ^D: each one that a cooked terminal would
    // translate, swallow or act on.
    const std::string special("\r\n\x11\x13\x00\xff\x7f\x03\x1a\x04\x80z", 13);
    std::string all_values;
    for (int value = 0; value < 256; ++value) {
        all_values.push_back(static_cast<char>(value));
    }
    ASSERT_TRUE(line_.Send(special + all_values));
    std::vector<char> buffer(special.size() + all_values.size() + 1);
    int got = ReadPort(buffer.data(), static_cast<int>(buffer.size() - 1));
    EXPECT_EQ(std::string(buffer.data(), got > 0 ? got : 0), special + all_values);

    k410test::LineRecorder recorder(line_.master());
    EXPECT_EQ(WritePort(special.data(), static_cast<int>(special.size())), PORT_OK);
    EXPECT_EQ(WritePort(all_values.data(), static_cast<int>(all_values.size())), PORT_OK);
    ASSERT_TRUE(recorder.WaitForBytes(special.size() + all_values.size(), milliseconds(3000)));
    recorder.Stop();
    EXPECT_EQ(recorder.Bytes(), special + all_values) << "no newline translation on output";
}

// --- Exclusive open ------------------------------------------------------------------------

TEST_F(SerialPort, AnotherProcessCannotOpenThePortWhileItIsHeld) {
    ASSERT_EQ(OpenPort(line_.slave_path().c_str()), PORT_OK);
    EXPECT_EQ(OpenFromAnotherProcess(line_.slave_path()), PORT_ERR_OPEN);

    ASSERT_EQ(ClosePort(), PORT_OK);
    EXPECT_EQ(OpenFromAnotherProcess(line_.slave_path()), PORT_OK) << "not released at close";
}

TEST_F(SerialPort, DeviceLockedByAnotherProgramIsRefused) {
    LockHolder holder(line_.slave_path());
    ASSERT_TRUE(holder.locked());

    EXPECT_EQ(OpenPort(line_.slave_path().c_str()), PORT_ERR_OPEN);
    EXPECT_EQ(GetPortError(), PORT_ERR_OPEN);
    EXPECT_EQ(GetPortReason(), PORT_REASON_IN_USE);
    EXPECT_EQ(WritePort("x", 1), PORT_ERR_WRITE) << "module must be left closed";

    holder.Release();
    EXPECT_EQ(OpenPort(line_.slave_path().c_str()), PORT_OK);
    EXPECT_EQ(GetPortError(), PORT_OK);
    EXPECT_EQ(GetPortReason(), PORT_REASON_NONE);
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

// --- Failed opens --------------------------------------------------------------------------

TEST_F(SerialPort, MissingDeviceGives2AndLeavesTheModuleClosed) {
    ASSERT_EQ(OpenPort("/nonexistent/k410/ttyX"), PORT_ERR_OPEN);
    EXPECT_EQ(GetPortError(), PORT_ERR_OPEN);
    EXPECT_EQ(GetPortReason(), PORT_REASON_ABSENT);

    char buffer[4] = {'g', 'g', 'g', 'g'};
    EXPECT_EQ(ReadPort(buffer, 3), 0);
    EXPECT_EQ(buffer[0], 'g') << "nothing stored without an open port";
    EXPECT_EQ(WritePort("x", 1), PORT_ERR_WRITE);
    EXPECT_EQ(WritePort("", 0), PORT_ERR_WRITE);
    EXPECT_EQ(ClosePort(), PORT_OK);
}

TEST_F(SerialPort, FileThatIsNoTerminalGives2AndIsReleased) {
    k410test::ScratchDir scratch;
    ASSERT_FALSE(scratch.path().empty());
    std::string file = scratch.path() + "/not-a-port";
    std::ofstream(file) << "data";

    EXPECT_EQ(OpenPort(file.c_str()), PORT_ERR_OPEN);
    EXPECT_EQ(GetPortError(), PORT_ERR_OPEN);
    EXPECT_EQ(GetPortReason(), PORT_REASON_NOT_SERIAL);

    int fd = open(file.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << "failed open kept the lock";
    close(fd);
    EXPECT_EQ(OpenPort(line_.slave_path().c_str()), PORT_OK) << "module not left closed";
}

// --- Close ---------------------------------------------------------------------------------

TEST_F(SerialPort, CloseRestoresTheReadTimeoutsAndKeepsTheLineSettings) {
    termios before;
    ASSERT_EQ(tcgetattr(line_.held_slave(), &before), 0);
    before.c_cc[VMIN] = 3;
    before.c_cc[VTIME] = 17;
    ASSERT_EQ(tcsetattr(line_.held_slave(), TCSANOW, &before), 0);

    ASSERT_EQ(OpenPort(line_.slave_path().c_str()), PORT_OK);
    ASSERT_EQ(ClosePort(), PORT_OK);
    EXPECT_EQ(GetPortError(), PORT_OK);

    termios after;
    ASSERT_TRUE(k410test::ReadLineSettings(line_, &after));
    EXPECT_EQ(after.c_cc[VMIN], 3);
    EXPECT_EQ(after.c_cc[VTIME], 17);
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B9600));
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO), 0u) << "line settings must stay raw";
    EXPECT_EQ(after.c_oflag & OPOST, 0u);
}

TEST_F(SerialPort, CloseWithoutAnOpenPortTouchesNothing) {
    EXPECT_EQ(ClosePort(), PORT_OK);

    ASSERT_EQ(OpenPort(line_.slave_path().c_str()), PORT_OK);
    ASSERT_EQ(ClosePort(), PORT_OK);

    // A second close must not act on the old device again.
    termios settings;
    ASSERT_EQ(tcgetattr(line_.held_slave(), &settings), 0);
    settings.c_cc[VMIN] = 9;
    ASSERT_EQ(tcsetattr(line_.held_slave(), TCSANOW, &settings), 0);
    EXPECT_EQ(ClosePort(), PORT_OK);
    EXPECT_EQ(GetPortError(), PORT_OK);
    ASSERT_EQ(tcgetattr(line_.held_slave(), &settings), 0);
    EXPECT_EQ(settings.c_cc[VMIN], 9);
}

TEST_F(SerialPort, PortOpensAgainAfterClose) {
    ASSERT_EQ(OpenPort(line_.slave_path().c_str()), PORT_OK);
    ASSERT_EQ(ClosePort(), PORT_OK);
    ASSERT_EQ(OpenPort(line_.slave_path().c_str()), PORT_OK);

    k410test::LineRecorder recorder(line_.master());
    EXPECT_EQ(WritePort("again", 5), PORT_OK);
    EXPECT_TRUE(recorder.WaitForText("again", milliseconds(3000)));
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

    {
        ASSERT_EQ(OpenPort("\\\\.\\COM3"), PORT_OK);
        k410test::LineRecorder recorder(line_.master());
        EXPECT_EQ(WritePort("three", 5), PORT_OK);
        EXPECT_TRUE(recorder.WaitForText("three", milliseconds(3000)));
        ASSERT_EQ(ClosePort(), PORT_OK);
    }
    {
        ASSERT_EQ(OpenPort("\\\\.\\COM255"), PORT_OK);
        k410test::LineRecorder recorder(line255.master());
        EXPECT_EQ(WritePort("last", 4), PORT_OK);
        EXPECT_TRUE(recorder.WaitForText("last", milliseconds(3000)));
        ASSERT_EQ(ClosePort(), PORT_OK);
    }
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

    ASSERT_EQ(OpenPort("\\\\.\\COM4"), PORT_OK);
    k410test::LineRecorder recorder(line_.master());
    EXPECT_EQ(WritePort("four", 4), PORT_OK);
    EXPECT_TRUE(recorder.WaitForText("four", milliseconds(3000)));
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

// --- ReadPort ------------------------------------------------------------------------------

// Loose bounds throughout: the machine running the tests may be busy.
TEST_F(SerialPort, ReadOnAQuietLineReturnsNothingAfterTheTotalTimeout) {
    ASSERT_EQ(OpenPort(line_.slave_path().c_str()), PORT_OK);
    std::vector<char> buffer(200, 'g');

    auto start = Clock::now();
    EXPECT_EQ(ReadPort(buffer.data(), 1), 0);
    long long one_byte_ms = MillisecondsSince(start);
    EXPECT_GE(one_byte_ms, 950);  // 1000 + 10
    EXPECT_LE(one_byte_ms, 2500);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], 'g');

    start = Clock::now();
    EXPECT_EQ(ReadPort(buffer.data(), 100), 0);
    long long hundred_bytes_ms = MillisecondsSince(start);
    EXPECT_GE(hundred_bytes_ms, 1900);  // 1000 + 100 * 10
    EXPECT_LE(hundred_bytes_ms, 3800);
    EXPECT_EQ(buffer[0], '\0');
}

TEST_F(SerialPort, ReadEndsWhenTheLineFallsSilentBetweenBytes) {
    ASSERT_EQ(OpenPort(line_.slave_path().c_str()), PORT_OK);
    ASSERT_TRUE(line_.Send("abc"));
    ASSERT_TRUE(WaitForPendingInput(line_, 3));

    char buffer[51];
    auto start = Clock::now();
    ASSERT_EQ(ReadPort(buffer, 50), 3);
    long long elapsed = MillisecondsSince(start);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_GE(elapsed, 200);  // the 250 ms gap after the last byte
    EXPECT_LE(elapsed, 700) << "waited longer than the 250 ms gap (or for the total time-out)";
}

TEST_F(SerialPort, ReadKeepsGoingWhileBytesKeepComing) {
    ASSERT_EQ(OpenPort(line_.slave_path().c_str()), PORT_OK);
    // Six bytes 100 ms apart: every gap is well under 250 ms, the whole well under 1500 ms.
    std::thread analyzer([this] {
        for (char c : std::string("ABCDEF")) {
            line_.Send(std::string(1, c));
            std::this_thread::sleep_for(milliseconds(100));
        }
    });
    char buffer[51];
    auto start = Clock::now();
    int got = ReadPort(buffer, 50);
    long long elapsed = MillisecondsSince(start);
    analyzer.join();

    ASSERT_EQ(got, 6);
    EXPECT_STREQ(buffer, "ABCDEF");
    EXPECT_GE(elapsed, 600);  // last byte at about 500 ms, then the 250 ms gap
    EXPECT_LE(elapsed, 1490);
}

TEST_F(SerialPort, ReadReturnsOnceTheCountIsInAndNeverWritesPastTheBuffer) {
    ASSERT_EQ(OpenPort(line_.slave_path().c_str()), PORT_OK);
    ASSERT_TRUE(line_.Send("0123456789"));
    ASSERT_TRUE(WaitForPendingInput(line_, 10));

    std::vector<char> buffer(4 + 1 + 8, 'g');  // count, terminator, guard bytes
    auto start = Clock::now();
    ASSERT_EQ(ReadPort(buffer.data(), 4), 4);
    EXPECT_LE(MillisecondsSince(start), 200) << "should not wait once the count is in";
    EXPECT_EQ(std::string(buffer.data(), 4), "0123");
    EXPECT_EQ(buffer[4], '\0');
    EXPECT_EQ(std::string(buffer.data() + 5, 8), std::string(8, 'g'));

    std::vector<char> rest(6 + 1 + 8, 'g');
    ASSERT_EQ(ReadPort(rest.data(), 6), 6);
    EXPECT_EQ(std::string(rest.data(), 6), "456789");
    EXPECT_EQ(rest[6], '\0');
    EXPECT_EQ(std::string(rest.data() + 7, 8), std::string(8, 'g'));

    char empty[2] = {'g', 'g'};
    EXPECT_EQ(ReadPort(empty, 0), 0);
    EXPECT_EQ(empty[0], '\0');
    EXPECT_EQ(empty[1], 'g');
}

TEST_F(SerialPort, ReadOnAHungUpLineFailsAtOnce) {
    ASSERT_EQ(OpenPort(line_.slave_path().c_str()), PORT_OK);
    line_.HangUp();

    char buffer[11] = "gggggggggg";
    auto start = Clock::now();
    EXPECT_EQ(ReadPort(buffer, 10), 0);
    EXPECT_LE(MillisecondsSince(start), 900);
    EXPECT_EQ(buffer[0], 'g') << "a failed read stores no terminator";
}

// --- WritePort -----------------------------------------------------------------------------

TEST_F(SerialPort, WrittenBytesArriveInOrderAndComplete) {
    ASSERT_EQ(OpenPort(line_.slave_path().c_str()), PORT_OK);
    k410test::LineRecorder recorder(line_.master());

    std::string block;
    for (int i = 0; i < 3000; ++i) {
        block.push_back(static_cast<char>('A' + i % 26));
    }
    EXPECT_EQ(WritePort("first\r\n", 7), PORT_OK);
    EXPECT_EQ(WritePort(block.data(), static_cast<int>(block.size())), PORT_OK);
    ASSERT_TRUE(recorder.WaitForBytes(7 + block.size(), milliseconds(5000)));
    recorder.Stop();
    EXPECT_EQ(recorder.Bytes(), "first\r\n" + block);
}

TEST_F(SerialPort, WriteDiscardsWhatWasReceivedBefore) {
    ASSERT_EQ(OpenPort(line_.slave_path().c_str()), PORT_OK);

    ASSERT_TRUE(line_.Send("stale"));
    ASSERT_TRUE(WaitForPendingInput(line_, 5));
    EXPECT_EQ(WritePort("", 0), PORT_OK);
    EXPECT_EQ(PendingInput(line_), 0) << "a count of 0 must still purge the input";

    ASSERT_TRUE(line_.Send("old answer"));
    ASSERT_TRUE(WaitForPendingInput(line_, 10));
    EXPECT_EQ(WritePort("Q", 1), PORT_OK);
    EXPECT_EQ(PendingInput(line_), 0);
}

TEST_F(SerialPort, WriteToAHungUpLineFailsWithoutHanging) {
    ASSERT_EQ(OpenPort(line_.slave_path().c_str()), PORT_OK);
    line_.HangUp();

    auto start = Clock::now();
    EXPECT_EQ(WritePort("hello", 5), PORT_ERR_WRITE);
    EXPECT_LE(MillisecondsSince(start), 2000);
    EXPECT_EQ(GetPortError(), PORT_OK) << "WritePort leaves the last error alone";
    EXPECT_EQ(ClosePort(), PORT_OK);
    EXPECT_EQ(WritePort("x", 1), PORT_ERR_WRITE);
}

TEST_F(SerialPort, WriteToAStalledLineGivesUpWithinItsBound) {
    ASSERT_EQ(OpenPort(line_.slave_path().c_str()), PORT_OK);
    // The analyzer stops reading: fill the terminal's queues through the harness's own slave
    // descriptor until the kernel takes nothing more for 300 ms (it moves bytes on to the
    // master's side a little later, so one EAGAIN does not yet mean full).
    std::vector<char> filler(4096, 'f');
    size_t queued = 0;
    auto fill_deadline = Clock::now() + std::chrono::seconds(10);
    for (;;) {
        ssize_t n = write(line_.held_slave(), filler.data(), filler.size());
        if (n > 0) {
            queued += static_cast<size_t>(n);
        } else {
            ASSERT_EQ(errno, EAGAIN);
            pollfd waiter{line_.held_slave(), POLLOUT, 0};
            if (poll(&waiter, 1, 300) == 0) {
                break;
            }
        }
        ASSERT_LT(queued, 64u << 20) << "terminal never filled";
        ASSERT_LT(Clock::now(), fill_deadline);
    }

    const char line[] = "0123456789";
    auto start = Clock::now();
    EXPECT_EQ(WritePort(line, 10), PORT_ERR_WRITE);
    long long elapsed = MillisecondsSince(start);
    EXPECT_GE(elapsed, 900);  // 1000 + 10 * 2
    EXPECT_LE(elapsed, 3000);
    EXPECT_EQ(ClosePort(), PORT_OK);
}

}  // namespace
