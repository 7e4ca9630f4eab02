// The serial port module on POSIX systems, written with termios.
//
// The descriptor stays non-blocking for its whole life: every read and every write waits in
// poll() with a deadline. A device that stops taking bytes (an unplugged adapter, a line held
// by flow control in the hardware) can then never hang the program inside write(); the worst
// it costs is the write's time bound.
#include "port.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "com_names.h"
#include "com_names_posix.h"

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

// Once the driver's queue is empty, the last bytes may still sit in the UART: a 64-byte FIFO
// (the deepest of the usual 16550-type parts) plus the shift register hold 65 characters,
// 68 ms at 9600 baud. Where the driver reports the transmitter's state, it is waited for no
// longer than that: some drivers (ftdi_sio) answer the question but never report empty, and a
// byte handed to the hardware goes out whether or not anyone waits for it.
constexpr long kTransmitterDrainMs = 70;

// Everything the module knows about its one port. It lives for the whole process because the
// port is opened and closed by different stages of a run, which pass nothing between them.
struct PortState {
    // The open device; -1 when no port is open. AbandonPort reads it from a signal handler, so
    // it is set only once the saved time-outs are in place and cleared before the device is
    // let go (with a signal fence, so that the compiler keeps that order).
    int fd = -1;
    // Result of the last OpenPort or ClosePort, for GetPortError.
    int last_error = PORT_OK;
    // Why the last OpenPort or failed WritePort failed, for GetPortReason, and the errno behind
    // it (0: none).
    int last_reason = PORT_REASON_NONE;
    int system_error = 0;
    // When the last write handed its bytes to the driver, for GetLastWriteStart.
    Clock::time_point write_start;
    // The device's own read time-outs as OpenPort found them; ClosePort puts them back so
    // that whatever uses the device after this program sees it as it was.
    cc_t saved_vmin = 0;
    cc_t saved_vtime = 0;
};

PortState port_state;

// Hands `fd` (or -1) to whatever reads the port's state, a signal handler included.
void PublishDevice(int fd) {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    port_state.fd = fd;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

// Signals are held back while the device's locks and the module's record of the device change
// together: an interruption in between would find the device exclusive but not the module's to
// put back, and leave it so. Returns the mask to put back with LetSignalsThrough.
sigset_t HoldSignals() {
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &before);
    return before;
}

