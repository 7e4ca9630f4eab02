// Test harness for the Windows tests: faults that no device can produce are injected by
// swapping one slot of the test program's import table (the __imp_ pointer through which it and
// the libraries linked into it call a KERNEL32 function) for a wrapper; everything else still
// reaches the real system.
//
// Beside the patch itself: the slots the tests patch, the real functions behind them, and the
// wrappers that watch the port module's device (its handle, the time-outs it leaves behind),
// which the port's contract suite and the interruption tests share.
#pragma once

#include <windows.h>

#include <string>

// Replaces one import-table slot for the life of the object.
class ImportPatch {
  public:
    ImportPatch(void** slot, void* replacement) : slot_(slot), saved_(*slot) { Write(replacement); }
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

// Puts the folder of the build's stand-in loader BSL.EXE (K410_BSL_STANDIN_DIR) first on PATH,
// where LaunchLoader finds it, for the life of the object; ok() is false when that variable is
// not set. With CreateProcessA patched, a loader that really runs.
class StandInLoaderOnPath {
  public:
    StandInLoaderOnPath() {
        was_.resize(GetEnvironmentVariableA("PATH", nullptr, 0));
        was_.resize(GetEnvironmentVariableA("PATH", &was_[0], static_cast<DWORD>(was_.size())));
        char folder[MAX_PATH];
        const DWORD length = GetEnvironmentVariableA("K410_BSL_STANDIN_DIR", folder, MAX_PATH);
        // Under Wine the folder is a Linux path, which names a folder of the Linux root only
        // on its drive, Z:, and not from a test that has moved to a folder on C:.
        const std::string drive = length > 0 && folder[0] == '/' ? "Z:" : "";
        ok_ = length > 0 && length < MAX_PATH &&
              SetEnvironmentVariableA("PATH", (drive + folder + ";" + was_).c_str());
    }
    ~StandInLoaderOnPath() { SetEnvironmentVariableA("PATH", was_.c_str()); }
    StandInLoaderOnPath(const StandInLoaderOnPath&) = delete;
    StandInLoaderOnPath& operator=(const StandInLoaderOnPath&) = delete;
    bool ok() const { return ok_; }

  private:
    std::string was_;
    bool ok_ = false;
};

// The import-table slots through which the test programs (and the modules linked into them)
// call KERNEL32 and the C runtime.
extern "C" {
extern void* __imp_CreateFileA;
extern void* __imp_SetupComm;
extern void* __imp_GetCommTimeouts;
extern void* __imp_SetCommTimeouts;
extern void* __imp_GetCommState;
extern void* __imp_SetCommState;
extern void* __imp_PurgeComm;
extern void* __imp_ClearCommError;
extern void* __imp_WriteFile;
extern void* __imp_CloseHandle;
extern void* __imp_SetConsoleCtrlHandler;
extern void* __imp_TerminateProcess;
extern void* __imp_GetConsoleProcessList;
extern void* __imp_GetConsoleTitleA;
extern void* __imp_SetConsoleTitleA;
extern void* __imp_CreateProcessA;
extern void* __imp_CreateWaitableTimerExW;
}

// The functions the wrappers call through: taken from the slots before any patch is in.
struct RealFunctions {
    decltype(&CreateFileA) create_file;
    decltype(&CloseHandle) close_handle;
    decltype(&WriteFile) write_file;
    decltype(&GetCommTimeouts) get_comm_timeouts;
    decltype(&SetCommTimeouts) set_comm_timeouts;
    decltype(&GetCommState) get_comm_state;
    decltype(&ClearCommError) clear_comm_error;
};
extern const RealFunctions real;

// What the wrappers below saw of the port module's device.
struct PortWatch {
    HANDLE port = nullptr;       // the handle the last CreateFileA gave
    bool held = false;           // ...and it is not closed yet
    COMMTIMEOUTS at_close = {};  // the device's time-outs just before its handle went
    bool read_at_close = false;
};
extern PortWatch watched;

// Time-outs that an earlier program left on the device.
extern const COMMTIMEOUTS kLeftBehind;

// CreateFileA, noting the handle it gives in `watched`.
HANDLE WINAPI RecordingCreateFileA(LPCSTR path, DWORD access, DWORD share,
                                   LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                   HANDLE model);
// Windows keeps a port's time-outs from one open to the next; Wine starts every handle afresh.
// So that a test sees the same on both, this GetCommTimeouts gives the device kLeftBehind just
// as the module reads them.
BOOL WINAPI LeftBehindGetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts);
// CloseHandle, reading the watched device's time-outs just before its handle goes.
BOOL WINAPI TimeoutReadingCloseHandle(HANDLE handle);

// True while `handle` is an open handle of this process.
bool HandleIsOpen(HANDLE handle);
