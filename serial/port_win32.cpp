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
// in the middle of another call. It cancels that call instead of waiting for it without end.
//
// No driver's time-outs are trusted to end a write: some ignore COMMTIMEOUTS and block WriteFile
// for ever (the Moxa NPort driver: jSerialComm #335), so a watcher thread cancels a write still
// in progress at its bound (CancelSynchronousIo, CancelIoEx; Windows Vista and later).
#include "port_win32.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <string>

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
    HANDLE handle = nullptr;             // the open device; nullptr while no port is open
    int last_error = PORT_OK;            // result of the last OpenPort or ClosePort
    int last_reason = PORT_REASON_NONE;  // why the last OpenPort or failed WritePort failed
    DWORD system_error = 0;              // the error behind last_reason; 0 when none
    bool write_failed = false;           // the last write left bytes the line would not take
    COMMTIMEOUTS saved_timeouts = {};    // the device's own time-outs, put back at close
    DCB line_state = {};                 // the device's line settings, read and then rewritten
    COMSTAT comm_status = {};  // filled by ClearCommError; kept only because the call wants it
    std::chrono::steady_clock::time_point write_start;  // for GetLastWriteStart
};

PortState port_state;

SRWLOCK port_lock = SRWLOCK_INIT;
// The thread in a call of the module, for AbandonPort to cancel; 0 when none.
std::atomic<DWORD> port_user{0};
// Set while AbandonPort waits for the lock: a write in progress stops waiting for its bytes.
std::atomic<bool> abandoning{false};

// How long AbandonPort waits for a call in progress, cancelling it meanwhile every
// kRecancelMs (a cancel that came before the call reached the driver finds nothing to cancel).
// A console control handler must end the run within 2 s.
constexpr ULONGLONG kAbandonWaitMs = 1000;
constexpr DWORD kRecancelMs = 10;
// CancelSynchronousIo needs THREAD_TERMINATE on the thread (Learn, CancelSynchronousIo), and
// query access lets GetThreadId name the thread the handle stands for.
constexpr DWORD kCancelAccess = THREAD_TERMINATE | THREAD_QUERY_LIMITED_INFORMATION;

// Holds the module's lock for the life of the object.
class PortLock {
  public:
    PortLock() {
        AcquireSRWLockExclusive(&port_lock);
        port_user.store(GetCurrentThreadId());
    }
    ~PortLock() {
        port_user.store(0);
        ReleaseSRWLockExclusive(&port_lock);
    }
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;
};

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

// Errors with which a driver says that the device is no longer there: an adapter unplugged,
// a Bluetooth link lost, a driver that stopped working.
bool DeviceGone(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:         // a USB adapter dropping off mid-run: pyserial #446
        case ERROR_BAD_COMMAND:           // 22
        case ERROR_GEN_FAILURE:           // 31
        case ERROR_DEV_NOT_EXIST:         // 55
        case ERROR_DEVICE_NOT_CONNECTED:  // 1167
        case ERROR_DEVICE_REMOVED:        // 1617
            return true;
        default:
            return false;
    }
}

// Cancels the synchronous call in progress on thread `id` (0: none), as far as its driver lets.
void CancelCallOf(DWORD id) {
    HANDLE thread = id != 0 ? OpenThread(kCancelAccess, FALSE, id) : nullptr;
    if (thread != nullptr) {
        CancelSynchronousIo(thread);
        CloseHandle(thread);
    }
}

// The watch over the write in progress: a thread of its own, started with the write and ended
// with it, that cancels the write's calls once its bound has passed. No thread of the module
// outlives a write, so the end of the process never meets one of ours mid-way.
struct WriteWatch {
    DWORD writer = 0;                  // the writing thread
    HANDLE file = nullptr;             // ...and the device it writes to
    HANDLE done = nullptr;             // set once the write is over
    HANDLE watcher = nullptr;          // the watching thread
    ULONGLONG deadline = 0;            // GetTickCount64
    std::atomic<bool> overran{false};  // the bound passed with the write still in progress
};
WriteWatch watch;

DWORD WINAPI WatchWrite(LPVOID) {
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        DWORD wait = kRecancelMs;
        if (now >= watch.deadline) {
            // Again and again until the write ends: the first cancel may come before the call
            // reaches the driver and find nothing to cancel.
            watch.overran.store(true);
            CancelCallOf(watch.writer);
            CancelIoEx(watch.file, nullptr);
        } else {
            wait = static_cast<DWORD>(watch.deadline - now);
        }
        if (WaitForSingleObject(watch.done, wait) != WAIT_TIMEOUT) {
            return 0;
        }
    }
}

// Puts the calling thread's calls on `file` under watch until EndWatch.
void BeginWatch(HANDLE file, ULONGLONG deadline) {
    watch.writer = GetCurrentThreadId();
    watch.file = file;
    watch.deadline = deadline;
    watch.overran.store(false);
    if (watch.done == nullptr) {
        watch.done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    } else {
        ResetEvent(watch.done);
    }
    watch.watcher = watch.done != nullptr
                        ? CreateThread(nullptr, 0, &WatchWrite, nullptr, 0, nullptr)
                        : nullptr;
}