void LetSignalsThrough(const sigset_t& before) {
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

// True when `fd` is the technician's own console: the terminal of standard input, output or
// error, or the controlling terminal. Taken for the analyzer's line it would be left raw and
// exclusive, and the data file would go to the screen. Character devices are told apart by
// their device number, whatever node or link reached them; a terminal tells its session only
// to the processes it controls.
bool IsConsole(int fd) {
    struct stat device;
    if (fstat(fd, &device) != 0 || !S_ISCHR(device.st_mode)) {
        return false;
    }
    for (int console = STDIN_FILENO; console <= STDERR_FILENO; ++console) {
        struct stat info;
        if (fstat(console, &info) == 0 && S_ISCHR(info.st_mode) && info.st_rdev == device.st_rdev) {
            return true;
        }
    }
    return tcgetsid(fd) != -1;
}

// Puts back the read time-outs OpenPort found. Async-signal-safe, for AbandonPort.
void PutBackTimeouts(int fd) {
    termios settings;
    if (tcgetattr(fd, &settings) == 0) {
        settings.c_cc[VMIN] = port_state.saved_vmin;
        settings.c_cc[VTIME] = port_state.saved_vtime;
        tcsetattr(fd, TCSANOW, &settings);
    }
}

// Lets go of a device that was opened (and possibly locked and made exclusive) by OpenPort,
// for the failure paths of OpenPort, ClosePort and AbandonPort. Async-signal-safe. Returns
// close()'s result.
int ReleaseDevice(int fd) {
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
    return close(fd);
}

// The flags the analyzer's line configuration decides, cleared or set below; every other flag
// stays as the device had it.
//
// Raw input: no byte is translated, stripped, dropped or turned into a signal, and neither
// XON/XOFF nor a break (which would flush the input) interferes.
constexpr tcflag_t kInputFlagsCleared = IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | INPCK
#ifdef IUCLC
                                        | IUCLC
#endif
    ;
// Output goes out exactly as given: no newline or tab expansion.
constexpr tcflag_t kOutputFlagsCleared = OPOST;
// No line editing, echo or signal characters.
constexpr tcflag_t kLocalFlagsCleared = ICANON | ECHO | ECHONL | ISIG | IEXTEN;
// 8N1, no hardware handshake...
constexpr tcflag_t kControlFlagsCleared = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS
#ifdef CMSPAR
                                          | CMSPAR
#endif
    ;
// ...modem status lines ignored, receiver on.
constexpr tcflag_t kControlFlagsSet = CS8 | CLOCAL | CREAD;

// Puts the analyzer's line configuration into `settings`, leaving every other field as the
// device had it.
void ApplyLineSettings(termios* settings) {
    settings->c_iflag &= ~kInputFlagsCleared;
    settings->c_oflag &= ~kOutputFlagsCleared;
    settings->c_lflag &= ~kLocalFlagsCleared;
    settings->c_cflag &= ~kControlFlagsCleared;
    settings->c_cflag |= kControlFlagsSet;
    cfsetispeed(settings, B9600);
    cfsetospeed(settings, B9600);
    // Reads wait in poll(), never in the driver: a read returns at once with what is queued.
    settings->c_cc[VMIN] = 0;
    settings->c_cc[VTIME] = 0;
}

// True when the device reports every field that ApplyLineSettings sets as it was asked.
// Drivers may silently refuse a setting (a speed the hardware lacks), which tcsetattr does not
// report as long as any part of the request was taken.
bool LineSettingsTaken(const termios& asked, const termios& got) {
    const tcflag_t control_mask = kControlFlagsCleared | kControlFlagsSet;
    return (asked.c_iflag & kInputFlagsCleared) == (got.c_iflag & kInputFlagsCleared) &&
           (asked.c_oflag & kOutputFlagsCleared) == (got.c_oflag & kOutputFlagsCleared) &&
           (asked.c_cflag & control_mask) == (got.c_cflag & control_mask) &&
           (asked.c_lflag & kLocalFlagsCleared) == (got.c_lflag & kLocalFlagsCleared) &&
           cfgetispeed(&got) == cfgetispeed(&asked) && cfgetospeed(&got) == cfgetospeed(&asked) &&
           got.c_cc[VMIN] == asked.c_cc[VMIN] && got.c_cc[VTIME] == asked.c_cc[VTIME];
}

// Milliseconds until `deadline`, rounded up so that poll() does not wake just before it and
// spin; 0 once it has passed.
int MillisecondsUntil(Clock::time_point deadline) {
    auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    auto ms = std::chrono::ceil<Milliseconds>(left).count();
    return ms > 60000 ? 60000 : static_cast<int>(ms);
}

// Throws away whatever the device received and nobody has read yet.
void DiscardInput(int fd) {
    tcflush(fd, TCIFLUSH);
}

// Why a write failed with `error` (0: its bound): a device that has gone (an adapter unplugged
// gives ENXIO or ENODEV, a terminal that hung up EIO), or a line that stopped taking bytes.
int ReasonForWriteError(int error) {
    return error == ENXIO || error == EIO || error == ENODEV ? PORT_REASON_GONE
                                                             : PORT_REASON_STALLED;
}

// Ends a failed write with the errno behind it (0: the write's bound).
bool WriteFailed(int error) {
    port_state.last_reason = ReasonForWriteError(error);
    port_state.system_error = error;
    return false;
}

// Sends all `count` bytes, waiting for room in the driver's queue as needed. False on a
// device error or when the deadline passes first.
bool SendAll(int fd, const char* bytes, int count, Clock::time_point deadline) {
    int sent = 0;
    while (sent < count) {
        ssize_t n = write(fd, bytes + sent, static_cast<size_t>(count - sent));
        if (n > 0) {
            // Stamped once write() is back, not before it: a thread pre-empted on its way into
            // the call would otherwise start the pause's count before the driver had a byte.
            // The call only copies into the driver's queue, so it returns at once.
            if (sent == 0) {
                port_state.write_start = Clock::now();
            }
            sent += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return WriteFailed(errno);
        }
        // The queue is full: wait for room.
        int wait_ms = MillisecondsUntil(deadline);
        if (wait_ms == 0) {
            return WriteFailed(0);
        }
        pollfd waiter{fd, POLLOUT, 0};
        int ready = poll(&waiter, 1, wait_ms);
        if (ready < 0 && errno != EINTR) {
            return WriteFailed(errno);
        }
        if (ready > 0 && (waiter.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            // A terminal that hung up: the device has gone, with no errno to tell.
            port_state.last_reason = PORT_REASON_GONE;
            port_state.system_error = 0;
            return false;
        }
    }
    return true;
}

// True when the transmitter itself has nothing left to send, where the driver can tell
// (the UART's shift register and FIFO lie beyond the output queue). Drivers that cannot tell
// count as empty.
bool TransmitterEmpty(int fd) {
#if defined(TIOCSERGETLSR) && defined(TIOCSER_TEMT)
    unsigned int line_status = 0;
    if (ioctl(fd, TIOCSERGETLSR, &line_status) == 0) {
        return (line_status & TIOCSER_TEMT) != 0;
    }
#else
    (void)fd;
#endif
    return true;
}

// Gives the transmitter the time its FIFO needs to empty (see kTransmitterDrainMs), never
// past `deadline`. Whatever it reports, the bytes are on their way: this never fails a write.
void LetTransmitterEmpty(int fd, Clock::time_point deadline) {
    Clock::time_point until = Clock::now() + Milliseconds(kTransmitterDrainMs);
    if (deadline < until) {
        until = deadline;
    }
    while (!TransmitterEmpty(fd) && Clock::now() < until) {
        std::this_thread::sleep_for(Milliseconds(2));
    }
}

// Waits until the bytes written have left the driver's output queue; an empty queue means
// sent (a pseudo-terminal always reports one). tcdrain() would wait without any bound on a
// stalled line, so the queue is polled instead. False when the deadline passes first or the
// device fails.
bool WaitUntilSent(int fd, Clock::time_point deadline) {
    for (;;) {
        int queued = 0;
        if (ioctl(fd, TIOCOUTQ, &queued) != 0) {
            return WriteFailed(errno);
        }
        if (queued == 0) {
            LetTransmitterEmpty(fd, deadline);
            return true;
        }
        int wait_ms = MillisecondsUntil(deadline);
        if (wait_ms == 0) {
            return WriteFailed(0);
        }
        // About one millisecond per queued byte at 9600 baud; look again no later than that,
        // and at least every 20 ms so a fast driver is not waited on for long.
        int nap_ms = queued < 1 ? 1 : (queued > 20 ? 20 : queued);
        if (nap_ms > wait_ms) {
            nap_ms = wait_ms;
        }
        std::this_thread::sleep_for(Milliseconds(nap_ms));
    }
}

// Why open() of a device failed, by its errno.
int ReasonForOpenError(int error) {
    switch (error) {
        case EBUSY:
            // Another program has the terminal in exclusive mode.
            return PORT_REASON_IN_USE;
        case EACCES:
        case EPERM:
            return PORT_REASON_DENIED;
        case EISDIR:
            return PORT_REASON_NOT_SERIAL;
        default:
            // ENOENT, ENXIO, ENODEV, and EIO from a /dev/ttyS* node with no UART behind it.
            return PORT_REASON_ABSENT;
    }
}

// Ends a failed open with `code`, `error` being the errno behind it (0: none). `fd`, when open,
// is released; when OpenPort had already written the line settings, `found` puts the device's
// own back first, so that a failed open leaves the device as it was.
int FailOpen(int code, int error, int fd = -1, const termios* found = nullptr) {
    port_state.system_error = error;
    const sigset_t signals = HoldSignals();
    PublishDevice(-1);
    if (found != nullptr) {
        tcsetattr(fd, TCSANOW, found);
    }
    if (fd >= 0) {
        ReleaseDevice(fd);
    }
    LetSignalsThrough(signals);
    port_state.last_error = code;
    // A failure with no reason of its own is told by its code.
    if (port_state.last_reason == PORT_REASON_NONE) {
        port_state.last_reason =
            code == PORT_ERR_SETSTATE ? PORT_REASON_REFUSED : PORT_REASON_NOT_SERIAL;
    }
    return code;
}

}  // namespace

int OpenPort(const char* device_path) {
    if (port_state.fd >= 0) {
        // One port at a time: the one still open is released first rather than leaked, which
        // would keep the device held against the loader and every later run.
        ClosePort();
    }
    port_state.last_reason = PORT_REASON_NONE;
    port_state.system_error = 0;
    if (device_path == nullptr) {
        port_state.last_reason = PORT_REASON_ABSENT;
        return FailOpen(PORT_ERR_OPEN, 0);
    }
    const int com_number = ComPathNumber(device_path);
    const std::string path = com_number != 0 ? ComDevicePath(com_number) : device_path;

    // O_NONBLOCK also keeps open() from waiting for a carrier on a modem line. O_CLOEXEC keeps
    // a program started by this one (the loader) from inheriting the device.
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        port_state.last_reason = ReasonForOpenError(errno);
        return FailOpen(PORT_ERR_OPEN, errno);
    }
    // Refused before anything about it changes, not even its locks.
    if (IsConsole(fd)) {
        port_state.last_reason = PORT_REASON_NOT_SERIAL;
        close(fd);
        return FailOpen(PORT_ERR_OPEN, 0);
    }
    // Two locks, because neither covers every other program: flock() binds everyone who
    // asks for it, root included; TIOCEXCL refuses even programs that do not ask, but root
    // passes it.
    const sigset_t signals = HoldSignals();
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        LetSignalsThrough(signals);
        port_state.last_reason = PORT_REASON_IN_USE;
        close(fd);
        return FailOpen(PORT_ERR_OPEN, error);
    }
    termios settings;
    if (ioctl(fd, TIOCEXCL) != 0 || tcgetattr(fd, &settings) != 0) {
        const int code = FailOpen(PORT_ERR_OPEN, errno, fd);
        LetSignalsThrough(signals);
        return code;
    }
    const termios found = settings;
    // From here an interruption puts the device back (AbandonPort).
    port_state.saved_vmin = found.c_cc[VMIN];
    port_state.saved_vtime = found.c_cc[VTIME];
    PublishDevice(fd);
    LetSignalsThrough(signals);

    ApplyLineSettings(&settings);
    termios taken;
    if (tcsetattr(fd, TCSANOW, &settings) != 0 || tcgetattr(fd, &taken) != 0) {
        return FailOpen(PORT_ERR_SETSTATE, errno, fd, &found);
    }
    if (!LineSettingsTaken(settings, taken)) {
        // A driver may have taken part of the request.
        return FailOpen(PORT_ERR_SETSTATE, 0, fd, &found);
    }
    // The analyzer's interface is powered from DTR/RTS on some cables. A pseudo-terminal or
    // an adapter without modem lines cannot raise them and needs not.
    int lines = TIOCM_DTR | TIOCM_RTS;
    if (ioctl(fd, TIOCMBIS, &lines) != 0 && errno != ENOTTY && errno != EINVAL) {
        return FailOpen(PORT_ERR_SETSTATE, errno, fd, &found);
    }
    // Nothing from before this program belongs to its conversation.
    tcflush(fd, TCOFLUSH);
    tcflush(fd, TCIFLUSH);

    port_state.last_error = PORT_OK;
    return PORT_OK;
}

