// The serial port on Windows, through the communications functions of KERNEL32.
//
// Every call whose failure means the line cannot be used as the analyzer expects ends the open
// and releases the device again, so a failed open never leaves the port held against the
// loader or another program. Calls that only tidy up (the event mask, the purges, clearing the
// error state) are made for their side effect and their results ignored: the line works
// whether they succeed or not.
//
// Every operation holds the module's lock while it uses the handle, so that AbandonPort, which
// comes from the console's control handler on a thread of its own, never releases the device
// in the middle of another call.
#include "port_win32.h"

#include <windows.h>

namespace {

// Recommended driver queue sizes. The analyzer's lines are short and paced, so a small queue
// in each direction is plenty.
constexpr DWORD kInQueueBytes = 512;
constexpr DWORD kOutQueueBytes = 512;

// The events the driver watches. Nothing here waits on them; the mask is set so the driver
// starts from a known state rather than from whatever the last program on the port left.
constexpr DWORD kEventMask = EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY | EV_ERR;  // 0x87

// Throwing away output not yet sent, and input not yet read.
constexpr DWORD kPurgeTransmit = PURGE_TXABORT | PURGE_TXCLEAR;  // 5
constexpr DWORD kPurgeReceive = PURGE_RXABORT | PURGE_RXCLEAR;   // 10

struct PortState {
    HANDLE handle;                // the open device; nullptr while no port is open
    int last_error;               // result of the last OpenPort or ClosePort
    int last_reason;              // why the last OpenPort failed, for GetPortReason
    COMMTIMEOUTS saved_timeouts;  // the device's own time-outs, put back at close
    DCB line_state;               // the device's line settings, read and then rewritten
    COMSTAT comm_status;          // filled by ClearCommError; kept only because the call wants it
};

PortState port_state = {nullptr, PORT_OK, PORT_REASON_NONE, {}, {}, {}};

SRWLOCK port_lock = SRWLOCK_INIT;

// Holds the module's lock for the life of the object.
class PortLock {
  public:
    PortLock() { AcquireSRWLockExclusive(&port_lock); }
    ~PortLock() { ReleaseSRWLockExclusive(&port_lock); }
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;
};

// The bound on one write, in milliseconds: at 9600 baud a byte takes about 1 ms on the wire,
// so 2 ms a byte and a second to spare only run out on a line that has stopped taking data.
constexpr DWORD kWriteTotalConstantMs = 1000;
constexpr DWORD kWriteTotalPerByteMs = 2;

// The read time-outs the analyzer's protocol was written against, in milliseconds: a read ends
// when 250 ms pass between two bytes, or 1000 ms + 10 ms per requested byte pass in all: long
// enough for the analyzer at 9600 baud (about 1 ms a byte), short enough that a silent line is
// noticed quickly.
constexpr DWORD kReadIntervalMs = 250;
constexpr DWORD kReadTotalConstantMs = 1000;
constexpr DWORD kReadTotalPerByteMs = 10;

// The analyzer's time-outs. Writes get the same bound as WritePort's wait for the queue to
// empty: with handshaking off a UART always drains, but a USB adapter pulled mid-write or a
// driver that stopped does not, and the download must not hang on it.
COMMTIMEOUTS AnalyzerTimeouts() {
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = kReadIntervalMs;
    timeouts.ReadTotalTimeoutMultiplier = kReadTotalPerByteMs;
    timeouts.ReadTotalTimeoutConstant = kReadTotalConstantMs;
    timeouts.WriteTotalTimeoutMultiplier = kWriteTotalPerByteMs;
    timeouts.WriteTotalTimeoutConstant = kWriteTotalConstantMs;
    return timeouts;
}

// The flow-control thresholds, in bytes of the input queue: what Windows itself sets for a queue
// of kInQueueBytes (a half and an eighth). With the handshake off nothing acts on them, but a
// driver checks them against its queue, and values left by another program for a larger queue
// (25000 and more, from some CDC drivers) make SetCommState fail or hang.
constexpr WORD kXonLimitBytes = kInQueueBytes / 2;
constexpr WORD kXoffLimitBytes = kInQueueBytes / 8;

// 9600 baud, 8 data bits, no parity, one stop bit, no handshaking of any kind, DTR and RTS
// raised so the analyzer sees a PC on the line. Every field is set, none kept from the device:
// Windows keeps the DCB from one open to the next, so whatever the last program on the port
// left would otherwise be ours. A line error must not cancel reads and writes (fAbortOnError,
// which MSYS2 and Cygwin programs set), and the driver refuses XON equal to XOFF outright.
void SetAnalyzerLine(DCB* dcb) {
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = CBR_9600;
    dcb->fBinary = 1;  // Windows supports nothing else
    dcb->fParity = 1;  // parity checking on; with NOPARITY it has nothing to flag
    dcb->fOutxCtsFlow = 0;
    dcb->fOutxDsrFlow = 0;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fDsrSensitivity = 0;
    dcb->fTXContinueOnXoff = 1;
    dcb->fOutX = 0;
    dcb->fInX = 0;
    dcb->fErrorChar = 0;  // bytes with errors are passed through unchanged
    dcb->fNull = 0;       // zero bytes are data for the analyzer
    dcb->fRtsControl = RTS_CONTROL_ENABLE;
    dcb->fAbortOnError = 0;
    dcb->fDummy2 = 0;
    dcb->wReserved = 0;
    dcb->XonLim = kXonLimitBytes;
    dcb->XoffLim = kXoffLimitBytes;
    dcb->ByteSize = 8;
    dcb->Parity = NOPARITY;
    dcb->StopBits = ONESTOPBIT;
    dcb->XonChar = 0x11;   // DC1, as everywhere
    dcb->XoffChar = 0x13;  // DC3
    dcb->ErrorChar = '\xFF';
    dcb->EofChar = 0;  // binary mode: no byte ends the input
    dcb->EvtChar = 0;  // nothing waits on a byte
}

// Waits, polling the driver's output queue, until the driver reports the bytes written sent (its
// queue is empty; a USB adapter may still hold them) or `deadline` (GetTickCount64) has passed.
// Returns false on the deadline, or when the driver can no longer say (a vanished device). A line
// error found meanwhile is cleared by the same call.
bool WaitUntilSent(HANDLE handle, ULONGLONG deadline) {
    for (;;) {
        DWORD error_flags = 0;
        if (!ClearCommError(handle, &error_flags, &port_state.comm_status)) {
            return false;
        }
        const DWORD queued = port_state.comm_status.cbOutQue;
        if (queued == 0) {
            return true;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            return false;
        }
        // About 1 ms a byte at 9600 baud: sleep about as long as the queue needs, at least a
        // tick, never past the deadline.
        const ULONGLONG left = deadline - now;
        Sleep(static_cast<DWORD>(queued < left ? queued : left));
    }
}

// Gives the writes still to come the time left until `deadline`, so that a write resumed after
// a line error cannot outlast the bound of the write it continues. The read time-outs stay.
bool BoundWritesBy(HANDLE handle, ULONGLONG deadline) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) {
        return false;
    }
    COMMTIMEOUTS timeouts = AnalyzerTimeouts();
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(deadline - now);
    return SetCommTimeouts(handle, &timeouts) != 0;
}

