// The contract suite's line on POSIX systems: a pseudo-terminal, the module on its slave, the
// analyzer on its master.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <vector>

#include "files.h"
#include "line_fixture.h"
#include "program.h"
#include "pty.h"

namespace k410test {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Fields a serial program has no business changing, as SpoilSettings leaves them.
constexpr cc_t kStart = 0x01;
constexpr cc_t kStop = 0x02;
constexpr cc_t kEndOfFile = 0x05;

void ExpectTimeouts(const PtyLine& line, cc_t min, cc_t time) {
    termios got;
    ASSERT_TRUE(ReadLineSettings(line, &got));
    EXPECT_EQ(got.c_cc[VMIN], min);
    EXPECT_EQ(got.c_cc[VTIME], time);
}

}  // namespace

struct AnalyzerLine::State {
    PtyLine line;
    std::string trouble;
    // Started at the first Received, so that a stalled line is not drained; the master keeps
    // what arrives until then.
    std::unique_ptr<LineRecorder> recorder;
    size_t taken = 0;  // bytes of the recorder's already returned by Received
    bool spoiled = false;
    pid_t holder = -1;  // another program holding the device
    ScratchDir scratch;

    ~State() { StopProcess(holder, SIGTERM, 5000); }

    void StopRecording() {
        if (recorder) {
            recorder->Stop();
        }
    }
};

AnalyzerLine::AnalyzerLine() : state_(new State) {
    if (!state_->line.ok()) {
        state_->trouble = "no pseudo-terminal could be made";
    } else if (state_->scratch.path().empty()) {
        state_->trouble = "no scratch folder could be made";
    }
}

AnalyzerLine::~AnalyzerLine() = default;

const std::string& AnalyzerLine::trouble() const {
    return state_->trouble;
}

const char* AnalyzerLine::path() const {
    return state_->line.slave_path().c_str();
}

bool AnalyzerLine::Send(const std::string& bytes) {
    return state_->line.Send(bytes);
}

std::string AnalyzerLine::Received(size_t count, milliseconds limit) {
    if (!state_->recorder) {
        state_->recorder.reset(new LineRecorder(state_->line.master()));
    }
    state_->recorder->WaitForBytes(state_->taken + count, limit);
    std::string bytes = state_->recorder->Bytes().substr(state_->taken);
    state_->taken += bytes.size();
    return bytes;
}

// Seen through the held slave, which shares the program's input queue.
int AnalyzerLine::Queued() const {
    int pending = -1;
    ioctl(state_->line.held_slave(), FIONREAD, &pending);
    return pending;
}

// The kernel moves bytes from the master to the slave's queue a little later than the
// master's write returns.
bool AnalyzerLine::WaitUntilQueued(int count) const {
    return WaitUntil([&] { return Queued() >= count; }, 3000);
}

// A pseudo-terminal drops PARENB and forces CS8 and CREAD by itself, so only the other fields
// really start wrong.
void AnalyzerLine::SpoilSettings() {
    termios hostile;
    ASSERT_EQ(tcgetattr(state_->line.held_slave(), &hostile), 0);
    cfsetispeed(&hostile, B1200);
    cfsetospeed(&hostile, B2400);
    hostile.c_cflag |= CSTOPB | CRTSCTS | PARENB | PARODD;
    hostile.c_cflag &= ~(CLOCAL | CREAD);
    hostile.c_iflag |= IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT | PARMRK;
    hostile.c_oflag |= OPOST | ONLCR;
    hostile.c_lflag |= ICANON | ECHO | ECHONL | ISIG | IEXTEN;
    hostile.c_cc[VSTART] = kStart;
    hostile.c_cc[VSTOP] = kStop;
    hostile.c_cc[VEOF] = kEndOfFile;
    ASSERT_EQ(tcsetattr(state_->line.held_slave(), TCSANOW, &hostile), 0);
    state_->spoiled = true;
}

