// Test harness for the Windows tests: faults that no device can produce are injected by
// swapping one slot of the test program's import table (the __imp_ pointer through which it and
// the libraries linked into it call a KERNEL32 function) for a wrapper; everything else still
// reaches the real system. Beside it, the wrappers and fakes that more than one test uses.
#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <setupapi.h>

#include <gtest/gtest.h>

#include <functional>
#include <streambuf>
#include <string>
#include <vector>

#include "files.h"
#include "port.h"

// Replaces one import-table slot for the life of the object; an array of them patches several:
// ImportPatch patches[] = {{&__imp_ReadFile, &MyReadFile}, {&__imp_WriteFile, &MyWriteFile}}.
class ImportPatch {
  public:
    ImportPatch(void** slot, void* replacement) : slot_(slot), saved_(*slot) { Write(replacement); }
    template <typename Function>
    ImportPatch(void** slot, Function* replacement)
        : ImportPatch(slot, reinterpret_cast<void*>(replacement)) {}
    ~ImportPatch() { Write(saved_); }
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

  private:
    void Write(void* value) {
        DWORD old_protection = 0;
        VirtualProtect(slot_, sizeof(void*), PAGE_READWRITE, &old_protection);
        *slot_ = value;
        VirtualProtect(slot_, sizeof(void*), old_protection, &old_protection);
    }
    void** slot_;
    void* saved_;
};

// A wrapper for calls like `function` that does nothing and fails with `error`, as a driver that
// refuses the call: ImportPatch(&__imp_SetupComm, Refusal<ERROR_INVALID_PARAMETER>(&SetupComm)).
template <DWORD error, typename... Args>
BOOL WINAPI Refusing(Args...) {
    SetLastError(error);
    return FALSE;
}
template <DWORD error, typename... Args>
void* Refusal(BOOL(WINAPI*)(Args...)) {
    return reinterpret_cast<void*>(&Refusing<error, Args...>);
}

// The slots the tests patch, each with the bytes of its arguments: 32-bit Windows names a slot by
// the decorated stdcall name, __imp__CreateFileA@28.
// clang-format off
#define K410_IMPORTS(X)                                                                           \
    X(CreateFileA, 28) X(CreateFileW, 28) X(ReadFile, 20) X(WriteFile, 20) X(CloseHandle, 4)      \
    X(SetupComm, 12) X(GetCommTimeouts, 8) X(SetCommTimeouts, 8) X(GetCommState, 8)              \
    X(SetCommState, 8) X(PurgeComm, 8) X(ClearCommError, 12) X(CancelSynchronousIo, 4)           \
    X(CancelIoEx, 8) X(SetConsoleCtrlHandler, 8) X(TerminateProcess, 8)                          \
    X(GetConsoleProcessList, 8) X(GetConsoleTitleW, 8) X(SetConsoleTitleW, 4)                    \
    X(FlushConsoleInputBuffer, 4) X(GetConsoleMode, 8) X(SetConsoleMode, 8)                      \
    X(GetConsoleOutputCP, 0) X(CreateProcessA, 40) X(CreateWaitableTimerExW, 16)                 \
    X(CreateMutexA, 12) X(QueryDosDeviceW, 12) X(SetupDiGetClassDevsW, 16)                       \
    X(SetupDiEnumDeviceInfo, 12) X(SetupDiOpenDevRegKey, 24)                                     \
    X(SetupDiGetDeviceRegistryPropertyW, 28) X(SetupDiDestroyDeviceInfoList, 4)
// clang-format on
#if defined(__i386__)
#define K410_IMPORT_SLOT(name, bytes) extern void* __imp_##name __asm__("__imp__" #name "@" #bytes);
#else
#define K410_IMPORT_SLOT(name, bytes) extern void* __imp_##name;
#endif
extern "C" {
K410_IMPORTS(K410_IMPORT_SLOT)
}

// The functions behind the slots (real.CreateFileA, ...), taken before any patch is in.
struct RealFunctions {
#define K410_REAL_FUNCTION(name, bytes) decltype(&::name) name;
    K410_IMPORTS(K410_REAL_FUNCTION)
};
extern const RealFunctions real;

// What the wrappers below saw of the port module's device.
struct PortWatch {
    HANDLE port = nullptr;       // the handle the last CreateFileA gave
    bool held = false;           // ...and it is not closed yet
    COMMTIMEOUTS at_close = {};  // the device's time-outs just before its handle went...
    DCB line_at_close = {};      // ...and its line settings
    bool read_at_close = false;
};
extern PortWatch watched;

// Time-outs that an earlier program left on the device.
extern const COMMTIMEOUTS kLeftBehind;
bool operator==(const COMMTIMEOUTS& a, const COMMTIMEOUTS& b);

