#include "pty.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "program.h"
#include "watched_line.h"

namespace k410test {

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsUntil(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

}  // namespace

bool OpenPtyPair(int* master, int* slave, std::string* slave_path, int status_flags) {
    int ends[2];
    char name[128];  // a /dev/pts path
    if (openpty(&ends[0], &ends[1], name, nullptr, nullptr) != 0) {
        return false;
    }
    for (int fd : ends) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | status_flags);
    }
    *master = ends[0];
    *slave = ends[1];
    *slave_path = name;
    return true;
}

PtyLine::PtyLine() {
    OpenPtyPair(&master_, &held_slave_, &slave_path_, O_NONBLOCK);
}

PtyLine::~PtyLine() {
    HangUp();
}

bool PtyLine::Send(const std::string& bytes, std::chrono::milliseconds timeout) {
    if (master_ < 0) {
        return false;
    }
    auto deadline = Clock::now() + timeout;
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = write(master_, bytes.data() + sent, bytes.size() - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        int wait_ms = MillisecondsUntil(deadline);
        if (wait_ms == 0) {
            return false;
        }
        pollfd waiter{master_, POLLOUT, 0};
        poll(&waiter, 1, wait_ms);
    }
    return true;
}

void PtyLine::HangUp() {
    if (held_slave_ >= 0) {
        close(held_slave_);
        held_slave_ = -1;
    }
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
}

namespace {

// Runs `use` on a descriptor of the line's slave: the held one, else one opened for a moment.
template <typename Use>
bool WithSlave(const PtyLine& line, Use use) {
    if (line.held_slave() >= 0) {
        return use(line.held_slave());
    }
    int fd = open(line.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool ok = use(fd);
    close(fd);
    return ok;
}

}  // namespace

bool ReadLineSettings(const PtyLine& line, termios* settings) {
    return WithSlave(line, [&](int fd) { return tcgetattr(fd, settings) == 0; });
}

bool SetDistinctiveTimeouts(const PtyLine& line) {
    return WithSlave(line, [](int fd) {
        termios settings;
        if (tcgetattr(fd, &settings) != 0) {
            return false;
        }
        settings.c_cc[VMIN] = 7;
        settings.c_cc[VTIME] = 3;
        return tcsetattr(fd, TCSANOW, &settings) == 0;
    });
}

bool LineExclusive(const PtyLine& line) {
    int exclusive = 0;
    if (!WithSlave(line, [&](int fd) { return ioctl(fd, TIOCGEXCL, &exclusive) == 0; })) {
        return errno == EBUSY;  // only the exclusive user (or root) may open it now
    }
    return exclusive != 0;
}

bool PublishComPort(const std::string& prefix, int number, const std::string& device) {
    std::string error;
    return PublishComLink(prefix, number, device, &error) == 0;
}

bool RegisterComPortWithWine(const std::string& prefix, int number, bool registered) {
    const char* program = getenv("K410_PROGRAM");
    std::string wine = program != nullptr ? program : "";
    wine = wine.substr(0, wine.find(' '));
    if (wine.empty()) {
        return false;
    }
    Command command;
    command.argv = {wine,
                    "reg",
                    registered ? "add" : "delete",
                    "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM",
                    "/v",
                    "\\Device\\k410test" + std::to_string(number),
                    "/f"};
    if (registered) {
        command.argv.insert(command.argv.end(),
                            {"/t", "REG_SZ", "/d", "COM" + std::to_string(number)});
    }
    command.environment = {{"WINEPREFIX", prefix}};
    return RunProcess(command).status == 0;
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    if (old != nullptr) {
        had_value_ = true;
        old_value_ = old;
    }
    if (value != nullptr) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
}

ScopedEnv::~ScopedEnv() {
    if (had_value_) {
        setenv(name_.c_str(), old_value_.c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

LineRecorder::LineRecorder(int fd) : fd_(fd) {
    thread_ = std::thread([this] { Run(); });
}

LineRecorder::~LineRecorder() {
    Stop();
}

void LineRecorder::Stop() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::string LineRecorder::Bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
}

std::vector<LineRecorder::Chunk> LineRecorder::Timeline() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return chunks_;
}

bool LineRecorder::WaitForBytes(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] { return bytes_.size() >= count; });
}

bool LineRecorder::WaitForText(const std::string& text, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] { return bytes_.find(text) != std::string::npos; });
}

void LineRecorder::Run() {
    char chunk[4096];
    while (!stop_) {
        pollfd waiter{fd_, POLLIN, 0};
        int ready = poll(&waiter, 1, 50);
        if (ready == 0 || (ready < 0 && errno == EINTR)) {
            continue;
        }
        ssize_t n = ready > 0 ? read(fd_, chunk, sizeof chunk) : -1;
        if (n > 0) {
            Chunk arrival{Clock::now(), std::string(chunk, static_cast<size_t>(n))};
            std::lock_guard<std::mutex> lock(mutex_);
            bytes_ += arrival.bytes;
            chunks_.push_back(std::move(arrival));
            arrived_.notify_all();
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR) &&
            (waiter.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0) {
            continue;
        }
        // No slave open (EIO, POLLHUP) or the descriptor is gone: nothing to read until the
        // program opens its end again. Look back later instead of spinning.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace k410test