// Hands the driver all `count` bytes by `deadline`. A line error (a framing error or a break
// from the analyzer) can still cancel the write in progress with ERROR_OPERATION_ABORTED after
// some of the bytes went out, on a driver that does so whatever fAbortOnError says: the error
// is cleared and the rest follows, so that each byte is sent once and in order. A write that
// returns short without an error ran out of its time-outs, which is the bound itself.
bool SendAll(HANDLE handle, const char* bytes, DWORD count, ULONGLONG deadline) {
    DWORD sent = 0;
    bool bounded_anew = false;
    for (;;) {
        DWORD written = 0;
        const bool done = WriteFile(handle, bytes + sent, count - sent, &written, nullptr) != 0;
        const DWORD error = GetLastError();
        sent += written < count - sent ? written : count - sent;
        if (done || sent == count) {
            break;
        }
        if (error != ERROR_OPERATION_ABORTED) {
            break;
        }
        DWORD error_flags = 0;
        if (!ClearCommError(handle, &error_flags, &port_state.comm_status)) {
            break;
        }
        if (written == 0) {
            // A line that keeps failing: try again a tick later rather than at once.
            Sleep(1);
        }
        if (!BoundWritesBy(handle, deadline)) {
            break;
        }
        bounded_anew = true;
    }
    if (bounded_anew) {
        COMMTIMEOUTS timeouts = AnalyzerTimeouts();
        SetCommTimeouts(handle, &timeouts);
    }
    return sent == count;
}

