// Interruptions on Windows: the console's control events (Ctrl-C, Ctrl-Break, the window being
// closed), which Windows hands to a handler on a thread of its own while the main thread goes on
// with whatever it was doing. The events of a user logging off or of the system shutting down
// reach services only: a console program is ended before they are sent.
#include <windows.h>

#include <atomic>

#include "console.h"
#include "console_win32.h"
#include "interrupt.h"
#include "interrupt_win32.h"
#include "port.h"

namespace {

// What a console program ended by Ctrl-C exits with (0xC000013A): a caller such as a batch
// file sees the same status whether the default handler ended the program or this one did.
constexpr UINT kInterruptedExit = static_cast<UINT>(STATUS_CONTROL_C_EXIT);

// How long the main thread, its console read ended with nothing read, waits for the Ctrl-C
// that may have ended it. The console ends the read and starts the handler's thread at the same
// moment, and that thread normally runs within milliseconds; a second leaves room for a busy
// PC. Only an end of input typed at the console (Ctrl-Z) waits it out, once, at the end of a run.
constexpr DWORD kCtrlCDelayMs = 1000;

std::atomic<bool> loader_running{false};

// Set by the first event that ends the run; later ones only finish it.
std::atomic<bool> interrupting{false};
// Signalled once the handler's thread is known (handling_thread), before the port goes back.
HANDLE interruption_begun = nullptr;
// Signalled once the port is back and the technician told.
HANDLE interruption_told = nullptr;
// The thread that handles the interruption; it ends the process.
HANDLE handling_thread = nullptr;

// Not ExitProcess: that ends the other threads wherever they are and then runs the C
// runtime's end on this one, which flushes standard output under the stream's lock. The main
// thread may have been holding that lock mid-write (a console paused by a selection, a pipe
// not being read): its half-written bytes would come out after " Interrupted !", or the end
// would wait on a lock whose owner is gone. The port is back and the text written by now;
// nothing else needs the runtime's end.
void EndInterrupted() {
    TerminateProcess(GetCurrentProcess(), kInterruptedExit);
}

BOOL WINAPI OnConsoleControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            // The loader has the same console and got the event too: its exit status says
            // whether the firmware was written, and the run goes on from there.
            if (loader_running.load()) {
                return TRUE;
            }
            break;
        case CTRL_CLOSE_EVENT:
            break;
        default:
            return FALSE;
    }
    if (interrupting.exchange(true)) {
        // Ctrl-C again while the window waits for Enter, or the window closed meanwhile: the
        // run ends as soon as the first event has the port back.
        WaitForSingleObject(interruption_told, INFINITE);
        EndInterrupted();
        return TRUE;
    }
    // From here the main thread, should it come to the end of its input or of the run, waits
    // for this thread to end the process.
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &handling_thread,
                    SYNCHRONIZE, FALSE, 0);
    SetEvent(interruption_begun);
    // The port is put back before anything else: Windows gives a closing window only a few
    // seconds, and a device left with our time-outs misleads the next program to open it.
    // AbandonPort cancels a port call of the main thread and waits a second for it at most.
    AbandonPort();
    // What the download changed of the window goes back too: PowerShell and Windows Terminal
    // would keep the progress title, and the console its QuickEdit off.
    RestoreTitle();
    RestoreConsoleState();
    WriteToConsole("\r\n Interrupted !\r\n");
    SetEvent(interruption_told);
    // A closing window goes whatever this program does.
    if (event != CTRL_CLOSE_EVENT) {
        KeepWindowAfterInterruption();
    }
    EndInterrupted();
    return TRUE;
}

// A manual-reset event, made or reset to not signalled.
void MakeUnsignalled(HANDLE* event) {
    if (*event == nullptr) {
        *event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    } else {
        ResetEvent(*event);
    }
}

}  // namespace

void CatchInterruptions() {
    interrupting.store(false);
    MakeUnsignalled(&interruption_begun);
    MakeUnsignalled(&interruption_told);
    if (handling_thread != nullptr) {
        CloseHandle(handling_thread);
        handling_thread = nullptr;
    }
    SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
}

void WaitForInterruptionAtEndOfInput() {
    if (interruption_begun == nullptr) {
        return;
    }
    // A pipe or a file ends only by itself; a console read ends also on Ctrl-C.
    DWORD mode = 0;
    if (GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) {
        WaitForSingleObject(interruption_begun, kCtrlCDelayMs);
    }
    WaitForInterruptionUnderWay();
}

void WaitForInterruptionUnderWay() {
    if (interruption_begun == nullptr ||
        WaitForSingleObject(interruption_begun, 0) != WAIT_OBJECT_0) {
        return;
    }
    // The handling thread ends the process; it may first wait for the technician's Enter.
    WaitForSingleObject(handling_thread, INFINITE);
}

void SetLoaderRunning(bool running) {
    loader_running.store(running);
}