// Ends the watch; true when the write's bound passed while it was in progress.
bool EndWatch() {
    if (watch.watcher != nullptr) {
        SetEvent(watch.done);
        WaitForSingleObject(watch.watcher, INFINITE);  // it only cancels and waits
        CloseHandle(watch.watcher);
        watch.watcher = nullptr;
    }
    return watch.overran.load();
}

// Waits, polling the driver's output queue, until the driver reports the bytes written sent (its
// queue is empty; a USB adapter may still hold them) or `deadline` (GetTickCount64) has passed.
// Returns false, with the driver's error in `*error` (0: the bound), on the deadline or when the
// device has gone. A driver that cannot report its queue at all (error 87, 1 or 50 from virtual
// and some USB ports: pyserial #575) has taken every byte, which is all it can say: the
// download's pause counts the wire time itself. A line error found meanwhile is cleared by the
// same call.
bool WaitUntilSent(HANDLE handle, ULONGLONG deadline, DWORD* error) {
    for (;;) {
        DWORD error_flags = 0;
        if (!ClearCommError(handle, &error_flags, &port_state.comm_status)) {
            *error = GetLastError();
            return *error == ERROR_INVALID_PARAMETER || *error == ERROR_INVALID_FUNCTION ||
                   *error == ERROR_NOT_SUPPORTED;
        }
        const DWORD queued = port_state.comm_status.cbOutQue;
        if (queued == 0) {
            return true;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline || abandoning.load()) {
            *error = 0;
            return false;
        }
        // About 1 ms a byte at 9600 baud: sleep about as long as the queue needs, at least a
        // tick, never past the deadline.
        const ULONGLONG left = deadline - now;
        Sleep(static_cast<DWORD>(queued < left ? queued : left));
    }
}

// Hands the driver all `count` bytes. A write that WriteFile fails is over, whatever the error
// (a line error cancelling it, the device gone): a failing synchronous WriteFile reports 0 bytes
// written however many went out (Learn, WriteFile; dotnet/runtime #57229), so resending would
// send bytes twice. A write that returns short without an error ran out of its time-outs, which
// are the write's bound. `*error` is the driver's error, 0 for the bound.
bool SendAll(HANDLE handle, const char* bytes, DWORD count, DWORD* error) {
    DWORD written = 0;
    port_state.write_start = std::chrono::steady_clock::now();
    if (!WriteFile(handle, bytes, count, &written, nullptr)) {
        *error = GetLastError();
        return false;
    }
    *error = 0;
    return written == count;
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

    // Every byte a write reported sent reaches the other end; only what a failed write left in
    // the queue of a line that would not take it goes, so that the close cannot hang on it.
    if (port_state.write_failed) {
        PurgeComm(handle, kPurgeTransmit);
    }
    PurgeComm(handle, kPurgeReceive);

    // Put the time-outs back as we found them; the line settings stay as the analyzer needs.
    SetCommTimeouts(handle, &port_state.saved_timeouts);

    port_state.last_error = CloseHandle(handle) ? PORT_OK : PORT_ERR_CLOSE;
    port_state.handle = nullptr;
    return port_state.last_error;
}

// Records why the last call failed, with the system's error behind it (0: none).
void SetReason(int reason, DWORD error) {
    port_state.last_reason = reason;
    port_state.system_error = error;
}

// Ends a failed open, the call that failed having set `error`: the device is released so that
// nobody finds it held by us, with the time-outs it had put back once ours were set
// (`timeouts_set`), and its line settings too once SetCommState was tried (`found_line`: it may
// have taken part of ours). A device that takes the handle but not the calls of a serial port is
// no serial port; one that takes them but not the line settings refused them.
int FailOpen(int code, DWORD error, bool timeouts_set = false, const DCB* found_line = nullptr) {
    if (found_line != nullptr) {
        DCB found = *found_line;
        SetCommState(port_state.handle, &found);
    }
    if (timeouts_set) {
        SetCommTimeouts(port_state.handle, &port_state.saved_timeouts);
    }
    CloseHandle(port_state.handle);
    port_state.handle = nullptr;
    port_state.last_error = code;
    SetReason(code == PORT_ERR_SETSTATE ? PORT_REASON_REFUSED : PORT_REASON_NOT_SERIAL, error);
    return code;
}

