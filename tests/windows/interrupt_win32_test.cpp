// The wizard's console control handler on Windows, under Wine: Ctrl-C, Ctrl-Break and the
// window closed, at a question, during the download and while the loader runs, with the port
// on COM3 of the lines null-modem.sh publishes. The events are handed to the handler on a
// thread of its own, as Windows does, with the end of the process turned into the end of that
// thread; what the module does with the device is watched through the import table.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>

#include "dialogue.h"
#include "import_patch.h"
#include "interrupt.h"
#include "port.h"
#include "run.h"

namespace {

// What the wrappers saw of the interruption; reset for each case.
struct Seen {
    int port_writes = 0;                 // WriteFile calls on the port
    PHANDLER_ROUTINE handler = nullptr;  // the console control handler set up
    bool exited = false;                 // TerminateProcess was called...
    UINT exit_code = 0;                  // ...with this
    std::string said;                    // written straight to standard output
};
Seen seen;

BOOL WINAPI CapturingSetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    if (add) {
        seen.handler = handler;
    }
    return TRUE;
}
// The handler's end of the process ends only the thread it runs on.
BOOL WINAPI ThreadEndingTerminateProcess(HANDLE, UINT code) {
    seen.exited = true;
    seen.exit_code = code;
    ExitThread(code);
}
// Keeps what goes straight to standard output; counts the port's writes; the rest passes.
BOOL WINAPI WatchingWriteFile(HANDLE handle, LPCVOID bytes, DWORD count, LPDWORD written,
                              LPOVERLAPPED overlapped) {
    if (handle == GetStdHandle(STD_OUTPUT_HANDLE)) {
        seen.said.append(static_cast<const char*>(bytes), count);
        *written = count;
        return TRUE;
    }
    if (handle == watched.port) {
        ++seen.port_writes;
    }
    return real.write_file(handle, bytes, count, written, overlapped);
}

// Hands `event` to the handler on a thread of its own, as the console does, and waits for it.
void Deliver(DWORD event) {
    ASSERT_NE(seen.handler, nullptr) << "CatchInterruptions set up no console control handler";
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID event) -> DWORD { return static_cast<DWORD>(seen.handler(PtrToUlong(event))); },
        ULongToPtr(event), 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    CloseHandle(thread);
}

// "While the loader runs": the event arrives once the loader (the stand-in, told to fail: a
// loader that the event stopped) has been started.
DWORD event_for_the_loader = 0;
const auto real_create_process = reinterpret_cast<decltype(&CreateProcessA)>(__imp_CreateProcessA);
BOOL WINAPI InterruptedCreateProcessA(LPCSTR program, LPSTR command_line,
                                      LPSECURITY_ATTRIBUTES process, LPSECURITY_ATTRIBUTES thread,
                                      BOOL inherit, DWORD flags, LPVOID environment, LPCSTR folder,
                                      LPSTARTUPINFOA startup, LPPROCESS_INFORMATION started) {
    const BOOL created = real_create_process(program, command_line, process, thread, inherit, flags,
                                             environment, folder, startup, started);
    Deliver(event_for_the_loader);
    return created;
}

// The technician's answers, then a wait (at the keyboard) until the test lets the input end.
class Answers : public std::streambuf {
  public:
    explicit Answers(const std::string& text)
        : text_(text),
          waiting_(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          released_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
        setg(&text_[0], &text_[0], &text_[0] + text_.size());
    }
    ~Answers() override {
        CloseHandle(waiting_);
        CloseHandle(released_);
    }
    bool WaitUntilAllTaken(DWORD ms) { return WaitForSingleObject(waiting_, ms) == WAIT_OBJECT_0; }
    void End() { SetEvent(released_); }

  protected:
    int_type underflow() override {
        SetEvent(waiting_);
        WaitForSingleObject(released_, INFINITE);
        return traits_type::eof();
    }

  private:
    std::string text_;
    HANDLE waiting_;
    HANDLE released_;
};

class Interruption : public ::testing::Test {
  protected:
    void SetUp() override {
        seen = Seen{};
        watched = PortWatch{};
        // The download's data file, in a folder of the test's own.
        char folder[MAX_PATH];
        ASSERT_NE(GetCurrentDirectoryA(MAX_PATH, folder), 0u);
        was_in_ = folder;
        char temp[MAX_PATH];
        ASSERT_NE(GetTempPathA(MAX_PATH, temp), 0u);
        work_ = std::string(temp) + "k410-interruption";
        CreateDirectoryA(work_.c_str(), nullptr);
        ASSERT_TRUE(SetCurrentDirectoryA(work_.c_str()));
        std::ofstream data("K410HELP(64K).TXT", std::ios::binary);
        for (int line = 0; line < 12; ++line) {
            data << "DATA LINE " << line << "\r\n";
        }
        // The stand-in loader, found on PATH, fails.
        ASSERT_TRUE(loader_.ok()) << "K410_BSL_STANDIN_DIR is not set";
        ASSERT_TRUE(SetEnvironmentVariableA("K410_BSL_STATUS", "1"));
    }
    void TearDown() override {
        SetEnvironmentVariableA("K410_BSL_STATUS", nullptr);
        ClosePort();
        DeleteFileA((work_ + "\\K410HELP(64K).TXT").c_str());
        SetCurrentDirectoryA(was_in_.c_str());
        RemoveDirectoryA(work_.c_str());
    }
    std::string was_in_;
    std::string work_;
    StandInLoaderOnPath loader_;
};

