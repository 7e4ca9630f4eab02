#include "import_patch.h"

#include <algorithm>
#include <cstring>
#include <thread>
#include <utility>

const RealFunctions real = {
#define K410_TAKEN_FROM_SLOT(name, bytes) reinterpret_cast<decltype(&::name)>(__imp_##name),
    K410_IMPORTS(K410_TAKEN_FROM_SLOT)};

PortWatch watched;

const COMMTIMEOUTS kLeftBehind = {7, 3, 1100, 13, 17};

bool operator==(const COMMTIMEOUTS& a, const COMMTIMEOUTS& b) {
    return std::memcmp(&a, &b, sizeof(a)) == 0;
}

HANDLE WINAPI RecordingCreateFileA(LPCSTR path, DWORD access, DWORD share,
                                   LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                   HANDLE model) {
    HANDLE handle = real.CreateFileA(path, access, share, security, disposition, flags, model);
    watched.port = handle;
    watched.held = handle != INVALID_HANDLE_VALUE;
    watched.read_at_close = false;  // a new handle, not yet released
    return handle;
}

BOOL WINAPI LeftBehindGetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    COMMTIMEOUTS left = kLeftBehind;
    real.SetCommTimeouts(handle, &left);
    return real.GetCommTimeouts(handle, timeouts);
}

BOOL WINAPI TimeoutReadingCloseHandle(HANDLE handle) {
    if (handle == watched.port && watched.held) {
        watched.line_at_close.DCBlength = sizeof(DCB);
        watched.read_at_close = real.GetCommTimeouts(handle, &watched.at_close) &&
                                real.GetCommState(handle, &watched.line_at_close);
        watched.held = false;
    }
    return real.CloseHandle(handle);
}

bool HandleIsOpen(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != 0;
}

ConsoleWatch seen;

BOOL WINAPI CapturingSetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    if (add) {
        seen.handler = handler;
    }
    return TRUE;
}

BOOL WINAPI ThreadEndingTerminateProcess(HANDLE, UINT code) {
    seen.exit_code = code;
    InterlockedIncrement(&seen.ends);
    ExitThread(code);
}

BOOL WINAPI KeepingWriteFile(HANDLE handle, LPCVOID bytes, DWORD count, LPDWORD written,
                             LPOVERLAPPED overlapped) {
    if (handle == GetStdHandle(STD_OUTPUT_HANDLE)) {
        seen.said.append(static_cast<const char*>(bytes), count);
        *written = count;
        return TRUE;
    }
    if (handle == watched.port) {
        ++seen.port_writes;
    }
    return real.WriteFile(handle, bytes, count, written, overlapped);
}

HANDLE DeliverAsync(DWORD event) {
    return CreateThread(
        nullptr, 0,
        [](LPVOID event)
            WINAPI -> DWORD { return static_cast<DWORD>(seen.handler(PtrToUlong(event))); },
        ULongToPtr(event), 0, nullptr);
}

bool Ended(HANDLE thread, DWORD ms) {
    return thread != nullptr && WaitForSingleObject(thread, ms) == WAIT_OBJECT_0 &&
           CloseHandle(thread);
}

const wchar_t kOwnTitle[] =
    L"\u0410\u0434\u043c\u0438\u043d\u0438\u0441\u0442\u0440\u0430\u0442\u043e\u0440: cmd";
int title_reads = 0;
std::vector<std::wstring> titles_set;
void (*on_title_set)(LPCWSTR title) = nullptr;

DWORD WINAPI OwnGetConsoleTitleW(LPWSTR title, DWORD size) {
    ++title_reads;
    lstrcpynW(title, kOwnTitle, static_cast<int>(size));
    return lstrlenW(kOwnTitle);
}

BOOL WINAPI RecordingSetConsoleTitleW(LPCWSTR title) {
    titles_set.push_back(title);
    if (on_title_set != nullptr) {
        on_title_set(title);
    }
    return TRUE;
}

bool Listed(const PortListing& listing, const std::string& entry) {
    return std::find(listing.ports.begin(), listing.ports.end(), entry) != listing.ports.end();
}