int ClosePort() {
    if (port_state.fd < 0) {
        port_state.last_error = PORT_OK;
        return PORT_OK;
    }
    int fd = port_state.fd;

    // Every write has waited for its bytes to leave the driver's queue, so whatever the queue
    // still holds is what a failed write left on a line that would not take it. The driver's
    // own close would wait for that for its closing_wait, 30 s or (set so) for ever: it goes.
    // Nothing else is purged: a queue the driver cannot see into (a pseudo-terminal's, whose
    // reader may be slow) holds bytes that WritePort reported as sent.
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0) {
        tcflush(fd, TCOFLUSH);
    }
    DiscardInput(fd);
    // Only the read time-outs go back; the line settings stay as this program left them.
    PutBackTimeouts(fd);
    const sigset_t signals = HoldSignals();
    PublishDevice(-1);
    port_state.last_error = ReleaseDevice(fd) == 0 ? PORT_OK : PORT_ERR_CLOSE;
    LetSignalsThrough(signals);
    return port_state.last_error;
}

int WritePort(const char* bytes, int count) {
    int fd = port_state.fd;
    if (fd < 0 || count < 0 || (count > 0 && bytes == nullptr)) {
        return PORT_ERR_WRITE;
    }
    // An answer to an earlier command must not be taken for the answer to this one.
    DiscardInput(fd);
    if (count == 0) {
        return PORT_OK;
    }
    auto deadline = Clock::now() + Milliseconds(kWriteTotalConstantMs) +
                    Milliseconds(kWriteTotalPerByteMs) * static_cast<long long>(count);
    if (!SendAll(fd, bytes, count, deadline) || !WaitUntilSent(fd, deadline)) {
        return PORT_ERR_WRITE;
    }
    return PORT_OK;
}

