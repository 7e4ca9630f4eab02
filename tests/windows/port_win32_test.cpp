// What of port.h only the Windows build can show, on the lines of the contract suite
// (line_fixture.h): the listing of the system's COM ports, and the faults that no line here can
// produce (a driver refusing a call while opening, a failing close, a short or undrained write),
// injected through the import table. The promises every platform keeps are in
// tests/serial/port_contract_test.cpp.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "import_patch.h"
#include "line_fixture.h"
#include "port.h"

namespace {

using std::chrono::milliseconds;
constexpr DWORD kInvalid = ERROR_INVALID_PARAMETER;

// Releases the handle but reports failure, as a driver error would.
BOOL WINAPI FailingCloseHandle(HANDLE handle) {
    real.CloseHandle(handle);
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
}
// Sends all but the last byte and says so, as a driver does when the line stalls.
BOOL WINAPI ShortWriteFile(HANDLE handle, LPCVOID bytes, DWORD count, LPDWORD written,
                           LPOVERLAPPED overlapped) {
    return real.WriteFile(handle, bytes, count > 0 ? count - 1 : 0, written, overlapped);
}
// The driver's output queue never empties: the bytes were taken but never leave.
BOOL WINAPI StuckQueueClearCommError(HANDLE handle, LPDWORD errors, LPCOMSTAT status) {
    BOOL result = real.ClearCommError(handle, errors, status);
    if (status != nullptr) {
        status->cbOutQue = 4;
    }
    return result;
}
// Windows' own SetCommState hands the DCB to the driver as four requests in turn (the baud rate,
// the line control, the handshake, the characters) and stops at the first the driver refuses,
// keeping those before it: Wine's and ReactOS's kernel32 SetCommState, which send
// IOCTL_SERIAL_SET_BAUD_RATE, _SET_LINE_CONTROL, _SET_HANDFLOW and _SET_CHARS so. This driver
// takes the baud rate and refuses the line control.
BOOL WINAPI BaudRateOnlySetCommState(HANDLE handle, LPDCB dcb) {
    DCB now = {};
    now.DCBlength = sizeof(now);
    real.GetCommState(handle, &now);
    now.BaudRate = dcb->BaudRate;
    real.SetCommState(handle, &now);
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}
class SerialLine : public PortContract {};

TEST_F(SerialLine, ListingHasThePortsPresentAndNoneElse) {
    ExpectTheRegisteredLinesListed(ListPorts());
    // The far end stays open while listed, and the listing changed nothing on the line.
    ASSERT_EQ(OpenPort(line_.path()), PORT_OK);
    EXPECT_EQ(GetPortReason(), PORT_REASON_NONE);
}

TEST_F(SerialLine, EveryRefusalWhileOpeningReleasesTheDeviceWithItsCode) {
    struct Case {
        const char* what;
        void** slot;
        void* replacement;
        int expected;
    };
    const Case cases[] = {
        {"buffer sizes refused", &__imp_SetupComm, Refusal<kInvalid>(&SetupComm), PORT_ERR_OPEN},
        {"time-outs refused", &__imp_SetCommTimeouts, Refusal<kInvalid>(&SetCommTimeouts),
         PORT_ERR_OPEN},
        {"line settings unreadable", &__imp_GetCommState, Refusal<kInvalid>(&GetCommState),
         PORT_ERR_OPEN},
        {"line settings refused", &__imp_SetCommState, Refusal<kInvalid>(&SetCommState),
         PORT_ERR_SETSTATE},
        {"line settings refused after the baud rate was taken", &__imp_SetCommState,
         reinterpret_cast<void*>(&BaudRateOnlySetCommState), PORT_ERR_SETSTATE},
    };
    ImportPatch left(&__imp_GetCommTimeouts, &LeftBehindGetCommTimeouts);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(line_.SpoilSettings());  // 2400 baud
        {
            ImportPatch refuse(c.slot, c.replacement);
            EXPECT_EQ(OpenPort(line_.path()), c.expected);
        }
        // The device goes back with its line settings, and the time-outs it had once read.
        ASSERT_TRUE(watched.read_at_close);
        EXPECT_EQ(watched.at_close.ReadTotalTimeoutConstant == kLeftBehind.ReadTotalTimeoutConstant,
                  c.slot != &__imp_SetupComm);
        EXPECT_EQ(watched.line_at_close.BaudRate, static_cast<DWORD>(CBR_2400))
            << "the line settings were not put back";
        EXPECT_EQ(GetPortError(), c.expected);
        EXPECT_EQ(GetPortReason(),
                  c.expected == PORT_ERR_SETSTATE ? PORT_REASON_REFUSED : PORT_REASON_NOT_SERIAL);
        ASSERT_NE(watched.port, INVALID_HANDLE_VALUE);
        EXPECT_FALSE(HandleIsOpen(watched.port)) << "the device was not released";
        EXPECT_EQ(WritePort("x", 1), PORT_ERR_WRITE) << "the module did not stay closed";
        // And the port is usable again at once.
        EXPECT_EQ(OpenPort(line_.path()), PORT_OK);
        EXPECT_EQ(ClosePort(), PORT_OK);
    }
}