TEST_F(Interruption, PutsThePortBackSaysSoAndEndsAsCtrlCWouldExceptWhileTheLoaderRuns) {
    enum When { AT_A_QUESTION, DURING_THE_DOWNLOAD, WHILE_THE_LOADER_RUNS };
    struct Case {
        const char* what;
        When when;
        const char* answers;
        DWORD event;
        bool ends;  // whether the program ends on it
    };
    const Case cases[] = {
        {"Ctrl-C at a question", AT_A_QUESTION, "3\nN\n", CTRL_C_EVENT, true},
        {"window closed at a question", AT_A_QUESTION, "3\n", CTRL_CLOSE_EVENT, true},
        {"Ctrl-Break during the download", DURING_THE_DOWNLOAD, "3\nN\nN\nN\nN\nS\n",
         CTRL_BREAK_EVENT, true},
        {"Ctrl-C during the download", DURING_THE_DOWNLOAD, "3\nN\nN\nN\nN\nS\n", CTRL_C_EVENT,
         true},
        {"Ctrl-C while the loader runs", WHILE_THE_LOADER_RUNS, "3\nN\nN\nN\nN\nC\n", CTRL_C_EVENT,
         false},
        {"Ctrl-Break while the loader runs", WHILE_THE_LOADER_RUNS, "3\nN\nN\nN\nN\nC\n",
         CTRL_BREAK_EVENT, false},
        {"window closed while the loader runs", WHILE_THE_LOADER_RUNS, "3\nN\nN\nN\nN\nC\n",
         CTRL_CLOSE_EVENT, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        seen = Seen{};
        watched = PortWatch{};
        event_for_the_loader = c.event;
        Answers answers(c.answers);
        std::istream in(&answers);
        std::ostringstream out;
        int status = -1;
        bool closed_by_then = false;  // the port was released when the handler had run
        {
            ImportPatch handler(&__imp_SetConsoleCtrlHandler,
                                reinterpret_cast<void*>(&CapturingSetConsoleCtrlHandler));
            ImportPatch exit(&__imp_TerminateProcess,
                             reinterpret_cast<void*>(&ThreadEndingTerminateProcess));
            ImportPatch create(&__imp_CreateFileA, reinterpret_cast<void*>(&RecordingCreateFileA));
            ImportPatch left(&__imp_GetCommTimeouts,
                             reinterpret_cast<void*>(&LeftBehindGetCommTimeouts));
            ImportPatch close(&__imp_CloseHandle,
                              reinterpret_cast<void*>(&TimeoutReadingCloseHandle));
            ImportPatch write(&__imp_WriteFile, reinterpret_cast<void*>(&WatchingWriteFile));
            ImportPatch loader(&__imp_CreateProcessA,
                               reinterpret_cast<void*>(&InterruptedCreateProcessA));
            CatchInterruptions();
            std::thread technician([&] {
                if (c.when == AT_A_QUESTION) {
                    answers.WaitUntilAllTaken(10000);
                    Deliver(c.event);
                    closed_by_then = watched.read_at_close;
                } else if (c.when == DURING_THE_DOWNLOAD) {
                    // In the pause after the second line.
                    const ULONGLONG start = GetTickCount64();
                    while (seen.port_writes < 2 && GetTickCount64() - start < 10000) {
                        Sleep(10);
                    }
                    Sleep(50);
                    Deliver(c.event);
                    closed_by_then = watched.read_at_close;
                } else {
                    answers.WaitUntilAllTaken(20000);  // at the retry question
                }
                answers.End();
            });
            status = RunWizard(in, out);
            technician.join();
        }
        EXPECT_EQ(seen.exited, c.ends) << out.str();
        if (c.ends) {
            EXPECT_EQ(seen.exit_code, 0xC000013Au);
            EXPECT_EQ(seen.said, "\r\n Interrupted !\r\n");
        } else {
            EXPECT_EQ(seen.said, "");
            // The loader's status is judged as always.
            EXPECT_NE(out.str().find("BSL Programming failed.\nRetry? (Y or N)>"),
                      std::string::npos)
                << out.str();
        }
        if (c.when != WHILE_THE_LOADER_RUNS) {
            // The port was open: it went back as it was found, and the module is closed.
            ASSERT_TRUE(closed_by_then);
            EXPECT_EQ(watched.at_close.ReadIntervalTimeout, kLeftBehind.ReadIntervalTimeout);
            EXPECT_EQ(watched.at_close.ReadTotalTimeoutConstant,
                      kLeftBehind.ReadTotalTimeoutConstant);
            EXPECT_EQ(watched.at_close.WriteTotalTimeoutMultiplier,
                      kLeftBehind.WriteTotalTimeoutMultiplier);
            EXPECT_EQ(watched.at_close.WriteTotalTimeoutConstant,
                      kLeftBehind.WriteTotalTimeoutConstant);
            EXPECT_EQ(WritePort("x", 1), PORT_ERR_WRITE);
        }
        if (c.when == DURING_THE_DOWNLOAD) {
            EXPECT_LT(seen.port_writes, 12) << "the download went on after the interruption";
        }
        EXPECT_EQ(status, RUN_FAILED);
    }
}

}  // namespace
