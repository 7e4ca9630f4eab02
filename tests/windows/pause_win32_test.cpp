// The pause after each piece of the download on Windows: with the high-resolution timer, and
// with the timer period at 1 ms where Windows has no such timer (printing the overshoot as NOTE
// lines); and on a USB adapter whose driver completes a write at once, on COM3.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "download.h"
#include "import_patch.h"
#include "pause.h"
#include "port.h"
#include "run.h"

namespace {

using Clock = std::chrono::steady_clock;

// Windows older than 10 (1803) has no high-resolution timer.
HANDLE WINAPI MissingCreateWaitableTimerExW(LPSECURITY_ATTRIBUTES, LPCWSTR, DWORD, DWORD) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
}

TEST(Pause, SleepsUntilTheDeadlineAndWakesSoonAfter) {
    struct Case {
        const char* what;
        decltype(&MissingCreateWaitableTimerExW) create_timer;
    };
    const Case cases[] = {
        {"high-resolution timer", real.CreateWaitableTimerExW},
        {"no such timer: the timer period at 1 ms", &MissingCreateWaitableTimerExW},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int kPauses = 20;
        const auto kPause = std::chrono::milliseconds(50);
        double total_ms = 0, worst_ms = 0;
        {
            ImportPatch timer(&__imp_CreateWaitableTimerExW, c.create_timer);
            BeginPreciseSleeps();
        }
        for (int i = 0; i < kPauses; ++i) {
            const Clock::time_point deadline = Clock::now() + kPause;
            SleepUntil(deadline);
            const double over_ms =
                std::chrono::duration<double, std::milli>(Clock::now() - deadline).count();
            EXPECT_GE(over_ms, 0.0) << "woke before the deadline";
            total_ms += over_ms;
            worst_ms = over_ms > worst_ms ? over_ms : worst_ms;
        }
        EndPreciseSleeps();
        std::cout << "[   NOTE   ] " << c.what << ": overshoot over " << kPauses
                  << " pauses of 50 ms: mean " << total_ms / kPauses << " ms, worst " << worst_ms
                  << " ms\n";
        EXPECT_LT(worst_ms, 50.0);
    }
    // A deadline already passed returns at once.
    const Clock::time_point start = Clock::now();
    SleepUntil(start - std::chrono::milliseconds(5));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(20));
}

// A USB adapter as usbser.sys and the FTDI driver present it: WriteFile completes as soon as
// the adapter has the bytes, and the output queue is empty from then on, while the analyzer
// receives them at 9600 baud. What the port did and when, as the analyzer would see it: each
// write's start (with its bytes) and the port's release.
struct AdapterCall {
    Clock::time_point at;
    DWORD bytes;  // 0: the port released
};
std::vector<AdapterCall> adapter_calls;

BOOL WINAPI AtOnceWriteFile(HANDLE handle, LPCVOID bytes, DWORD count, LPDWORD written,
                            LPOVERLAPPED overlapped) {
    if (handle != watched.port) {
        return real.WriteFile(handle, bytes, count, written, overlapped);
    }
    adapter_calls.push_back({Clock::now(), count});
    *written = count;
    return TRUE;
}
BOOL WINAPI EmptyQueueClearCommError(HANDLE handle, LPDWORD errors, LPCOMSTAT status) {
    BOOL cleared = real.ClearCommError(handle, errors, status);
    if (handle == watched.port && status != nullptr) {
        status->cbOutQue = 0;
    }
    return cleared;
}
// The FTDI driver purges by a control transfer to the adapter (libftdi: ftdi_tciflush, request
// SIO_RESET), whose setup, answer and status take a 1 ms USB frame each. PURGE_TXCLEAR throws
// away what the driver still holds (Learn, PurgeComm).
bool output_purged = false;  // once the download had begun
BOOL WINAPI ControlTransferPurgeComm(HANDLE handle, DWORD flags) {
    output_purged |= (flags & PURGE_TXCLEAR) != 0 && !adapter_calls.empty();
    Sleep(3);
    return real.PurgeComm(handle, flags);
}
BOOL WINAPI ReleaseNotingCloseHandle(HANDLE handle) {
    if (handle == watched.port) {
        adapter_calls.push_back({Clock::now(), 0});
    }
    return real.CloseHandle(handle);
}

TEST(Pause, EndsAfterThePieceIsOffTheWireWhenTheDriverCompletesTheWriteAtOnce) {
    if (OpenPort("\\\\.\\COM3") != PORT_OK) {
        GTEST_SKIP() << "no COM3 here (under Wine, the lines of null-modem.sh)";
    }
    ClosePort();
    k410test::ScratchDir work;
    ASSERT_TRUE(work.Enter());
    // Lines of 200 bytes (209 ms on the wire) and one of 300 (pieces of 255 and 45).
    std::string data;
    for (char fill = 'A'; fill < 'D'; ++fill) {
        data += std::string(200, fill) + "\r\n";
    }
    ASSERT_TRUE(work.Put(kDataFile, data + std::string(300, 'Z') + "\r\n"));
    adapter_calls.clear();
    watched = PortWatch{};
    std::ostringstream out;
    int status = -1;
    {
        ImportPatch patches[] = {{&__imp_CreateFileA, &RecordingCreateFileA},
                                 {&__imp_WriteFile, &AtOnceWriteFile},
                                 {&__imp_ClearCommError, &EmptyQueueClearCommError},
                                 {&__imp_PurgeComm, &ControlTransferPurgeComm},
                                 {&__imp_CloseHandle, &ReleaseNotingCloseHandle}};
        status = RunDownload(out, 3, AnalyzerOptions{});
    }
    EXPECT_EQ(status, RUN_OK) << out.str();
    const std::vector<DWORD> pieces = {201, 201, 201, 255, 46};
    ASSERT_EQ(adapter_calls.size(), pieces.size() + 1) << out.str();
    for (size_t i = 0; i < pieces.size(); ++i) {
        SCOPED_TRACE("piece " + std::to_string(i + 1));
        EXPECT_EQ(adapter_calls[i].bytes, pieces[i]);
        const double wire_ms = pieces[i] * 10 * 1000.0 / 9600;
        const double until_next_ms =
            std::chrono::duration<double, std::milli>(adapter_calls[i + 1].at - adapter_calls[i].at)
                .count();
        EXPECT_GE(until_next_ms, wire_ms + 250)
            << "the pause began before the piece was off the wire (" << wire_ms << " ms)";
    }
    EXPECT_EQ(adapter_calls.back().bytes, 0u);
    EXPECT_FALSE(output_purged) << "the release threw away bytes the writes reported sent";
}

}  // namespace