int ReadPort(char* buffer, int count) {
    int fd = port_state.fd;
    if (fd < 0 || buffer == nullptr || count < 0) {
        return 0;
    }
    auto start = Clock::now();
    auto total_deadline = start + Milliseconds(kReadTotalConstantMs) +
                          Milliseconds(kReadTotalPerByteMs) * static_cast<long long>(count);
    int got = 0;
    Clock::time_point last_byte_at;
    while (got < count) {
        // The gap between two bytes is timed only once the first byte has come.
        Clock::time_point deadline = total_deadline;
        if (got > 0 && last_byte_at + Milliseconds(kReadIntervalMs) < deadline) {
            deadline = last_byte_at + Milliseconds(kReadIntervalMs);
        }
        int wait_ms = MillisecondsUntil(deadline);
        if (wait_ms == 0) {
            break;
        }
        pollfd waiter{fd, POLLIN, 0};
        int ready = poll(&waiter, 1, wait_ms);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return 0;
        }
        if (ready == 0) {
            continue;  // the deadline is checked at the top
        }
        ssize_t n = read(fd, buffer + got, static_cast<size_t>(count - got));
        if (n > 0) {
            got += static_cast<int>(n);
            last_byte_at = Clock::now();
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) &&
            (waiter.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0) {
            continue;
        }
        // End of file or an error: the device is gone (a hang-up reads as end of file).
        return 0;
    }
    buffer[got] = '\0';
    return got;
}

int GetPortError() {
    return port_state.last_error;
}

int GetPortReason() {
    return port_state.last_reason;
}

std::string GetPortSystemMessage() {
    return port_state.system_error != 0 ? std::strerror(port_state.system_error) : "";
}

std::chrono::steady_clock::time_point GetLastWriteStart() {
    return port_state.write_start;
}

void AbandonPort() {
    int fd = port_state.fd;
    if (fd < 0) {
        return;
    }
    PublishDevice(-1);
    PutBackTimeouts(fd);
    ReleaseDevice(fd);
}