// ClosePort, with the lock already held.
int CloseHeldPort() {
    // Closing twice (the technician quits after the port was already closed) is harmless.
    if (port_state.handle == nullptr) {
        port_state.last_error = PORT_OK;
        return PORT_OK;
    }
    HANDLE handle = port_state.handle;

    // Clear a pending line error so the purges and the close are not refused because of it.
    DWORD error_flags = 0;
    ClearCommError(handle, &error_flags, &port_state.comm_status);

    // WritePort has already waited for its bytes to leave, so nothing of ours is thrown away.
    PurgeComm(handle, kPurgeTransmit);
    PurgeComm(handle, kPurgeReceive);

    // Put the time-outs back as we found them; the line settings stay as the analyzer needs.
    SetCommTimeouts(handle, &port_state.saved_timeouts);

    port_state.last_error = CloseHandle(handle) ? PORT_OK : PORT_ERR_CLOSE;
    port_state.handle = nullptr;
    return port_state.last_error;
}

// Ends a failed open: the device is released so that nobody finds it held by us. A device that
// takes the handle but not the calls of a serial port is no serial port; one that takes them
// but not the line settings refused them.
int FailOpen(int code) {
    CloseHandle(port_state.handle);
    port_state.handle = nullptr;
    port_state.last_error = code;
    port_state.last_reason =
        code == PORT_ERR_SETSTATE ? PORT_REASON_REFUSED : PORT_REASON_NOT_SERIAL;
    return code;
}

// The PortReason for why CreateFileA failed on a device, by its last error. Windows reports a
// port that another program holds as access denied; one that is there but does not answer by
// the error its driver met.
int ReasonForOpenError(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return PORT_REASON_IN_USE;
        case ERROR_SEM_TIMEOUT:  // a Bluetooth port whose device is out of range
        case ERROR_TIMEOUT:
        case ERROR_GEN_FAILURE:  // a device that is not working
        case ERROR_NOT_READY:
        case ERROR_IO_DEVICE:
            return PORT_REASON_NO_RESPONSE;
        default:
            // ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND: no device by that name.
            return PORT_REASON_ABSENT;
    }
}

}  // namespace

