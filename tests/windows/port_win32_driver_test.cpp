// The Win32 serial module against what real drivers do and Wine's do not, each modelled in this
// program's import table; the module's other calls reach the null-modem lines of null-modem.sh.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>

#include "import_patch.h"
#include "line_fixture.h"
#include "open_failure.h"
#include "port.h"

namespace {

using std::chrono::milliseconds;

// The driver as modelled; reset by each test.
struct Driver {
    HANDLE port = nullptr;        // the module's handle to COM3
    DWORD open_error = 0;         // CreateFileA fails with this when not 0
    bool error_pending = false;   // a line error not yet cleared (fAbortOnError set)
    bool dcb_taken = false;       // SetCommState took a DCB...
    DCB dcb = {};                 // ...this one
    DWORD fail_after = 0;         // a write fails after this many bytes went out...
    DWORD fail_with = 0;          // ...with this error (0: it does not fail)
    bool never_ends = false;      // CreateFileA and WriteFile block until cancelled
    bool cancel_ignored = false;  // ...and not even then
    DWORD blocked = 0;            // the thread blocked in the driver
    std::string wire;             // what went out on the line, in order
    int writes = 0;               // WriteFile calls on the port
};
Driver driver;
HANDLE cancelled = CreateEventA(nullptr, TRUE, FALSE, nullptr);  // the blocked call cancelled

void ResetDriver(HANDLE port = driver.port) {
    driver = Driver{};
    driver.port = port;
    ResetEvent(cancelled);
}

// A call that its driver never completes by itself (WriteFile on the Moxa NPort driver, which
// ignores COMMTIMEOUTS: jSerialComm #335; CreateFileA of a Bluetooth port: RJCP SerialPortStream
// #37) ends when cancelled, failing with ERROR_OPERATION_ABORTED (Learn, CancelSynchronousIo and
// CancelIoEx). Left uncancelled, the model gives up after 5 s rather than hang the test.
bool BlockedUntilCancelled() {
    driver.blocked = GetCurrentThreadId();
    const bool ended = WaitForSingleObject(cancelled, 5000) == WAIT_OBJECT_0;
    driver.blocked = 0;
    SetLastError(ERROR_OPERATION_ABORTED);
    return ended;
}
BOOL WINAPI ModelCancelSynchronousIo(HANDLE thread) {
    if (driver.blocked == 0 || GetThreadId(thread) != driver.blocked) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    if (!driver.cancel_ignored) {
        SetEvent(cancelled);
    }
    return TRUE;
}
BOOL WINAPI ModelCancelIoEx(HANDLE handle, LPOVERLAPPED) {
    return handle == driver.port && driver.blocked != 0 && !driver.cancel_ignored &&
           SetEvent(cancelled);
}

HANDLE WINAPI ModelCreateFileA(LPCSTR path, DWORD access, DWORD share,
                               LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                               HANDLE model) {
    if (driver.never_ends && BlockedUntilCancelled()) {
        return INVALID_HANDLE_VALUE;
    }
    if (driver.open_error != 0) {
        SetLastError(driver.open_error);
        return INVALID_HANDLE_VALUE;
    }
    driver.port = real.CreateFileA(path, access, share, security, disposition, flags, model);
    return driver.port;
}

// With fAbortOnError set and a line error pending, the driver refuses every call but
// ClearCommError, which clears the error.
BOOL WINAPI ModelClearCommError(HANDLE handle, LPDWORD errors, LPCOMSTAT status) {
    const BOOL result = real.ClearCommError(handle, errors, status);
    if (handle == driver.port && driver.error_pending) {
        driver.error_pending = false;
        if (errors != nullptr) {
            *errors |= CE_FRAME;
        }
    }
    return result;
}
BOOL WINAPI ModelSetupComm(HANDLE handle, DWORD in_queue, DWORD out_queue) {
    if (handle == driver.port && driver.error_pending) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return FALSE;
    }
    return real.SetupComm(handle, in_queue, out_queue);
}

