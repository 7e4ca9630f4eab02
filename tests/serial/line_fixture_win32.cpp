// The contract suite's line on Windows, under Wine: COM3 of the null-modem pair that
// null-modem.sh publishes, the analyzer on COM4 through KERNEL32 directly. The module's handle
// is watched through the import table for the line's life, so that its settings, time-outs and
// queue can be read while it has the device. The fixture's own calls go to the real functions,
// past any wrapper a test puts in.
#include <windows.h>

#include <iostream>
#include <memory>
#include <vector>

#include "files.h"
#include "import_patch.h"
#include "line_fixture.h"

namespace k410test {

namespace {

const char kCom3[] = "\\\\.\\COM3";

// Calls that act on a handle, counted and not passed on.
int touches = 0;
template <typename... Args>
BOOL WINAPI Counting(Args...) {
    ++touches;
    return TRUE;
}
template <typename... Args>
void* CountingOf(BOOL(WINAPI*)(Args...)) {
    return reinterpret_cast<void*>(&Counting<Args...>);
}

// `path` opened for reading and writing and nobody else, past any wrapper in CreateFileA.
HANDLE OpenExclusively(const char* path) {
    return real.CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                            nullptr);
}

// The analyzer's end, COM4: raw at 9600 baud, its reads returning at once with what has
// arrived, nothing left queued from before.
HANDLE OpenFarEnd() {
    HANDLE handle = OpenExclusively("\\\\.\\COM4");
    if (handle == INVALID_HANDLE_VALUE) {
        return handle;
    }
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    GetCommState(handle, &dcb);
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fOutX = dcb.fInX = dcb.fNull = 0;
    SetCommState(handle, &dcb);
    COMMTIMEOUTS at_once = {MAXDWORD, 0, 0, 0, 0};
    SetCommTimeouts(handle, &at_once);
    PurgeComm(handle, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
    return handle;
}

// Takes nothing until the write time-outs the device has run out, as a driver does on a line
// that takes nothing. No line here stops by itself.
BOOL WINAPI StalledWriteFile(HANDLE handle, LPCVOID, DWORD count, LPDWORD written, LPOVERLAPPED) {
    COMMTIMEOUTS timeouts = {};
    real.GetCommTimeouts(handle, &timeouts);
    Sleep(timeouts.WriteTotalTimeoutConstant + timeouts.WriteTotalTimeoutMultiplier * count);
    *written = 0;
    SetLastError(ERROR_SEM_TIMEOUT);
    return FALSE;
}

using Patches = std::vector<std::unique_ptr<ImportPatch>>;

}  // namespace

struct AnalyzerLine::State {
    std::string trouble;
    HANDLE far_end = INVALID_HANDLE_VALUE;
    HANDLE holder = INVALID_HANDLE_VALUE;
    Patches patches;      // for the line's life
    Patches touch_watch;  // until TouchedSinceWatching
};

AnalyzerLine::AnalyzerLine() : state_(new State) {
    watched = PortWatch{};
    state_->far_end = OpenFarEnd();
    if (state_->far_end == INVALID_HANDLE_VALUE) {
        state_->trouble =
            "COM4 is not there: the null-modem fixture (null-modem.sh) must run first";
    }
    state_->patches.emplace_back(new ImportPatch(&__imp_CreateFileA, &RecordingCreateFileA));
    state_->patches.emplace_back(new ImportPatch(&__imp_CloseHandle, &TimeoutReadingCloseHandle));
}

AnalyzerLine::~AnalyzerLine() {
    state_->touch_watch.clear();
    while (!state_->patches.empty()) {  // the last put in comes out first
        state_->patches.pop_back();
    }
    ReleaseHold();
    if (state_->far_end != INVALID_HANDLE_VALUE) {
        real.CloseHandle(state_->far_end);
    }
}

const std::string& AnalyzerLine::trouble() const {
    return state_->trouble;
}

const char* AnalyzerLine::path() const {
    return kCom3;
}

bool AnalyzerLine::Send(const std::string& bytes) {
    DWORD written = 0;
    return real.WriteFile(state_->far_end, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                          nullptr) &&
           written == bytes.size();
}

std::string AnalyzerLine::Received(size_t count, std::chrono::milliseconds limit) {
    std::string arrived;
    const ULONGLONG until = GetTickCount64() + static_cast<ULONGLONG>(limit.count());
    char chunk[512];
    DWORD got = 0;
    while (arrived.size() < count && GetTickCount64() < until &&
           real.ReadFile(state_->far_end, chunk, sizeof(chunk), &got, nullptr)) {
        arrived.append(chunk, got);
        if (got == 0) {
            Sleep(10);
        }
    }
    return arrived;
}

// Asked of the driver through the module's own handle.
int AnalyzerLine::Queued() const {
    DWORD errors = 0;
    COMSTAT status = {};
    if (!watched.held || !real.ClearCommError(watched.port, &errors, &status)) {
        return -1;
    }
    return static_cast<int>(status.cbInQue);
}

bool AnalyzerLine::WaitUntilQueued(int count) const {
    return WaitUntil([&] { return Queued() >= count; }, 3000);
}

// Through a handle of another program's, as the port is before the module opens it.
void AnalyzerLine::SpoilSettings() {
    HANDLE other = OpenExclusively(kCom3);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    DCB odd = {};
    odd.DCBlength = sizeof(odd);
    ASSERT_TRUE(GetCommState(other, &odd));
    odd.BaudRate = CBR_2400;
    odd.ByteSize = 7;
    odd.Parity = EVENPARITY;
    odd.StopBits = TWOSTOPBITS;
    odd.fOutxCtsFlow = 1;
    odd.fRtsControl = RTS_CONTROL_HANDSHAKE;
    odd.fOutX = odd.fInX = 1;
    ASSERT_TRUE(SetCommState(other, &odd));
    ASSERT_TRUE(GetCommState(other, &odd));  // what the device took
    real.CloseHandle(other);
    ASSERT_EQ(odd.BaudRate, static_cast<DWORD>(CBR_2400));
    ASSERT_EQ(odd.StopBits, TWOSTOPBITS);
    ASSERT_NE(odd.fOutX, 0u);
    if (odd.ByteSize == 8 && odd.Parity == NOPARITY) {
        // Linux forces CS8 and no parity on every pseudo-terminal.
        std::cout << "[   NOTE   ] this device keeps 8 data bits and no parity whatever it is "
                     "told (a pseudo-terminal), so those two settings are not proven here\n";
    }
}

// Through the module's handle while it has one (nobody else may open the port then), else
// through a handle of our own.
void AnalyzerLine::ExpectAnalyzerSettings() {
    DCB line = {};
    line.DCBlength = sizeof(line);
    if (watched.held) {
        ASSERT_TRUE(real.GetCommState(watched.port, &line));
    } else {
        HANDLE after = OpenExclusively(kCom3);
        ASSERT_NE(after, INVALID_HANDLE_VALUE);
        const BOOL read = GetCommState(after, &line);
        real.CloseHandle(after);
        ASSERT_TRUE(read);
    }
    EXPECT_EQ((std::vector<DWORD>{line.BaudRate, line.ByteSize, line.Parity, line.StopBits,
                                  line.fOutxCtsFlow, line.fOutX, line.fInX}),
              (std::vector<DWORD>{9600, 8, NOPARITY, ONESTOPBIT, 0, 0, 0}));
    EXPECT_NE(line.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
}

void AnalyzerLine::LeaveTimeoutsBehind() {
    state_->patches.emplace_back(
        new ImportPatch(&__imp_GetCommTimeouts, &LeftBehindGetCommTimeouts));
}

// Writes are bounded too: 2 ms a byte and a second more.
void AnalyzerLine::ExpectAnalyzerTimeouts() {
    ASSERT_TRUE(watched.held);
    COMMTIMEOUTS o = {};
    ASSERT_TRUE(real.GetCommTimeouts(watched.port, &o));
    EXPECT_EQ((std::vector<DWORD>{o.ReadIntervalTimeout, o.ReadTotalTimeoutMultiplier,
                                  o.ReadTotalTimeoutConstant, o.WriteTotalTimeoutMultiplier,
                                  o.WriteTotalTimeoutConstant}),
              (std::vector<DWORD>{250, 10, 1000, 2, 1000}));
}

// Wine keeps the time-outs with the handle, not the device: they are read just before the
// module's handle goes.
void AnalyzerLine::ExpectTimeoutsLeftBehind() {
    ASSERT_TRUE(watched.read_at_close);
    EXPECT_TRUE(watched.at_close == kLeftBehind);
}

void AnalyzerLine::WatchForTouches() {
    touches = 0;
    Patches& watch = state_->touch_watch;
    watch.emplace_back(new ImportPatch(&__imp_CloseHandle, CountingOf(&CloseHandle)));
    watch.emplace_back(new ImportPatch(&__imp_PurgeComm, CountingOf(&PurgeComm)));
    watch.emplace_back(new ImportPatch(&__imp_SetCommTimeouts, CountingOf(&SetCommTimeouts)));
    watch.emplace_back(new ImportPatch(&__imp_ClearCommError, CountingOf(&ClearCommError)));
}

bool AnalyzerLine::TouchedSinceWatching() {
    state_->touch_watch.clear();  // a slot each, so in any order
    return touches != 0;
}

void AnalyzerLine::HoldElsewhere() {
    state_->holder = OpenExclusively(kCom3);
    ASSERT_NE(state_->holder, INVALID_HANDLE_VALUE);
}

void AnalyzerLine::ReleaseHold() {
    if (state_->holder != INVALID_HANDLE_VALUE) {
        real.CloseHandle(state_->holder);
        state_->holder = INVALID_HANDLE_VALUE;
    }
}

const char* AnalyzerLine::WhyHoldingCannotBeShown() const {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    const bool wine = ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    return wine ? "Wine does not refuse a second open of a COM port (share mode 0 "
                  "is not enforced for serial devices), so the exclusive open "
                  "cannot be shown under Wine"
                : nullptr;
}

std::string AnalyzerLine::MissingDevice() const {
    return "\\\\.\\COM42";
}

// COM6, /dev/null: Wine may refuse it outright, before the module can ask it anything.
std::string AnalyzerLine::NotASerialPort() {
    return "\\\\.\\COM6";
}

bool AnalyzerLine::ModuleReachedTheDevice() const {
    return watched.port != INVALID_HANDLE_VALUE;
}

bool AnalyzerLine::DeviceReleased(const std::string&) const {
    return !HandleIsOpen(watched.port);
}

// COM5: its far end takes one byte and goes away.
const char* AnalyzerLine::PathThatHangsUp() const {
    return "\\\\.\\COM5";
}

// Once the far end has gone, socat closes the pseudo-terminal's master, a little later: the
// line is gone when a write of our own on the module's handle fails.
void AnalyzerLine::HangUp() {
    ASSERT_TRUE(watched.held);
    const ULONGLONG start = GetTickCount64();
    DWORD written = 0;
    while (real.WriteFile(watched.port, "x", 1, &written, nullptr)) {
        ASSERT_LT(GetTickCount64() - start, 5000u) << "still writing 5 s after the hang-up";
        Sleep(100);
    }
}

void AnalyzerLine::Stall() {
    state_->patches.emplace_back(new ImportPatch(&__imp_WriteFile, &StalledWriteFile));
}

}  // namespace k410test