int OpenPort(const char* device_path) {
    PortLock lock;
    // One port at a time: a port still open from before is released first rather than leaked,
    // which would otherwise keep the device held against the loader.
    if (port_state.handle != nullptr) {
        CloseHeldPort();
    }

    // Share mode 0: nobody else may have the port while we do.
    HANDLE handle = CreateFileA(device_path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        port_state.handle = nullptr;
        port_state.last_error = PORT_ERR_OPEN;
        port_state.last_reason = ReasonForOpenError(GetLastError());
        return PORT_ERR_OPEN;
    }
    port_state.handle = handle;

    // A line error that a program before us left pending: with fAbortOnError, which the DCB
    // keeps from one open to the next, the driver refuses every call but this one until it is
    // cleared.
    DWORD error_flags = 0;
    ClearCommError(handle, &error_flags, &port_state.comm_status);

    if (!SetupComm(handle, kInQueueBytes, kOutQueueBytes)) {
        return FailOpen(PORT_ERR_OPEN);
    }

    // What the device had before us goes back at close. Should the read fail, the zeroed
    // record is put back, which is the driver's own default.
    port_state.saved_timeouts = COMMTIMEOUTS{};
    GetCommTimeouts(handle, &port_state.saved_timeouts);

    COMMTIMEOUTS timeouts = AnalyzerTimeouts();
    if (!SetCommTimeouts(handle, &timeouts)) {
        return FailOpen(PORT_ERR_OPEN);
    }

    SetCommMask(handle, kEventMask);

    port_state.line_state = DCB{};
    port_state.line_state.DCBlength = sizeof(DCB);
    if (!GetCommState(handle, &port_state.line_state)) {
        return FailOpen(PORT_ERR_OPEN);
    }
    SetAnalyzerLine(&port_state.line_state);
    if (!SetCommState(handle, &port_state.line_state)) {
        return FailOpen(PORT_ERR_SETSTATE);
    }

    // Whatever an earlier program left queued in either direction is not ours to send or read.
    PurgeComm(handle, kPurgeTransmit);
    PurgeComm(handle, kPurgeReceive);

    port_state.last_error = PORT_OK;
    port_state.last_reason = PORT_REASON_NONE;
    return PORT_OK;
}

int ClosePort() {
    PortLock lock;
    return CloseHeldPort();
}

int WritePort(const char* bytes, int count) {
    PortLock lock;
    if (port_state.handle == nullptr || count < 0 || (count > 0 && bytes == nullptr)) {
        return PORT_ERR_WRITE;
    }
    HANDLE handle = port_state.handle;

    // Anything the analyzer said before this write is stale: it must not be taken as the
    // answer to what we are about to send.
    PurgeComm(handle, kPurgeReceive);
    if (count == 0) {
        return PORT_OK;
    }

    // A framing error or a break from the analyzer while we paused would make the driver
    // refuse this write until the error is cleared.
    DWORD error_flags = 0;
    ClearCommError(handle, &error_flags, &port_state.comm_status);

    // A write is only done when every byte was accepted and the driver's queue is empty: a line
    // still in that queue would be lost at close, and an unplugged adapter must be noticed
    // rather than reported as success. Both steps share one deadline, the one the write
    // time-outs give WriteFile alone.
    const ULONGLONG deadline = GetTickCount64() + kWriteTotalConstantMs +
                               kWriteTotalPerByteMs * static_cast<ULONGLONG>(count);
    const bool sent = SendAll(handle, bytes, static_cast<DWORD>(count), deadline) &&
                      WaitUntilSent(handle, deadline);
    return sent ? PORT_OK : PORT_ERR_WRITE;
}

int ReadPort(char* buffer, int count) {
    PortLock lock;
    if (port_state.handle == nullptr || buffer == nullptr || count < 0) {
        return 0;
    }
    DWORD got = 0;
    if (!ReadFile(port_state.handle, buffer, static_cast<DWORD>(count), &got, nullptr)) {
        return 0;
    }
    // The driver never returns more than asked; the guard keeps the terminator inside the
    // caller's count + 1 bytes whatever it does.
    if (got > static_cast<DWORD>(count)) {
        got = static_cast<DWORD>(count);
    }
    buffer[got] = '\0';
    return static_cast<int>(got);
}

int GetPortError() {
    return port_state.last_error;
}

int GetPortReason() {
    return port_state.last_reason;
}

std::string GetPortSystemMessage() {
    return "";
}

void AbandonPort() {
    // Waits for a call in progress on the main thread; the time-outs bound it.
    PortLock lock;
    if (port_state.handle == nullptr) {
        return;
    }
    SetCommTimeouts(port_state.handle, &port_state.saved_timeouts);
    CloseHandle(port_state.handle);
    port_state.handle = nullptr;
}
