// Ctrl-C and the console on Windows, modelled through the import table where Wine has no console
// to press it on. Where the end of the process is what is tested (its status, what it wrote
// last, that it ends at all), this program runs again as a child that plays the scene with the
// wizard's real end; elsewhere the handler's TerminateProcess ends only the thread it runs on.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "../support/answers.h"
#include "console.h"
#include "dialogue.h"
#include "import_patch.h"
#include "interrupt.h"
#include "loader.h"

namespace {

using k410test::EndsWith;
using k410test::kSkipLoader;

// --- In the test's own process ----------------------------------------------------------------

class InterruptedConsole : public Interrupted {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(Interrupted::SetUp());
        Keyboard::at = &keyboard_;
        CatchInterruptions();
        ASSERT_NE(seen.handler, nullptr) << "CatchInterruptions set up no console control handler";
    }
    Keyboard keyboard_;
    ImportPatch patches_[5] = {{&__imp_SetConsoleCtrlHandler, &CapturingSetConsoleCtrlHandler},
                               {&__imp_TerminateProcess, &ThreadEndingTerminateProcess},
                               {&__imp_WriteFile, &KeepingWriteFile},
                               {&__imp_ReadFile, &Keyboard::ConsoleReadFile},
                               {&__imp_GetConsoleProcessList, &CountingGetConsoleProcessList}};
};

TEST_F(InterruptedConsole, WindowOfItsOwnStaysUntilEnterAfterCtrlCOrCtrlBreak) {
    struct Case {
        const char* what;
        DWORD processes;
        DWORD event;
        bool waits;  // for Enter
    };
    const Case cases[] = {
        {"Ctrl-C, started from Explorer", 1, CTRL_C_EVENT, true},
        {"Ctrl-Break, started from Explorer", 1, CTRL_BREAK_EVENT, true},
        {"window closed, started from Explorer", 1, CTRL_CLOSE_EVENT, false},
        {"Ctrl-C, started from cmd.exe", 2, CTRL_C_EVENT, false},
        {"Ctrl-C, no console", 0, CTRL_C_EVENT, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        seen.said.clear();
        seen.ends = 0;
        Keyboard keyboard;
        Keyboard::at = &keyboard;
        processes_on_the_console = c.processes;
        CatchInterruptions();
        HANDLE handling = DeliverAsync(c.event);  // Ended() fails on nullptr
        if (!c.waits) {
            ASSERT_TRUE(Ended(handling, 10000));
            EXPECT_EQ(seen.said, "\r\n Interrupted !\r\n");
            EXPECT_FALSE(keyboard.Reading(0)) << "read the keyboard";
        } else {
            ASSERT_TRUE(keyboard.Reading(10000))
                << "ended without waiting for Enter; said: " << seen.said;
            EXPECT_EQ(seen.said, "\r\n Interrupted !\r\n\r\nPress Enter to close this window.");
            EXPECT_EQ(seen.ends, 0);
            keyboard.Type("\r\n");
            ASSERT_TRUE(Ended(handling, 10000));
        }
        EXPECT_EQ(seen.ends, 1);
        EXPECT_EQ(seen.exit_code, 0xC000013Au);
    }
}

TEST_F(InterruptedConsole, CtrlCAgainWhileTheWindowWaitsForEnterEndsTheRun) {
    processes_on_the_console = 1;
    HANDLE first = DeliverAsync(CTRL_C_EVENT);
    ASSERT_TRUE(keyboard_.Reading(10000));
    // The console hands the second Ctrl-C to a thread of its own, and ends the waiting read
    // with nothing read.
    EXPECT_TRUE(Ended(DeliverAsync(CTRL_C_EVENT), 10000))
        << "the second Ctrl-C did not end the run";
    EXPECT_EQ(seen.ends, 1);
    EXPECT_EQ(seen.exit_code, 0xC000013Au);
    keyboard_.Type("");
    EXPECT_TRUE(Ended(first, 10000)) << "the read that Ctrl-C ended did not end the wait";
    // Said once, whichever thread ends the run.
    EXPECT_EQ(seen.said, "\r\n Interrupted !\r\n\r\nPress Enter to close this window.");
}

TEST_F(InterruptedConsole, LogoffAndShutdownAreLeftToTheSystem) {
    // Only services receive them; a console program is ended before they are sent.
    processes_on_the_console = 2;
    for (DWORD event : {DWORD{CTRL_LOGOFF_EVENT}, DWORD{CTRL_SHUTDOWN_EVENT}}) {
        SCOPED_TRACE(event);
        HANDLE handling = DeliverAsync(event);
        ASSERT_EQ(WaitForSingleObject(handling, 10000), WAIT_OBJECT_0);
        DWORD handled = 1;
        GetExitCodeThread(handling, &handled);
        CloseHandle(handling);
        EXPECT_EQ(handled, static_cast<DWORD>(FALSE)) << "the handler took the event";
    }
    EXPECT_EQ(seen.said, "");
    EXPECT_EQ(seen.ends, 0);
}

// Standard input and output as a console with modes of their own; a mode of 0 is no console
// there (a pipe or a file). With `telling`, QuickEdit turned on or off is told on standard
// output (Learn, SetConsoleMode: ENABLE_EXTENDED_FLAGS without ENABLE_QUICK_EDIT_MODE turns it
// off).
struct FakeConsole {
    DWORD input_mode = 0;
    DWORD output_mode = 0;
    int modes_set = 0;
    bool telling = false;
};
FakeConsole console;
// A console's own modes: line input with echo; with QuickEdit on, the Windows 10 default.
const DWORD kLineInput = ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT;
const DWORD kInput =
    kLineInput | ENABLE_QUICK_EDIT_MODE | ENABLE_INSERT_MODE | ENABLE_EXTENDED_FLAGS;
const DWORD kOutput = ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT;

// Written straight to standard output's handle, past any wrapper: a child's account of itself.
void Tell(const std::string& text) {
    DWORD written = 0;
    real.WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()),
                   &written, nullptr);
}

