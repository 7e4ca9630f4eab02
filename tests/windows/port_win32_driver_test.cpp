// The Win32 serial module against what real drivers do and Wine's do not: a DCB left behind by
// another program, a line error pending from before the open, a write that a line error cancels
// part-way, and a port that is there but does not answer. Each is modelled by a wrapper in this
// program's import table around the one KERNEL32 call concerned; the module's other calls reach
// the null-modem lines of null-modem.sh (COM3 <-> COM4) under Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>

#include "import_patch.h"
#include "line_fixture.h"
#include "port.h"
#include "port_help.h"

namespace {

using std::chrono::milliseconds;

// The driver as modelled; reset by each test.
struct Driver {
    HANDLE port = nullptr;           // the module's handle to COM3
    DWORD open_error = 0;            // CreateFileA fails with this when not 0
    bool error_pending = false;      // a line error not yet cleared (fAbortOnError set)
    bool dcb_taken = false;          // SetCommState took a DCB...
    DCB dcb = {};                    // ...this one
    int aborts_left = 0;             // writes still to be cancelled part-way...
    DWORD abort_after = 0;           // ...after this many bytes went out
    DWORD abort_after_ms = 0;        // how long the cancelled write took
    bool stall_after_abort = false;  // later writes take nothing until their time-outs run out
    std::string wire;                // what went out on the line, in order
    int writes = 0;                  // WriteFile calls on the port
};
Driver driver;

HANDLE WINAPI ModelCreateFileA(LPCSTR path, DWORD access, DWORD share,
                               LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                               HANDLE model) {
    if (driver.open_error != 0) {
        SetLastError(driver.open_error);
        return INVALID_HANDLE_VALUE;
    }
    driver.port = real.create_file(path, access, share, security, disposition, flags, model);
    return driver.port;
}

// With fAbortOnError set and a line error pending, the driver refuses every call but
// ClearCommError, which clears the error.
BOOL WINAPI ModelClearCommError(HANDLE handle, LPDWORD errors, LPCOMSTAT status) {
    const BOOL result = real.clear_comm_error(handle, errors, status);
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
    return real.setup_comm(handle, in_queue, out_queue);
}

// What another program left in the DCB: a USB CDC driver's flow-control limits for a queue of
// 100 kB, MSYS2's fAbortOnError, XON equal to XOFF, an end-of-file and an event character, and
// every kind of handshake.
BOOL WINAPI LeftBehindGetCommState(HANDLE handle, LPDCB dcb) {
    if (!real.get_comm_state(handle, dcb)) {
        return FALSE;
    }
    dcb->BaudRate = CBR_2400;
    dcb->ByteSize = 7;
    dcb->Parity = EVENPARITY;
    dcb->StopBits = TWOSTOPBITS;
    dcb->fAbortOnError = 1;
    dcb->XonLim = 25000;
    dcb->XoffLim = 25000;
    dcb->XonChar = 0x11;
    dcb->XoffChar = 0x11;
    dcb->EofChar = 0x1A;
    dcb->EvtChar = '\n';
    dcb->ErrorChar = '?';
    dcb->fErrorChar = 1;
    dcb->fNull = 1;
    dcb->fOutxCtsFlow = 1;
    dcb->fOutxDsrFlow = 1;
    dcb->fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb->fRtsControl = RTS_CONTROL_TOGGLE;
    dcb->fDsrSensitivity = 1;
    dcb->fTXContinueOnXoff = 0;
    dcb->fOutX = 1;
    dcb->fInX = 1;
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
    return real.set_comm_state(handle, dcb);
}

// A line error (a framing error or a break from the analyzer) cancels the write in progress
// after `abort_after` bytes; until it is cleared, further writes are cancelled at once.
BOOL WINAPI AbortingWriteFile(HANDLE handle, LPCVOID bytes, DWORD count, LPDWORD written,
                              LPOVERLAPPED overlapped) {
    if (handle != driver.port) {
        return real.write_file(handle, bytes, count, written, overlapped);
    }
    ++driver.writes;
    *written = 0;
    if (driver.error_pending) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return FALSE;
    }
    if (driver.aborts_left > 0 && count > driver.abort_after) {
        --driver.aborts_left;
        DWORD sent = 0;
        if (driver.abort_after > 0 &&
            !real.write_file(handle, bytes, driver.abort_after, &sent, overlapped)) {
            return FALSE;
        }
        driver.wire.append(static_cast<const char*>(bytes), sent);
        Sleep(driver.abort_after_ms);
        driver.error_pending = true;
        *written = sent;
        SetLastError(ERROR_OPERATION_ABORTED);
        return FALSE;
    }
    if (driver.stall_after_abort) {
        WaitOutWriteTimeouts(handle, count);
        return TRUE;  // a write whose time-outs ran out succeeds, short
    }
    const BOOL result = real.write_file(handle, bytes, count, written, overlapped);
    driver.wire.append(static_cast<const char*>(bytes), *written);
    return result;
}