// What another program left in the DCB: a USB CDC driver's flow-control limits for a queue of
// 100 kB, MSYS2's fAbortOnError, XON equal to XOFF, an end-of-file and an event character, and
// every kind of handshake.
BOOL WINAPI LeftBehindGetCommState(HANDLE handle, LPDCB dcb) {
    if (!real.GetCommState(handle, dcb)) {
        return FALSE;
    }
    dcb->BaudRate = CBR_2400;
    dcb->ByteSize = 7;
    dcb->Parity = EVENPARITY;
    dcb->StopBits = TWOSTOPBITS;
    dcb->fAbortOnError = 1;
    dcb->XonLim = dcb->XoffLim = 25000;
    dcb->XonChar = dcb->XoffChar = 0x11;
    dcb->EofChar = 0x1A;
    dcb->EvtChar = '\n';
    dcb->ErrorChar = '?';
    dcb->fErrorChar = dcb->fNull = dcb->fDsrSensitivity = 1;
    dcb->fOutxCtsFlow = dcb->fOutxDsrFlow = dcb->fOutX = dcb->fInX = 1;
    dcb->fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb->fRtsControl = RTS_CONTROL_TOGGLE;
    dcb->fTXContinueOnXoff = 0;
    return TRUE;
}
// serial.sys: XON equal to XOFF, and limits beyond the input queue (512 bytes asked), are
// invalid parameters.
BOOL WINAPI CheckingSetCommState(HANDLE handle, LPDCB dcb) {
    if (handle == driver.port) {
        driver.dcb_taken = true;
        driver.dcb = *dcb;
        if (dcb->XonChar == dcb->XoffChar || dcb->XonLim > 512 || dcb->XoffLim > 512) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    }
    return real.SetCommState(handle, dcb);
}

// A write that fails part-way, after `fail_after` bytes went out: a line error (a framing error
// or a break from the analyzer, ERROR_OPERATION_ABORTED), the adapter pulled (1167); with a line
// error pending, at once. A failing synchronous WriteFile reports 0 bytes written: it sets the
// count to 0 before any work and fills it in only on success (Learn, WriteFile;
// dotnet/runtime #57229).
BOOL WINAPI ModelWriteFile(HANDLE handle, LPCVOID bytes, DWORD count, LPDWORD written,
                           LPOVERLAPPED overlapped) {
    if (handle != driver.port) {
        return real.WriteFile(handle, bytes, count, written, overlapped);
    }
    ++driver.writes;
    *written = 0;
    if (driver.error_pending) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return FALSE;
    }
    if (driver.never_ends) {
        return BlockedUntilCancelled() ? FALSE : TRUE;
    }
    const DWORD taking =
        driver.fail_with != 0 && driver.fail_after < count ? driver.fail_after : count;
    DWORD sent = 0;
    if (taking > 0 && !real.WriteFile(handle, bytes, taking, &sent, overlapped)) {
        return FALSE;
    }
    driver.wire.append(static_cast<const char*>(bytes), sent);
    if (taking < count) {
        SetLastError(driver.fail_with);
        return FALSE;
    }
    *written = sent;
    return TRUE;
}

std::string Fields(const DCB& d) {
    std::ostringstream out;
    out << "DCBlength " << d.DCBlength << "\nBaudRate " << d.BaudRate << " ByteSize " << +d.ByteSize
        << " Parity " << +d.Parity << " StopBits " << +d.StopBits << " fBinary " << d.fBinary
        << "\nXonChar " << +d.XonChar << " XoffChar " << +d.XoffChar << " EofChar " << +d.EofChar
        << " EvtChar " << +d.EvtChar << " fErrorChar " << d.fErrorChar << " fNull " << d.fNull
        << "\nfOutxCtsFlow " << d.fOutxCtsFlow << " fOutxDsrFlow " << d.fOutxDsrFlow
        << " fDtrControl " << d.fDtrControl << " fRtsControl " << d.fRtsControl
        << "\nfDsrSensitivity " << d.fDsrSensitivity << " fTXContinueOnXoff " << d.fTXContinueOnXoff
        << " fOutX " << d.fOutX << " fInX " << d.fInX << " wReserved " << d.wReserved;
    return out.str();
}

class Driven : public PortContract {
  protected:
    void SetUp() override {
        ResetDriver(nullptr);
        PortContract::SetUp();
    }
    // Each passes a call on untouched until a test sets a fault in `driver`.
    ImportPatch patches_[3] = {{&__imp_CreateFileA, &ModelCreateFileA},
                               {&__imp_WriteFile, &ModelWriteFile},
                               {&__imp_CancelSynchronousIo, &ModelCancelSynchronousIo}};
};