// The mode kept for a console handle; nullptr (ERROR_INVALID_HANDLE set) for any other.
DWORD* ModeOf(HANDLE handle) {
    DWORD* mode = handle == GetStdHandle(STD_INPUT_HANDLE)    ? &console.input_mode
                  : handle == GetStdHandle(STD_OUTPUT_HANDLE) ? &console.output_mode
                                                              : nullptr;
    if (mode == nullptr || *mode == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return mode;
}
BOOL WINAPI FakeGetConsoleMode(HANDLE handle, LPDWORD mode) {
    DWORD* kept = ModeOf(handle);
    if (kept != nullptr) {
        *mode = *kept;
    }
    return kept != nullptr;
}
BOOL WINAPI FakeSetConsoleMode(HANDLE handle, DWORD mode) {
    ++console.modes_set;
    DWORD* kept = ModeOf(handle);
    if (kept == nullptr) {
        return FALSE;
    }
    if (console.telling && kept == &console.input_mode && (mode & ENABLE_EXTENDED_FLAGS) != 0) {
        Tell((mode & ENABLE_QUICK_EDIT_MODE) != 0 ? "[QuickEdit on]" : "[QuickEdit off]");
    }
    *kept = mode;
    return TRUE;
}

// A loader (the stand-in, which CTest puts on PATH, ending with status 0) that leaves the console
// as it likes it: input raw, without echo; output without wrapping at the line's end.
BOOL WINAPI ModeChangingCreateProcessA(LPCSTR program, LPSTR command_line,
                                       LPSECURITY_ATTRIBUTES process, LPSECURITY_ATTRIBUTES thread,
                                       BOOL inherit, DWORD flags, LPVOID environment, LPCSTR folder,
                                       LPSTARTUPINFOA startup, LPPROCESS_INFORMATION started) {
    if (console.input_mode != 0) {
        console.input_mode = ENABLE_EXTENDED_FLAGS;
        console.output_mode = ENABLE_PROCESSED_OUTPUT;
    }
    return real.CreateProcessA(program, command_line, process, thread, inherit, flags, environment,
                               folder, startup, started);
}

TEST(ConsoleModes, LoaderThatChangesThemLeavesThemAsTheyWere) {
    ImportPatch patches[] = {{&__imp_GetConsoleMode, &FakeGetConsoleMode},
                             {&__imp_SetConsoleMode, &FakeSetConsoleMode},
                             {&__imp_CreateProcessA, &ModeChangingCreateProcessA}};
    const std::vector<std::string> command = {"BSL.EXE", "+mpvr", "-c\\\\.\\COM3", "K410IV.TXT"};
    console = FakeConsole{kInput, kOutput};
    EXPECT_EQ(LaunchLoader(command), 0);
    EXPECT_EQ(console.input_mode, kInput);
    EXPECT_EQ(console.output_mode, kOutput);
    // Nothing to put back without a console.
    console = FakeConsole{};
    EXPECT_EQ(LaunchLoader(command), 0);
    EXPECT_EQ(console.modes_set, 0);
}

TEST(ConsoleOutput, ConsoleIsToldFromAPipeOrAFile) {
    ImportPatch get(&__imp_GetConsoleMode, &FakeGetConsoleMode);
    console = FakeConsole{0, kOutput};
    EXPECT_TRUE(OutputIsTerminal());
    console = FakeConsole{};
    EXPECT_FALSE(OutputIsTerminal());
}

TEST(EndOfInput, FromAPipeOrAFileEndsTheRunWithoutWaiting) {
    ImportPatch handler(&__imp_SetConsoleCtrlHandler, &CapturingSetConsoleCtrlHandler);
    ImportPatch get(&__imp_GetConsoleMode, &FakeGetConsoleMode);
    console = FakeConsole{};
    CatchInterruptions();
    std::istringstream in("");
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(ReadAnswer(in), kEndOfInput);
    // Loose: a console waits a second for its Ctrl-C; nothing else waits at all.
    EXPECT_LT(GetTickCount64() - start, 500u);
}

// --- In a child process: the end of the process itself ----------------------------------------

// What the parent passes: a scene, and a number for it.
const char kChildSwitch[] = "--child";
ChildRun RunChild(const char* scene, int number, const std::string& folder) {
    return RunThisProgram(std::string(kChildSwitch) + " " + scene + " " + std::to_string(number),
                          folder);
}

// The port as the analyzer's line: its time-outs as another program left them, and at its
// release the time-outs it had then told on standard output.
BOOL WINAPI TellingCloseHandle(HANDLE handle) {
    if (handle == watched.port && watched.held) {
        COMMTIMEOUTS now = {};
        real.GetCommTimeouts(handle, &now);
        Tell("[port released, read interval " + std::to_string(now.ReadIntervalTimeout) + "]");
    }
    return TimeoutReadingCloseHandle(handle);
}
// The technician presses Ctrl-C in the pause after the second line of the download.
BOOL WINAPI CtrlCAfterSecondLineWriteFile(HANDLE handle, LPCVOID bytes, DWORD count,
                                          LPDWORD written, LPOVERLAPPED overlapped) {
    if (handle == watched.port && watched.held && ++seen.port_writes == 2) {
        CloseHandle(DeliverAsync(CTRL_C_EVENT));
    }
    return real.WriteFile(handle, bytes, count, written, overlapped);
}

// After the technician's answers, the console read that Ctrl-C ends, with the event delivered
// `delay_ms` after the read has returned (before it when negative, not at all when kNoCtrlC).
constexpr int kNoCtrlC = 1000000;
std::string CtrlCAtTheEndOfTheRead(int delay_ms) {
    if (delay_ms < 0) {
        CloseHandle(DeliverAsync(CTRL_C_EVENT));
        Sleep(static_cast<DWORD>(-delay_ms));
    } else if (delay_ms != kNoCtrlC) {
        std::thread([delay_ms] {
            Sleep(static_cast<DWORD>(delay_ms));
            seen.handler(CTRL_C_EVENT);
        }).detach();
    }
    return "";
}

// Ctrl-C at the first question, the console's read ending with nothing read.
int CtrlCAtAQuestion(int delay_ms) {
    console = FakeConsole{kLineInput};
    ImportPatch mode(&__imp_GetConsoleMode, &FakeGetConsoleMode);
    Keyboard answers("3\n", [delay_ms] { return CtrlCAtTheEndOfTheRead(delay_ms); });
    std::istream in(&answers);
    return RunProgram(in, std::cout);
}

// The download in a window of the program's own; with `ctrl_c` 1, Ctrl-C in the pause after its
// second line. The technician's console has QuickEdit on and a title of its own; what the run
// makes of them is told on standard output.
int DownloadInItsOwnWindow(int ctrl_c) {
    processes_on_the_console = 1;
    console = FakeConsole{kInput, 0, 0, true};
    // The technician reads the window for a second, then presses Enter.
    Keyboard enter("", [] {
        Sleep(1000);
        return std::string("\r\n");
    });
    Keyboard::at = &enter;
    on_title_set = [](LPCWSTR title) {
        if (lstrcmpW(title, kOwnTitle) == 0) {
            Tell("[title back]");
        }
    };
    ImportPatch patches[] = {
        {&__imp_GetConsoleProcessList, &CountingGetConsoleProcessList},
        {&__imp_ReadFile, &Keyboard::ConsoleReadFile},
        {&__imp_WriteFile, ctrl_c != 0 ? &CtrlCAfterSecondLineWriteFile : real.WriteFile},
        {&__imp_GetConsoleMode, &FakeGetConsoleMode},
        {&__imp_SetConsoleMode, &FakeSetConsoleMode},
        {&__imp_GetConsoleTitleW, &OwnGetConsoleTitleW},
        {&__imp_SetConsoleTitleW, &RecordingSetConsoleTitleW}};
    Keyboard answers(kSkipLoader, [] { return CtrlCAtTheEndOfTheRead(kNoCtrlC); });
    std::istream in(&answers);
    return RunProgram(in, std::cout);
}

// The main thread in the middle of writing to standard output, holding the C runtime's lock on
// it, when Ctrl-C comes: as a console paused by a selection, or a pipe not being read, holds it.
int CtrlCWhileStandardOutputIsLocked(int) {
    _lock_file(stdout);
    std::fputs("half a line", stdout);
    CloseHandle(DeliverAsync(CTRL_C_EVENT));
    Sleep(INFINITE);
    return 0;
}

int PlayChild(const std::string& scene, int number) {
    ImportPatch patches[] = {{&__imp_SetConsoleCtrlHandler, &CapturingSetConsoleCtrlHandler},
                             {&__imp_CreateFileA, &RecordingCreateFileA},
                             {&__imp_GetCommTimeouts, &LeftBehindGetCommTimeouts},
                             {&__imp_CloseHandle, &TellingCloseHandle}};
    CatchInterruptions();
    int (*const play)(int) = scene == "question"   ? &CtrlCAtAQuestion
                             : scene == "download" ? &DownloadInItsOwnWindow
                                                   : &CtrlCWhileStandardOutputIsLocked;
    return play(number);
}

using InterruptedRun = Interrupted;

const char kFirstQuestion[] = "Is your TALVEN equipped with the HEAVY DUTY battery option? (Y/N)>";
const std::string kPortBack =
    "[port released, read interval " + std::to_string(kLeftBehind.ReadIntervalTimeout) + "]";

TEST_F(InterruptedRun, CtrlCAtAQuestionEndsOneWayHoweverItMeetsTheEndOfTheRead) {
    struct Case {
        const char* what;
        int delay_ms;
    };
    const Case cases[] = {
        {"the event before the read ends", -200},
        {"the event just after the read ends", 0},
        {"the event 20 ms after", 20},
        {"the event 300 ms after", 300},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ChildRun run = RunChild("question", c.delay_ms, folder_.path());
        ASSERT_TRUE(run.ended) << run.output;
        EXPECT_EQ(run.status, 0xC000013Au) << run.output;
        EXPECT_TRUE(EndsWith(run.output, kFirstQuestion + kPortBack + "\r\n Interrupted !\r\n"))
            << run.output;
    }
}

TEST_F(InterruptedRun, EndOfInputTypedAtTheConsoleStillEndsTheRunAsBefore) {
    ChildRun run = RunChild("question", kNoCtrlC, folder_.path());
    ASSERT_TRUE(run.ended) << run.output;
    EXPECT_EQ(run.status, 1u);
    EXPECT_TRUE(EndsWith(run.output, kFirstQuestion + kPortBack + "\r\n")) << run.output;
}

// QuickEdit is off while the lines go out (microsoft/terminal #34, #2678: a selection holds up
// every write); it and the window's title are back however the download ends.
TEST_F(InterruptedRun, CtrlCDuringTheDownloadIsTheLastThingTheWindowShows) {
    // The window waits a second for Enter, time enough for the download to go on, fail its
    // next write and end the run, unless the interruption holds it.
    ChildRun run = RunChild("download", 1, folder_.path());
    ASSERT_TRUE(run.ended) << run.output;
    EXPECT_EQ(run.status, 0xC000013Au) << run.output;
    EXPECT_TRUE(EndsWith(run.output,
                         "Downloading EEPROM Data...\r\n[QuickEdit off]DATA LINE 0\rDATA "
                         "LINE 1\r" +
                             kPortBack +
                             "[title back][QuickEdit on]\r\n Interrupted !\r\n\r\nPress "
                             "Enter to close this window."))
        << run.output;
    run = RunChild("download", 0, folder_.path());
    EXPECT_EQ(run.status, 0u) << run.output;
    EXPECT_TRUE(
        EndsWith(run.output, "DATA LINE 11\r[title back][QuickEdit on]\r\n" + kPortBack +
                                 "Programming Complete!\r\n\r\nPress Enter to close this window."))
        << run.output;
}

TEST_F(InterruptedRun, EndsEvenWithStandardOutputLockedMidWrite) {
    ChildRun run = RunChild("locked", 0, folder_.path());
    ASSERT_TRUE(run.ended) << "hung; wrote: " << run.output;
    EXPECT_EQ(run.status, 0xC000013Au);
    // The half-written line stays unwritten: " Interrupted !" is the last word.
    EXPECT_EQ(run.output, "\r\n Interrupted !\r\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], kChildSwitch) == 0) {
        return PlayChild(argv[2], std::atoi(argv[3]));
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
