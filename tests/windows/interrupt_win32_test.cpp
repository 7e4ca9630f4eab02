// The wizard's console control handler on Windows, under Wine: Ctrl-C, Ctrl-Break and the
// window closed, at a question, during the download and while the loader runs, on COM3 of the
// lines null-modem.sh publishes. The events are handed to the handler on a thread of its own, as
// Windows does, with the end of the process turned into the end of that thread.
#include <windows.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>

#include "../support/answers.h"
#include "dialogue.h"
#include "files.h"
#include "import_patch.h"
#include "interrupt.h"
#include "port.h"
#include "run.h"

namespace {

using k410test::kLoaderThenEnd;
using k410test::kSkipLoader;

void Deliver(DWORD event) {
    ASSERT_NE(seen.handler, nullptr) << "CatchInterruptions set up no console control handler";
    ASSERT_TRUE(Ended(DeliverAsync(event), 10000));
}

// "While the loader runs": the event arrives once the loader (the stand-in, told to fail: a
// loader that the event stopped) has been started.
DWORD event_for_the_loader = 0;
BOOL WINAPI InterruptedCreateProcessA(LPCSTR program, LPSTR command_line,
                                      LPSECURITY_ATTRIBUTES process, LPSECURITY_ATTRIBUTES thread,
                                      BOOL inherit, DWORD flags, LPVOID environment, LPCSTR folder,
                                      LPSTARTUPINFOA startup, LPPROCESS_INFORMATION started) {
    const BOOL created = real.CreateProcessA(program, command_line, process, thread, inherit, flags,
                                             environment, folder, startup, started);
    Deliver(event_for_the_loader);
    return created;
}

// The stand-in loader, found on PATH (CTest puts its folder there), fails.
class Interruption : public Interrupted {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(Interrupted::SetUp());
        ASSERT_TRUE(folder_.Enter());
        ASSERT_TRUE(SetEnvironmentVariableA("K410_BSL_STATUS", "1"));
    }
    void TearDown() override {
        SetEnvironmentVariableA("K410_BSL_STATUS", nullptr);
        ClosePort();
    }
};

TEST_F(Interruption, PutsThePortBackSaysSoAndEndsAsCtrlCWouldExceptWhileTheLoaderRuns) {
    enum When { AT_A_QUESTION, DURING_THE_DOWNLOAD, WHILE_THE_LOADER_RUNS };
    struct Case {
        const char* what;
        When when;
        std::string answers;
        DWORD event;
        bool ends;  // whether the program ends on it
    };
    const Case cases[] = {
        {"Ctrl-C at a question", AT_A_QUESTION, "3\nN\n", CTRL_C_EVENT, true},
        {"window closed at a question", AT_A_QUESTION, "3\n", CTRL_CLOSE_EVENT, true},
        {"Ctrl-Break during the download", DURING_THE_DOWNLOAD, kSkipLoader, CTRL_BREAK_EVENT,
         true},
        {"Ctrl-C during the download", DURING_THE_DOWNLOAD, kSkipLoader, CTRL_C_EVENT, true},
        {"Ctrl-C while the loader runs", WHILE_THE_LOADER_RUNS, kLoaderThenEnd, CTRL_C_EVENT,
         false},
        {"Ctrl-Break while the loader runs", WHILE_THE_LOADER_RUNS, kLoaderThenEnd,
         CTRL_BREAK_EVENT, false},
        {"window closed while the loader runs", WHILE_THE_LOADER_RUNS, kLoaderThenEnd,
         CTRL_CLOSE_EVENT, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        seen = ConsoleWatch{};
        watched = PortWatch{};
        event_for_the_loader = c.event;
        Keyboard answers(c.answers);
        std::istream in(&answers);
        std::ostringstream out;
        int status = -1;
        bool closed_by_then = false;  // the port was released when the handler had run
        {
            ImportPatch patches[] = {
                {&__imp_SetConsoleCtrlHandler, &CapturingSetConsoleCtrlHandler},
                {&__imp_TerminateProcess, &ThreadEndingTerminateProcess},
                {&__imp_CreateFileA, &RecordingCreateFileA},
                {&__imp_GetCommTimeouts, &LeftBehindGetCommTimeouts},
                {&__imp_CloseHandle, &TimeoutReadingCloseHandle},
                {&__imp_WriteFile, &KeepingWriteFile},
                {&__imp_CreateProcessA, &InterruptedCreateProcessA}};
            CatchInterruptions();
            std::thread technician([&] {
                if (c.when == AT_A_QUESTION) {
                    answers.Reading(10000);
                    Deliver(c.event);
                    closed_by_then = watched.read_at_close;
                } else if (c.when == DURING_THE_DOWNLOAD) {
                    // In the pause after the second line.
                    k410test::WaitUntil([&] { return seen.port_writes >= 2; }, 10000);
                    Sleep(50);
                    Deliver(c.event);
                    closed_by_then = watched.read_at_close;
                } else {
                    answers.Reading(20000);  // at the retry question
                }
                answers.Type("");
            });
            status = RunWizard(in, out);
            technician.join();
        }
        EXPECT_EQ(seen.ends != 0, c.ends) << out.str();
        if (c.ends) {
            EXPECT_EQ(seen.exit_code, 0xC000013Au);
            EXPECT_EQ(seen.said, "\r\n Interrupted !\r\n");
        } else {
            EXPECT_EQ(seen.said, "");
            // The loader's status is judged as always.
            EXPECT_TRUE(k410test::Contains(out.str(), "BSL Programming failed.\nRetry? (Y or N)>"))
                << out.str();
        }
        if (c.when != WHILE_THE_LOADER_RUNS) {
            // The port was open: it went back as it was found, and the module is closed.
            ASSERT_TRUE(closed_by_then);
            EXPECT_TRUE(watched.at_close == kLeftBehind);
            EXPECT_EQ(WritePort("x", 1), PORT_ERR_WRITE);
        }
        if (c.when == DURING_THE_DOWNLOAD) {
            EXPECT_LT(seen.port_writes, 12) << "the download went on after the interruption";
        }
        EXPECT_EQ(status, RUN_FAILED);
    }
}

}  // namespace