// The module's line is the contract suite's, COM3, with the analyzer's end on COM4.
class Driven : public PortContract {
  protected:
    void SetUp() override {
        driver = Driver{};
        PortContract::SetUp();
    }
};

TEST_F(Driven, EveryLineSettingAnotherProgramLeftIsReplaced) {
    {
        ImportPatch create(&__imp_CreateFileA, &ModelCreateFileA);
        ImportPatch get(&__imp_GetCommState, &LeftBehindGetCommState);
        ImportPatch set(&__imp_SetCommState, &CheckingSetCommState);
        ASSERT_EQ(OpenPort(line_.path()), PORT_OK) << "reason " << GetPortReason();
    }
    ASSERT_TRUE(driver.dcb_taken);
    const DCB& dcb = driver.dcb;
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fAbortOnError, 0u) << "a line error would cancel every read and write";
    EXPECT_LE(dcb.XonLim, 512u);
    EXPECT_LE(dcb.XoffLim, 512u);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
    EXPECT_EQ(dcb.EofChar, 0);
    EXPECT_EQ(dcb.EvtChar, 0);
    EXPECT_EQ(dcb.fErrorChar, 0u);
    EXPECT_EQ(dcb.fNull, 0u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fDsrSensitivity, 0u);
    EXPECT_EQ(dcb.fTXContinueOnXoff, 1u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_EQ(dcb.wReserved, 0);
    // And the line carries the analyzer's bytes.
    EXPECT_EQ(WritePort("ready\r", 6), PORT_OK);
    EXPECT_EQ(line_.Received(6, milliseconds(3000)), "ready\r");
}

TEST_F(Driven, LineErrorLeftPendingByAnEarlierProgramIsClearedFirst) {
    driver.error_pending = true;
    ImportPatch create(&__imp_CreateFileA, &ModelCreateFileA);
    ImportPatch clear(&__imp_ClearCommError, &ModelClearCommError);
    ImportPatch setup(&__imp_SetupComm, &ModelSetupComm);
    // The model's error belongs to the device, not to a handle: it is pending at the open.
    EXPECT_EQ(OpenPort(line_.path()), PORT_OK) << "reason " << GetPortReason();
    EXPECT_FALSE(driver.error_pending);
}

TEST_F(Driven, WriteCutShortByALineErrorGoesOnWithTheBytesNotYetSent) {
    std::string line;
    for (int i = 0; i < 20; ++i) {
        line += "LINE " + std::to_string(10 + i) + " DATA\r";  // 200 bytes
    }
    for (DWORD after : {0u, 1u, 120u, 199u}) {
        SCOPED_TRACE(after);
        driver.port = nullptr;
        {
            ImportPatch create(&__imp_CreateFileA, &ModelCreateFileA);
            ASSERT_EQ(OpenPort(line_.path()), PORT_OK);
        }
        driver.aborts_left = 1;
        driver.abort_after = after;
        driver.wire.clear();
        driver.writes = 0;
        {
            ImportPatch clear(&__imp_ClearCommError, &ModelClearCommError);
            ImportPatch write(&__imp_WriteFile, &AbortingWriteFile);
            EXPECT_EQ(WritePort(line.data(), static_cast<int>(line.size())), PORT_OK);
        }
        EXPECT_EQ(driver.writes, 2);
        EXPECT_EQ(driver.wire, line);
        EXPECT_EQ(line_.Received(line.size() + 1, milliseconds(2000)), line)
            << "each byte once, in order";
        // The write time-outs are the analyzer's again for the next line.
        COMMTIMEOUTS timeouts = {};
        ASSERT_TRUE(GetCommTimeouts(driver.port, &timeouts));
        EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 1000u);
        EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 2u);
        EXPECT_EQ(timeouts.ReadIntervalTimeout, 250u);
    }
}

