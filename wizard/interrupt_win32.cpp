// Interruptions on Windows: the console's control events (Ctrl-C, Ctrl-Break, the window being
// closed, the user logging off or the system shutting down), which Windows hands to a handler
// on a thread of its own while the main thread goes on with whatever it was doing.
#include <windows.h>

#include <atomic>

#include "interrupt.h"
#include "interrupt_win32.h"
#include "port.h"

namespace {

// What a console program ended by Ctrl-C exits with (0xC000013A): a caller such as a batch
// file sees the same status whether the default handler ended the program or this one did.
constexpr UINT kInterruptedExit = static_cast<UINT>(STATUS_CONTROL_C_EXIT);

std::atomic<bool> loader_running{false};

// Written straight to the console handle: the main thread may hold the C runtime's locks on
// standard output at this moment, and the process ends right after.
void SayInterrupted() {
    static const char kText[] = "\r\n Interrupted !\r\n";
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out != nullptr && out != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(out, kText, sizeof(kText) - 1, &written, nullptr);
    }
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
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            break;
        default:
            return FALSE;
    }
    // The port is put back before anything else: Windows gives a closing window only a few
    // seconds, and a device left with our time-outs misleads the next program to open it.
    AbandonPort();
    SayInterrupted();
    ExitProcess(kInterruptedExit);
}

}  // namespace

void CatchInterruptions() {
    SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
}

void SetLoaderRunning(bool running) {
    loader_running.store(running);
}