TEST_F(Driven, EveryLineSettingAnotherProgramLeftIsReplaced) {
    {
        ImportPatch get(&__imp_GetCommState, &LeftBehindGetCommState);
        ImportPatch set(&__imp_SetCommState, &CheckingSetCommState);
        ASSERT_EQ(OpenPort(line_.path()), PORT_OK) << "reason " << GetPortReason();
    }
    ASSERT_TRUE(driver.dcb_taken);
    const DCB& dcb = driver.dcb;
    EXPECT_EQ(dcb.fAbortOnError, 0u) << "a line error would cancel every read and write";
    EXPECT_LE(dcb.XonLim, 512u);
    EXPECT_LE(dcb.XoffLim, 512u);
    // The fields compared whole, by name, so that a failure shows each that differs.
    EXPECT_EQ(Fields(dcb),
              "DCBlength " + std::to_string(sizeof(DCB)) +
                  "\nBaudRate 9600 ByteSize 8 Parity 0 StopBits 0 fBinary 1"
                  "\nXonChar 17 XoffChar 19 EofChar 0 EvtChar 0 fErrorChar 0 fNull 0"
                  "\nfOutxCtsFlow 0 fOutxDsrFlow 0 fDtrControl 1 fRtsControl 1"
                  "\nfDsrSensitivity 0 fTXContinueOnXoff 1 fOutX 0 fInX 0 wReserved 0");
    // And the line carries the analyzer's bytes.
    EXPECT_EQ(WritePort("ready\r", 6), PORT_OK);
    EXPECT_EQ(line_.Received(6, milliseconds(3000)), "ready\r");
}

TEST_F(Driven, LineErrorLeftPendingByAnEarlierProgramIsClearedFirst) {
    driver.error_pending = true;
    ImportPatch clear(&__imp_ClearCommError, &ModelClearCommError);
    ImportPatch setup(&__imp_SetupComm, &ModelSetupComm);
    // The model's error belongs to the device, not to a handle: it is pending at the open.
    EXPECT_EQ(OpenPort(line_.path()), PORT_OK) << "reason " << GetPortReason();
    EXPECT_FALSE(driver.error_pending);
}

// A framing error or break from the analyzer while the download paused.
TEST_F(Driven, LineErrorFromTheAnalyzerDuringAPauseDoesNotFailTheNextWrite) {
    ImportPatch clear(&__imp_ClearCommError, &ModelClearCommError);
    ASSERT_EQ(OpenPort(line_.path()), PORT_OK);
    for (const std::string line : {"first\r", "second\r"}) {
        driver.error_pending = true;
        EXPECT_EQ(WritePort(line.data(), static_cast<int>(line.size())), PORT_OK) << line;
    }
    EXPECT_EQ(line_.Received(13, milliseconds(3000)), "first\rsecond\r");
}

TEST_F(Driven, WriteThatFailsOrNeverEndsIsAWriteErrorWithinItsBoundAndNoByteGoesOutTwice) {
    std::string line;
    for (int i = 0; i < 20; ++i) {
        line += "LINE " + std::to_string(10 + i) + " DATA\r";  // 200 bytes: a bound of 1400 ms
    }
    struct Case {
        DWORD fail_after;
        DWORD fail_with;
        bool never_ends;
        int reason;
    };
    const Case cases[] = {
        {0, ERROR_OPERATION_ABORTED, false, PORT_REASON_STALLED},
        {5, ERROR_OPERATION_ABORTED, false, PORT_REASON_STALLED},
        {199, ERROR_OPERATION_ABORTED, false, PORT_REASON_STALLED},
        {5, ERROR_DEVICE_NOT_CONNECTED, false, PORT_REASON_GONE},
        {0, 0, true, PORT_REASON_STALLED},
    };
    ImportPatch cancel_ex(&__imp_CancelIoEx, &ModelCancelIoEx);
    ASSERT_EQ(OpenPort(line_.path()), PORT_OK);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.fail_after) + " bytes, error " + std::to_string(c.fail_with));
        ResetDriver();
        driver.fail_after = c.fail_after;
        driver.fail_with = c.fail_with;
        driver.never_ends = c.never_ends;
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(WritePort(line.data(), static_cast<int>(line.size())), PORT_ERR_WRITE);
        EXPECT_LT(GetTickCount64() - start, (c.never_ends ? 1400u : 0u) + 400u);
        EXPECT_GE(GetTickCount64() - start, c.never_ends ? 1300u : 0u);
        EXPECT_EQ(GetPortReason(), c.reason);
        EXPECT_EQ(GetPortSystemMessage().empty(), c.never_ends) << "the bound has no message";
        EXPECT_EQ(driver.writes, 1) << "a failed write was sent again";
        EXPECT_EQ(line_.Received(line.size() + 1, milliseconds(300)), line.substr(0, c.fail_after))
            << "each byte once, in order";
    }
    // The line is usable again once the fault is gone.
    ResetDriver();
    EXPECT_EQ(WritePort("EF", 2), PORT_OK);
    EXPECT_EQ(line_.Received(2, milliseconds(2000)), "EF");
}