// CreateFileA, noting the handle it gives in `watched`.
decltype(::CreateFileA) RecordingCreateFileA;
// Windows keeps a port's time-outs from one open to the next; Wine starts every handle afresh.
// So that a test sees the same on both, this GetCommTimeouts gives the device kLeftBehind just
// as the module reads them.
BOOL WINAPI LeftBehindGetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts);
// CloseHandle, reading the watched device's time-outs and line settings into `watched` first.
BOOL WINAPI TimeoutReadingCloseHandle(HANDLE handle);

bool HandleIsOpen(HANDLE handle);

// What the console wrappers below saw.
struct ConsoleWatch {
    PHANDLER_ROUTINE handler = nullptr;  // the console control handler set up
    LONG ends = 0;                       // TerminateProcess calls...
    UINT exit_code = 0;                  // ...the last with this
    std::string said;                    // written straight to standard output
    int port_writes = 0;                 // WriteFile calls on the watched port
};
extern ConsoleWatch seen;

// SetConsoleCtrlHandler, keeping the handler in `seen` instead of giving it to the console.
BOOL WINAPI CapturingSetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);
// Ends only the thread it runs on: the handler's end of the process.
BOOL WINAPI ThreadEndingTerminateProcess(HANDLE process, UINT code);
// Keeps what goes straight to standard output; counts the watched port's writes; the rest passes.
decltype(::WriteFile) KeepingWriteFile;
// Hands `event` to the captured handler on a thread of its own, as the console does; returns the
// thread (nullptr when none could be started).
HANDLE DeliverAsync(DWORD event);
// True when `thread` (nullptr: none) ended within `ms`; closes it then.
bool Ended(HANDLE thread, DWORD ms);

// The window's own title, one the console's code page cannot hold ("Administrator: Command
// Prompt" in Russian, in a Western console: the A functions would give it back as question
// marks). OwnGetConsoleTitleW gives it and counts the reads; RecordingSetConsoleTitleW keeps what
// is set and hands it to `on_title_set` when there is one.
extern const wchar_t kOwnTitle[];
extern int title_reads;
extern std::vector<std::wstring> titles_set;
extern void (*on_title_set)(LPCWSTR title);
DWORD WINAPI OwnGetConsoleTitleW(LPWSTR title, DWORD size);
BOOL WINAPI RecordingSetConsoleTitleW(LPCWSTR title);

// The listing has the lines of null-modem.sh that are registered under SERIALCOMM (COM3 to
// COM5), and neither COM6 (/dev/null, which nothing registers) nor a port that is not there.
void ExpectTheRegisteredLinesListed(const PortListing& listing);
bool Listed(const PortListing& listing, const std::string& entry);

// How many processes GetConsoleProcessList says share the console: 1 in a window of the
// program's own, 2 with a shell beside it, 0 with no console.
extern DWORD processes_on_the_console;
DWORD WINAPI CountingGetConsoleProcessList(LPDWORD list, DWORD size);

// The download's data file, and its `count` lines "DATA LINE n".
extern const char kDataFile[];
std::string DataLines(int count);

// This program run again with `arguments` in `folder`, standard input empty; killed after 30 s.
struct ChildRun {
    bool ended = false;  // within the limit; killed otherwise
    DWORD status = 0;
    std::string output;  // standard output, as written
};
ChildRun RunThisProgram(const std::string& arguments, const std::string& folder);

// The technician at the keyboard, read as standard input (the object is a stream buffer) or
// through the console's ReadFile (ConsoleReadFile, on the keyboard `at`): first `answers`,
// then what the test types (a read waits until then); typing nothing is the end of the input,
// what a console read that Ctrl-C ends returns. With a `typist`, a read takes what it returns.
class Keyboard : public std::streambuf {
  public:
    explicit Keyboard(const std::string& answers = "",
                      std::function<std::string()> typist = nullptr);
    ~Keyboard() override;
    Keyboard(const Keyboard&) = delete;
    Keyboard& operator=(const Keyboard&) = delete;
    // True when a read waits within `ms`.
    bool Reading(DWORD ms) const { return WaitForSingleObject(reading_, ms) == WAIT_OBJECT_0; }
    void Type(const std::string& text);
    static decltype(::ReadFile) ConsoleReadFile;
    static Keyboard* at;

  protected:
    int_type underflow() override;

  private:
    std::string Next();
    std::string text_, typed_;
    std::function<std::string()> typist_;
    HANDLE reading_, typed_now_;
};

// The scene of an interruption: what the wrappers saw forgotten, the download's data file of 12
// lines in a folder of the test's own.
class Interrupted : public ::testing::Test {
  protected:
    void SetUp() override {
        seen = ConsoleWatch{};
        watched = PortWatch{};
        ASSERT_TRUE(folder_.Put(kDataFile, DataLines(12)));
    }
    k410test::ScratchDir folder_;
};