TEST_F(Driven, WriteThatCannotFinishWithinItsBoundIsAWriteError) {
    {
        ImportPatch create(&__imp_CreateFileA, &ModelCreateFileA);
        ASSERT_EQ(OpenPort(line_.path()), PORT_OK);
    }
    struct Case {
        const char* what;
        int aborts;
        DWORD abort_after;
        DWORD abort_after_ms;
        bool stall;
        const char* sent;
    };
    const Case cases[] = {
        // A break held on the line: every write is cancelled at once.
        {"cancelled every time", 1000000, 0, 0, false, ""},
        // Cancelled late, then the rest takes nothing: the rest gets what is left of the bound,
        // not a bound of its own (which would end near 1900 ms).
        {"cancelled late, then stalled", 1, 2, 900, true, "AB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        driver.aborts_left = c.aborts;
        driver.abort_after = c.abort_after;
        driver.abort_after_ms = c.abort_after_ms;
        driver.stall_after_abort = c.stall;
        driver.wire.clear();
        const ULONGLONG start = GetTickCount64();
        {
            ImportPatch clear(&__imp_ClearCommError, &ModelClearCommError);
            ImportPatch write(&__imp_WriteFile, &AbortingWriteFile);
            EXPECT_EQ(WritePort("ABCD", 4), PORT_ERR_WRITE);
        }
        const ULONGLONG elapsed = GetTickCount64() - start;
        EXPECT_GE(elapsed, 900u);
        EXPECT_LT(elapsed, 1008u + 400u) << "the write outlived its bound of 1008 ms";
        EXPECT_EQ(driver.wire, c.sent) << "what went out is a prefix of the bytes, each once";
        driver.error_pending = false;
    }
    // The line is usable again once the fault is gone.
    driver.stall_after_abort = false;
    line_.Received(16, milliseconds(300));
    EXPECT_EQ(WritePort("EF", 2), PORT_OK);
    EXPECT_EQ(line_.Received(2, milliseconds(2000)), "EF");
}

TEST_F(Driven, PortThatIsThereButDoesNotAnswerIsToldApartFromOneThatIsNot) {
    struct Case {
        DWORD error;
        int reason;
    };
    const Case cases[] = {
        {ERROR_SEM_TIMEOUT, PORT_REASON_NO_RESPONSE},  // a Bluetooth port out of range
        {ERROR_GEN_FAILURE, PORT_REASON_NO_RESPONSE},  // a device that is not working
        {ERROR_ACCESS_DENIED, PORT_REASON_IN_USE},    {ERROR_SHARING_VIOLATION, PORT_REASON_IN_USE},
        {ERROR_FILE_NOT_FOUND, PORT_REASON_ABSENT},   {ERROR_PATH_NOT_FOUND, PORT_REASON_ABSENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        driver.open_error = c.error;
        ImportPatch create(&__imp_CreateFileA, &ModelCreateFileA);
        EXPECT_EQ(OpenPort("\\\\.\\COM7"), PORT_ERR_OPEN);
        EXPECT_EQ(GetPortReason(), c.reason);
    }
    // What the technician reads for the first two; the port is not called missing.
    for (DWORD error : {ERROR_SEM_TIMEOUT, ERROR_GEN_FAILURE}) {
        driver.open_error = error;
        ImportPatch create(&__imp_CreateFileA, &ModelCreateFileA);
        ASSERT_EQ(OpenPort("\\\\.\\COM7"), PORT_ERR_OPEN);
        std::ostringstream out;
        SayOpenFailed(out, "\\\\.\\COM7");
        EXPECT_EQ(out.str(),
                  " Error Opening \\\\.\\COM7 !\n"
                  " COM7 is there but did not respond (a Bluetooth port out of range, or a device "
                  "that is not working).\n");
    }
}

}  // namespace