TEST_F(SerialLine, FailedReleaseIsACloseErrorAndTheModuleIsClosedAllTheSame) {
    ASSERT_EQ(OpenPort(line_.path()), PORT_OK);
    {
        ImportPatch close(&__imp_CloseHandle, &FailingCloseHandle);
        EXPECT_EQ(ClosePort(), PORT_ERR_CLOSE);
    }
    EXPECT_EQ(GetPortError(), PORT_ERR_CLOSE);
    EXPECT_EQ(WritePort("x", 1), PORT_ERR_WRITE);
    EXPECT_EQ(ClosePort(), PORT_OK);
}

TEST_F(SerialLine, ShortOrUndrainedWriteIsAWriteErrorWithinOneSecondPlusTwoMsPerByte) {
    ASSERT_EQ(OpenPort(line_.path()), PORT_OK);
    {
        ImportPatch short_write(&__imp_WriteFile, &ShortWriteFile);
        EXPECT_EQ(WritePort("ABCD", 4), PORT_ERR_WRITE);
    }
    EXPECT_EQ(line_.Received(3, milliseconds(3000)), "ABC")
        << "what went out is a prefix of the bytes";

    struct Case {
        const char* what;
        void* replacement;
        ULONGLONG at_least_ms;  // how long the write must keep trying
        int reason;             // PORT_REASON_NONE: the write succeeds
    };
    // The write whose time-outs run out is the contract suite's, on a stalled line.
    const Case cases[] = {
        {"queue never empties", reinterpret_cast<void*>(&StuckQueueClearCommError), 900,
         PORT_REASON_STALLED},
        // The driver cannot say what is queued: the device has gone.
        {"device gone", Refusal<ERROR_BAD_COMMAND>(&ClearCommError), 0, PORT_REASON_GONE},
        // Some virtual and USB ports fail every ClearCommError with 87 (pyserial #575).
        {"queue never told", Refusal<kInvalid>(&ClearCommError), 0, PORT_REASON_NONE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ImportPatch fault(&__imp_ClearCommError, c.replacement);
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(WritePort("EFGH", 4), c.reason == PORT_REASON_NONE ? PORT_OK : PORT_ERR_WRITE);
        const ULONGLONG elapsed = GetTickCount64() - start;
        EXPECT_GE(elapsed, c.at_least_ms);
        EXPECT_LE(elapsed, 1008u + 1000u) << "the write outlived its bound of 1008 ms";
        EXPECT_TRUE(c.reason == PORT_REASON_NONE || GetPortReason() == c.reason);
    }
    EXPECT_EQ(GetPortError(), PORT_OK) << "a write changed the last error";
    // The line is still usable once the fault is gone.
    line_.Received(12, milliseconds(500));
    EXPECT_EQ(WritePort("IJ", 2), PORT_OK);
    EXPECT_EQ(line_.Received(2, milliseconds(3000)), "IJ");
}

}  // namespace