void ExpectTheRegisteredLinesListed(const PortListing& listing) {
    for (const char* registered : {"COM3", "COM4", "COM5"}) {
        EXPECT_TRUE(Listed(listing, registered)) << registered << " is registered by null-modem.sh";
    }
    EXPECT_FALSE(Listed(listing, "COM6")) << "/dev/null is no serial port; no driver registers it";
    EXPECT_FALSE(Listed(listing, "COM42"));
    EXPECT_TRUE(listing.unnumbered.empty());
}

DWORD processes_on_the_console = 0;

DWORD WINAPI CountingGetConsoleProcessList(LPDWORD list, DWORD size) {
    for (DWORD i = 0; i < processes_on_the_console && i < size; ++i) {
        list[i] = GetCurrentProcessId() + i;
    }
    return processes_on_the_console;
}

const char kDataFile[] = "K410HELP(64K).TXT";

std::string DataLines(int count) {
    std::string lines;
    for (int line = 0; line < count; ++line) {
        lines += "DATA LINE " + std::to_string(line) + "\r\n";
    }
    return lines;
}

ChildRun RunThisProgram(const std::string& arguments, const std::string& folder) {
    ChildRun run;
    char self[MAX_PATH];
    if (GetModuleFileNameA(nullptr, self, MAX_PATH) == 0) {
        return run;
    }
    SECURITY_ATTRIBUTES inherited = {sizeof(inherited), nullptr, TRUE};
    HANDLE out_read = nullptr, out_write = nullptr;
    if (!CreatePipe(&out_read, &out_write, &inherited, 0)) {
        return run;
    }
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    HANDLE nothing = CreateFileA("NUL", GENERIC_READ, 0, &inherited, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nothing;
    startup.hStdOutput = out_write;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::string command = std::string("\"") + self + "\" " + arguments;
    PROCESS_INFORMATION child = {};
    const BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                                        folder.c_str(), &startup, &child);
    CloseHandle(out_write);
    CloseHandle(nothing);
    if (!started) {
        CloseHandle(out_read);
        return run;
    }
    std::thread reader([&] {
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(out_read, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
            run.output.append(buffer, got);
        }
    });
    run.ended = WaitForSingleObject(child.hProcess, 30000) == WAIT_OBJECT_0;
    if (!run.ended) {
        TerminateProcess(child.hProcess, 1);
        WaitForSingleObject(child.hProcess, 10000);
    }
    GetExitCodeProcess(child.hProcess, &run.status);
    reader.join();
    CloseHandle(out_read);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    return run;
}

Keyboard* Keyboard::at = nullptr;

Keyboard::Keyboard(const std::string& answers, std::function<std::string()> typist)
    : text_(answers),
      typist_(std::move(typist)),
      reading_(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      typed_now_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
    setg(&text_[0], &text_[0], &text_[0] + text_.size());
}

Keyboard::~Keyboard() {
    CloseHandle(reading_);
    CloseHandle(typed_now_);
}

void Keyboard::Type(const std::string& text) {
    typed_ = text;
    SetEvent(typed_now_);
}

std::string Keyboard::Next() {
    if (typist_) {
        return typist_();
    }
    SetEvent(reading_);
    WaitForSingleObject(typed_now_, INFINITE);
    return typed_;
}

Keyboard::int_type Keyboard::underflow() {
    text_ = Next();
    setg(&text_[0], &text_[0], &text_[0] + text_.size());
    return text_.empty() ? traits_type::eof() : traits_type::to_int_type(text_[0]);
}

BOOL WINAPI Keyboard::ConsoleReadFile(HANDLE handle, LPVOID buffer, DWORD size, LPDWORD got,
                                      LPOVERLAPPED overlapped) {
    if (handle != GetStdHandle(STD_INPUT_HANDLE)) {
        return real.ReadFile(handle, buffer, size, got, overlapped);
    }
    const std::string typed = at->Next();
    *got = static_cast<DWORD>(typed.size() < size ? typed.size() : size);
    std::memcpy(buffer, typed.data(), *got);
    return TRUE;
}