void AnalyzerLine::ExpectAnalyzerSettings() {
    termios got;
    ASSERT_TRUE(ReadLineSettings(state_->line, &got));
    EXPECT_EQ(cfgetispeed(&got), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetospeed(&got), static_cast<speed_t>(B9600));
    EXPECT_EQ(got.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(got.c_cflag & (PARENB | PARODD | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(got.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(got.c_iflag & (IXON | IXOFF | IXANY), 0u) << "software flow control left on";
    EXPECT_EQ(got.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | BRKINT | PARMRK | IGNBRK), 0u);
    EXPECT_EQ(got.c_oflag & OPOST, 0u);
    EXPECT_EQ(got.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
    if (state_->spoiled) {
        EXPECT_EQ(got.c_cc[VSTART], kStart);
        EXPECT_EQ(got.c_cc[VSTOP], kStop);
        EXPECT_EQ(got.c_cc[VEOF], kEndOfFile);
    }
}

void AnalyzerLine::LeaveTimeoutsBehind() {
    ASSERT_TRUE(SetDistinctiveTimeouts(state_->line));
}

// Reads wait in the module, never in the driver.
void AnalyzerLine::ExpectAnalyzerTimeouts() {
    ExpectTimeouts(state_->line, 0, 0);
}

void AnalyzerLine::ExpectTimeoutsLeftBehind() {
    ExpectTimeouts(state_->line, 7, 3);
}

// A mark in the settings that any close acting on the device would undo.
void AnalyzerLine::WatchForTouches() {
    termios settings;
    ASSERT_EQ(tcgetattr(state_->line.held_slave(), &settings), 0);
    settings.c_cc[VMIN] = 9;
    ASSERT_EQ(tcsetattr(state_->line.held_slave(), TCSANOW, &settings), 0);
}

bool AnalyzerLine::TouchedSinceWatching() {
    termios settings;
    return tcgetattr(state_->line.held_slave(), &settings) != 0 || settings.c_cc[VMIN] != 9;
}

// With flock(), the way a second serial tool would, for 30 s at most; it holds the device once
// this process cannot lock it.
void AnalyzerLine::HoldElsewhere() {
    state_->holder = StartProcess(
        {"/bin/sh", "-c", "exec 9<>\"$0\" && flock --nonblock 9 && exec sleep 30", path()},
        state_->scratch.path() + "/holder.out");
    WaitUntil([&] { return !DeviceReleased(path()); }, 5000);
    ASSERT_FALSE(DeviceReleased(path())) << ReadFile(state_->scratch.path() + "/holder.out");
}

void AnalyzerLine::ReleaseHold() {
    StopProcess(state_->holder, SIGTERM, 5000);
    state_->holder = -1;
}

const char* AnalyzerLine::WhyHoldingCannotBeShown() const {
    return nullptr;
}

std::string AnalyzerLine::MissingDevice() const {
    return "/nonexistent/k410/ttyX";
}

// A plain file: the module always gets as far as opening it.
std::string AnalyzerLine::NotASerialPort() {
    const std::string file = state_->scratch.path() + "/not-a-port";
    std::ofstream(file) << "data";
    return file;
}

bool AnalyzerLine::ModuleReachedTheDevice() const {
    return true;
}

// The module locks what it opens; the lock goes with the device.
bool AnalyzerLine::DeviceReleased(const std::string& device) const {
    int fd = open(device.c_str(), O_RDWR);
    if (fd < 0) {
        return false;
    }
    const bool unlocked = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return unlocked;
}

const char* AnalyzerLine::PathThatHangsUp() const {
    return path();
}

// The kernel hangs up the module's slave at once: its writes fail with EIO, its reads see end
// of file.
void AnalyzerLine::HangUp() {
    state_->StopRecording();
    state_->line.HangUp();
}

// Fills the terminal's queues through the harness's own slave descriptor until the kernel takes
// nothing more for 300 ms (it moves bytes on to the master's side a little later, so one EAGAIN
// does not yet mean full).
void AnalyzerLine::Stall() {
    state_->StopRecording();
    std::vector<char> filler(4096, 'f');
    size_t queued = 0;
    auto fill_deadline = Clock::now() + std::chrono::seconds(10);
    for (;;) {
        ssize_t n = write(state_->line.held_slave(), filler.data(), filler.size());
        if (n > 0) {
            queued += static_cast<size_t>(n);
        } else {
            ASSERT_EQ(errno, EAGAIN);
            pollfd waiter{state_->line.held_slave(), POLLOUT, 0};
            if (poll(&waiter, 1, 300) == 0) {
                break;
            }
        }
        ASSERT_LT(queued, 64u << 20) << "terminal never filled";
        ASSERT_LT(Clock::now(), fill_deadline);
    }
}

}  // namespace k410test