// The PortReason for why CreateFileA failed on a device, by its last error. Windows reports a
// port that another program holds as access denied. Only a name with nothing behind it is
// absent: a port that is there may fail with anything its driver met (a Bluetooth port out of
// range with 121, 1167 or 1168: Printrun #653, RJCP SerialPortStream #37; a device that is not
// working with 31).
int ReasonForOpenError(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return PORT_REASON_IN_USE;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return PORT_REASON_ABSENT;
        default:
            return PORT_REASON_NO_RESPONSE;
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

    // Share mode 0: nobody else may have the port while we do. A Bluetooth port may take many
    // seconds to answer (RJCP SerialPortStream #37); AbandonPort cancels the wait.
    HANDLE handle = CreateFileA(device_path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        port_state.handle = nullptr;
        port_state.last_error = PORT_ERR_OPEN;
        SetReason(ReasonForOpenError(error), error);
        return PORT_ERR_OPEN;
    }
    port_state.handle = handle;
    port_state.write_failed = false;

    // A line error that a program before us left pending: with fAbortOnError, which the DCB
    // keeps from one open to the next, the driver refuses every call but this one until it is
    // cleared.
    DWORD error_flags = 0;
    ClearCommError(handle, &error_flags, &port_state.comm_status);

    if (!SetupComm(handle, kInQueueBytes, kOutQueueBytes)) {
        return FailOpen(PORT_ERR_OPEN, GetLastError());
    }

    // What the device had before us goes back at close. Should the read fail, the zeroed
    // record is put back, which is the driver's own default.
    port_state.saved_timeouts = COMMTIMEOUTS{};
    GetCommTimeouts(handle, &port_state.saved_timeouts);

    COMMTIMEOUTS timeouts = AnalyzerTimeouts();
    if (!SetCommTimeouts(handle, &timeouts)) {
        return FailOpen(PORT_ERR_OPEN, GetLastError());
    }

    SetCommMask(handle, kEventMask);

    port_state.line_state = DCB{};
    port_state.line_state.DCBlength = sizeof(DCB);
    if (!GetCommState(handle, &port_state.line_state)) {
        return FailOpen(PORT_ERR_OPEN, GetLastError(), true);
    }
    // SetCommState sets the baud rate, the line control, the characters and the handshake one
    // request at a time and stops at the first the driver refuses, keeping those before it.
    const DCB found_line = port_state.line_state;
    SetAnalyzerLine(&port_state.line_state);
    if (!SetCommState(handle, &port_state.line_state)) {
        return FailOpen(PORT_ERR_SETSTATE, GetLastError(), true, &found_line);
    }

    // Whatever an earlier program left queued in either direction is not ours to send or read.
    PurgeComm(handle, kPurgeTransmit);
    PurgeComm(handle, kPurgeReceive);

    port_state.last_error = PORT_OK;
    SetReason(PORT_REASON_NONE, 0);
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
    // time-outs give WriteFile alone, and the watch holds them to it.
    const ULONGLONG deadline = GetTickCount64() + kWriteTotalConstantMs +
                               kWriteTotalPerByteMs * static_cast<ULONGLONG>(count);
    BeginWatch(handle, deadline);
    DWORD error = 0;
    const bool sent = SendAll(handle, bytes, static_cast<DWORD>(count), &error) &&
                      WaitUntilSent(handle, deadline, &error);
    const bool overran = EndWatch();
    port_state.write_failed = !sent;
    if (sent) {
        return PORT_OK;
    }
    // A call that the watch cancelled failed with ERROR_OPERATION_ABORTED: the bound, told as
    // such. An error the driver gave itself either says that the device has gone, or that the
    // line gave up on the bytes.
    if (overran) {
        error = 0;
    }
    SetReason(DeviceGone(error) ? PORT_REASON_GONE : PORT_REASON_STALLED, error);
    return PORT_ERR_WRITE;
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
    if (port_state.system_error == 0) {
        return "";
    }
    // The wide text, put into the console's code page: FormatMessageA would give it in the ANSI
    // code page, which a console window does not show as written.
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, port_state.system_error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message(text != nullptr ? text : L"", length);
    LocalFree(text);
    while (!message.empty() && (message.back() == L'.' || message.back() == L'\r' ||
                                message.back() == L'\n' || message.back() == L' ')) {
        message.pop_back();
    }
    return ConsoleText(message.c_str());
}

std::string ConsoleText(const wchar_t* text) {
    // 0 without a console: the system's ANSI code page then, which is what CP_ACP (0) says.
    const UINT code_page = GetConsoleOutputCP();
    const int size = WideCharToMultiByte(code_page, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) {
        return std::string();
    }
    std::string converted(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(code_page, 0, text, -1, &converted[0], size, nullptr, nullptr);
    converted.resize(static_cast<size_t>(size) - 1);
    return converted;
}

std::chrono::steady_clock::time_point GetLastWriteStart() {
    return port_state.write_start;
}

void AbandonPort() {
    // The call in progress on the main thread is cancelled rather than waited for: a driver that
    // ignores its time-outs, or an open that takes many seconds, would hold the run past the
    // few seconds a closing window gets. The cancel may meet another synchronous call of that
    // thread once the module's call has ended; the run is ending, which that call then learns.
    abandoning.store(true);
    const ULONGLONG give_up_at = GetTickCount64() + kAbandonWaitMs;
    while (!TryAcquireSRWLockExclusive(&port_lock)) {
        if (GetTickCount64() >= give_up_at) {
            // A driver that completes nothing: the end of the process releases the device.
            return;
        }
        CancelCallOf(port_user.load());
        Sleep(kRecancelMs);
    }
    if (port_state.handle != nullptr) {
        SetCommTimeouts(port_state.handle, &port_state.saved_timeouts);
        CloseHandle(port_state.handle);
        port_state.handle = nullptr;
    }
    abandoning.store(false);
    ReleaseSRWLockExclusive(&port_lock);
}