// A console control handler's AbandonPort, while the main thread is in a call that the driver
// never completes by itself: the call is cancelled, or, where even that is ignored, given up on
// after a second; the run ends within 2 s either way.
TEST_F(Driven, AbandonPortCancelsACallThatNeverEndsAndGivesUpOnOneThatCannotBeCancelled) {
    ImportPatch left(&__imp_GetCommTimeouts, &LeftBehindGetCommTimeouts);
    for (int stage = 0; stage < 3; ++stage) {
        const bool writing = stage > 0;
        SCOPED_TRACE(stage);
        driver.never_ends = !writing;
        ASSERT_EQ(writing ? OpenPort(line_.path()) : PORT_OK, PORT_OK);
        watched.port = driver.port;
        watched.held = true;
        driver.never_ends = true;
        driver.cancel_ignored = stage == 2;
        HANDLE main = CreateThread(
            nullptr, 0,
            [](LPVOID path) WINAPI -> DWORD {
                return path != nullptr ? OpenPort(static_cast<const char*>(path))
                                       : WritePort("ABCD", 4);
            },
            writing ? nullptr : const_cast<char*>(line_.path()), 0, nullptr);
        while (driver.blocked == 0) {
            Sleep(1);
        }
        const ULONGLONG start = GetTickCount64();
        AbandonPort();
        EXPECT_LT(GetTickCount64() - start, 1500u);
        EXPECT_TRUE(Ended(main, 6000));
        if (stage == 1) {
            // The device still answers: its time-outs are back, and it is released.
            ASSERT_TRUE(watched.read_at_close);
            EXPECT_EQ(watched.at_close.WriteTotalTimeoutConstant,
                      kLeftBehind.WriteTotalTimeoutConstant);
        }
        AbandonPort();  // after the stage the module gave up on, once its call has ended
        EXPECT_EQ(WritePort("x", 1), PORT_ERR_WRITE);
        ResetDriver();
    }
}

TEST_F(Driven, PortThatIsThereButDoesNotAnswerIsToldApartFromOneThatIsNot) {
    struct Case {
        DWORD error;
        int reason;
    };
    const Case cases[] = {
        // A Bluetooth port out of range (Printrun #653; RJCP SerialPortStream #37).
        {ERROR_SEM_TIMEOUT, PORT_REASON_NO_RESPONSE},
        {ERROR_DEVICE_NOT_CONNECTED, PORT_REASON_NO_RESPONSE},
        {ERROR_NOT_FOUND, PORT_REASON_NO_RESPONSE},
        {ERROR_GEN_FAILURE, PORT_REASON_NO_RESPONSE},  // a device that is not working
        {ERROR_ACCESS_DENIED, PORT_REASON_IN_USE},
        {ERROR_SHARING_VIOLATION, PORT_REASON_IN_USE},
        {ERROR_FILE_NOT_FOUND, PORT_REASON_ABSENT},
        {ERROR_PATH_NOT_FOUND, PORT_REASON_ABSENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        driver.open_error = c.error;
        EXPECT_EQ(OpenPort("\\\\.\\COM7"), PORT_ERR_OPEN);
        EXPECT_EQ(GetPortReason(), c.reason);
        const std::string message = GetPortSystemMessage();  // the system's, as it ends a line
        EXPECT_TRUE(!message.empty() && message.find_last_of(".\r\n") != message.size() - 1)
            << message;
    }
    // What the technician reads for the first two; the port is not called missing.
    for (DWORD error : {ERROR_SEM_TIMEOUT, ERROR_GEN_FAILURE}) {
        driver.open_error = error;
        ASSERT_EQ(OpenPort("\\\\.\\COM7"), PORT_ERR_OPEN);
        std::ostringstream out;
        SayOpenFailed(out, 7);
        EXPECT_EQ(out.str(),
                  " Error Opening \\\\.\\COM7 !\n"
                  " COM7 is there but did not respond (a Bluetooth port out of range, or a device "
                  "that is not working). The system says: " +
                      GetPortSystemMessage() + ".\n");
    }
}

}  // namespace
