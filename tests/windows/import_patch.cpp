#include "import_patch.h"

const RealFunctions real = {
    reinterpret_cast<decltype(&CreateFileA)>(__imp_CreateFileA),
    reinterpret_cast<decltype(&CloseHandle)>(__imp_CloseHandle),
    reinterpret_cast<decltype(&WriteFile)>(__imp_WriteFile),
    reinterpret_cast<decltype(&GetCommTimeouts)>(__imp_GetCommTimeouts),
    reinterpret_cast<decltype(&SetCommTimeouts)>(__imp_SetCommTimeouts),
    reinterpret_cast<decltype(&GetCommState)>(__imp_GetCommState),
    reinterpret_cast<decltype(&ClearCommError)>(__imp_ClearCommError),
};

PortWatch watched;

const COMMTIMEOUTS kLeftBehind = {7, 3, 1100, 13, 17};

HANDLE WINAPI RecordingCreateFileA(LPCSTR path, DWORD access, DWORD share,
                                   LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                   HANDLE model) {
    HANDLE handle = real.create_file(path, access, share, security, disposition, flags, model);
    watched.port = handle;
    watched.held = handle != INVALID_HANDLE_VALUE;
    watched.read_at_close = false;  // a new handle, not yet released
    return handle;
}

BOOL WINAPI LeftBehindGetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    COMMTIMEOUTS left = kLeftBehind;
    real.set_comm_timeouts(handle, &left);
    return real.get_comm_timeouts(handle, timeouts);
}

BOOL WINAPI TimeoutReadingCloseHandle(HANDLE handle) {
    if (handle == watched.port && watched.held) {
        watched.read_at_close = real.get_comm_timeouts(handle, &watched.at_close) != 0;
        watched.held = false;
    }
    return real.close_handle(handle);
}

bool HandleIsOpen(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != 0;
}
