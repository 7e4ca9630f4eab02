// The promises of port.h, one case each, on every platform: natively on pseudo-terminals, and
// for Windows under Wine on the lines null-modem.sh publishes (line_fixture.h). What only one
// platform can show lives beside it: port_posix_test.cpp, tests/windows/port_win32_test.cpp.
//
// Loose time bounds throughout: the machine running the tests may be busy.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "line_fixture.h"
#include "port.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Runs `call`, which must take from `at_least_ms` to `at_most_ms`; `why` tells what taking
// longer means.
template <typename Call>
void ExpectTakes(long long at_least_ms, long long at_most_ms, Call call, const char* why = "") {
    const auto start = Clock::now();
    call();
    const auto elapsed = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
    EXPECT_GE(elapsed, at_least_ms);
    EXPECT_LE(elapsed, at_most_ms) << why;
}

// Reads `count` bytes into a buffer with guard bytes past the count and its terminator: `text`
// comes back, a zero byte follows it and nothing after that is touched.
void ExpectRead(int count, const std::string& text) {
    std::vector<char> buffer(count + 1 + 8, 'g');
    const size_t got = text.size();
    ASSERT_EQ(ReadPort(buffer.data(), count), static_cast<int>(got));
    EXPECT_EQ(std::string(buffer.data(), got), text);
    EXPECT_EQ(buffer[got], '\0');
    EXPECT_EQ(std::string(buffer.begin() + got + 1, buffer.end()),
              std::string(count + 8 - got, 'g'));
}

// --- Opening and closing -------------------------------------------------------------------

TEST_F(PortContract, OpenAndCloseSucceedAndAreReportedAndThePortOpensAgain) {
    ASSERT_EQ(OpenPort(line_.path()), PORT_OK);
    EXPECT_EQ(GetPortError(), PORT_OK);
    ASSERT_EQ(ClosePort(), PORT_OK);
    EXPECT_EQ(GetPortError(), PORT_OK);

    // Opened again after a close, as a run that reaches the download does.
    ASSERT_EQ(OpenPort(line_.path()), PORT_OK);
    EXPECT_EQ(WritePort("again", 5), PORT_OK);
    EXPECT_EQ(line_.Received(5, milliseconds(3000)), "again");
    EXPECT_EQ(ClosePort(), PORT_OK);
}

TEST_F(PortContract, LineIsPutAt9600EightNoneOneRawWithoutHandshakingAndStaysSoAfterClose) {
    ASSERT_NO_FATAL_FAILURE(line_.SpoilSettings());

    ASSERT_EQ(OpenPort(line_.path()), PORT_OK);
    EXPECT_EQ(GetPortError(), PORT_OK);
    {
        SCOPED_TRACE("while open");
        ASSERT_NO_FATAL_FAILURE(line_.ExpectAnalyzerSettings());
    }
    ASSERT_EQ(ClosePort(), PORT_OK);

    SCOPED_TRACE("after close");  // the settings stay on the device; only the time-outs go back
    line_.ExpectAnalyzerSettings();
}

TEST_F(PortContract, TimeoutsAreTheModulesWhileOpenAndTheDevicesOwnComeBackAtClose) {
    ASSERT_NO_FATAL_FAILURE(line_.LeaveTimeoutsBehind());

    ASSERT_EQ(OpenPort(line_.path()), PORT_OK);
    ASSERT_NO_FATAL_FAILURE(line_.ExpectAnalyzerTimeouts());
    ASSERT_EQ(ClosePort(), PORT_OK);
    EXPECT_EQ(GetPortError(), PORT_OK);

    ASSERT_NO_FATAL_FAILURE(line_.ExpectTimeoutsLeftBehind());
    line_.ExpectAnalyzerSettings();
}

TEST_F(PortContract, CloseWithNoPortOpenTouchesNothing) {
    EXPECT_EQ(ClosePort(), PORT_OK);

    ASSERT_EQ(OpenPort(line_.path()), PORT_OK);
    ASSERT_EQ(ClosePort(), PORT_OK);
    // Closing again must not act on the old device.
    ASSERT_NO_FATAL_FAILURE(line_.WatchForTouches());
    EXPECT_EQ(ClosePort(), PORT_OK);
    EXPECT_EQ(ClosePort(), PORT_OK);
    EXPECT_FALSE(line_.TouchedSinceWatching());
    EXPECT_EQ(GetPortError(), PORT_OK);
}

// --- Failed opens --------------------------------------------------------------------------

TEST_F(PortContract, MissingDeviceIsAnOpenErrorAndLeavesTheModuleClosed) {
    ASSERT_EQ(OpenPort(line_.MissingDevice().c_str()), PORT_ERR_OPEN);
    EXPECT_EQ(GetPortError(), PORT_ERR_OPEN);
    EXPECT_EQ(GetPortReason(), PORT_REASON_ABSENT);

    char buffer[4] = {'g', 'g', 'g', 'g'};
    EXPECT_EQ(ReadPort(buffer, 3), 0);
    EXPECT_EQ(buffer[0], 'g') << "nothing stored without an open port";
    EXPECT_EQ(WritePort("x", 1), PORT_ERR_WRITE);
    EXPECT_EQ(WritePort("", 0), PORT_ERR_WRITE);
    EXPECT_EQ(ClosePort(), PORT_OK);
}

TEST_F(PortContract, DeviceThatIsNoSerialPortIsAnOpenErrorAndIsReleased) {
    const std::string device = line_.NotASerialPort();
    const int result = OpenPort(device.c_str());
    if (!line_.ModuleReachedTheDevice()) {
        GTEST_SKIP() << device
                     << " could not be opened at all here, so reading the line "
                        "settings of a device that has none cannot be tried";
    }
    EXPECT_EQ(result, PORT_ERR_OPEN);
    EXPECT_EQ(GetPortError(), PORT_ERR_OPEN);
    EXPECT_EQ(GetPortReason(), PORT_REASON_NOT_SERIAL);
    EXPECT_TRUE(line_.DeviceReleased(device)) << "the failed open kept the device";
    EXPECT_EQ(OpenPort(line_.path()), PORT_OK) << "module not left closed";
}

TEST_F(PortContract, PortHeldByAnotherProgramIsAnOpenError) {
    ASSERT_NO_FATAL_FAILURE(line_.HoldElsewhere());
    const int result = OpenPort(line_.path());
    if (result == PORT_OK && line_.WhyHoldingCannotBeShown() != nullptr) {
        ClosePort();
        GTEST_SKIP() << line_.WhyHoldingCannotBeShown();
    }
    EXPECT_EQ(result, PORT_ERR_OPEN);
    EXPECT_EQ(GetPortError(), PORT_ERR_OPEN);
    EXPECT_EQ(GetPortReason(), PORT_REASON_IN_USE);
    EXPECT_EQ(WritePort("x", 1), PORT_ERR_WRITE) << "module must be left closed";

    line_.ReleaseHold();
    EXPECT_EQ(OpenPort(line_.path()), PORT_OK);
    EXPECT_EQ(GetPortError(), PORT_OK);
    EXPECT_EQ(GetPortReason(), PORT_REASON_NONE);
}

// --- Bytes both ways -----------------------------------------------------------------------

TEST_F(PortContract, EveryByteValuePassesUntouchedBothWays) {
    ASSERT_EQ(OpenPort(line_.path()), PORT_OK);

    // CR, LF, XON/XOFF, NUL, 0xFF, DEL, ^C, ^Z, ^D: each one that a cooked terminal would
    // translate, swallow or act on.
    const std::string special("\r\n\x11\x13\x00\xff\x7f\x03\x1a\x04\x80z", 13);
    std::string all_values;
    for (int value = 0; value < 256; ++value) {
        all_values.push_back(static_cast<char>(value));
    }
    ASSERT_TRUE(line_.Send(special + all_values));
    std::vector<char> buffer(special.size() + all_values.size() + 1);
    int got = ReadPort(buffer.data(), static_cast<int>(buffer.size() - 1));
    EXPECT_EQ(std::string(buffer.data(), got > 0 ? got : 0), special + all_values);

    EXPECT_EQ(WritePort(special.data(), static_cast<int>(special.size())), PORT_OK);
    EXPECT_EQ(WritePort(all_values.data(), static_cast<int>(all_values.size())), PORT_OK);
    EXPECT_EQ(line_.Received(special.size() + all_values.size(), milliseconds(3000)),
              special + all_values)
        << "no newline translation on output";
}

TEST_F(PortContract, WrittenBytesArriveInOrderCompleteAndUnchanged) {
    ASSERT_EQ(OpenPort(line_.path()), PORT_OK);
    // Every byte value, several times over.
    std::string block(3000, '\0');
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    }
    EXPECT_EQ(WritePort("first\r\n", 7), PORT_OK);
    EXPECT_EQ(WritePort(block.data(), static_cast<int>(block.size())), PORT_OK);
    EXPECT_EQ(line_.Received(7 + block.size(), milliseconds(5000)), "first\r\n" + block);
}

// --- ReadPort ------------------------------------------------------------------------------

TEST_F(PortContract, QuietLineReadReturnsNothingAfterOneSecondPlusTenMsPerByte) {
    ASSERT_EQ(OpenPort(line_.path()), PORT_OK);
    const struct {
        int count;
        long long at_least_ms;  // of 1000 + 10 * count
        long long at_most_ms;
    } cases[] = {{1, 950, 2500}, {10, 950, 2100}, {100, 1850, 3000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.count);
        std::vector<char> buffer(101 + 1, 'g');
        ExpectTakes(c.at_least_ms, c.at_most_ms,
                    [&] { EXPECT_EQ(ReadPort(buffer.data(), c.count), 0); });
        EXPECT_EQ(buffer[0], '\0');
        EXPECT_EQ(buffer[1], 'g');
    }
}

TEST_F(PortContract, ReadEndsAQuarterSecondAfterTheLastByteWhenTheLineFallsSilent) {
    ASSERT_EQ(OpenPort(line_.path()), PORT_OK);
    ASSERT_TRUE(line_.Send("OK\r"));
    ASSERT_TRUE(line_.WaitUntilQueued(3));

    char buffer[100 + 1];
    int got = 0;
    ExpectTakes(  // at least the 250 ms gap after the last byte
        200, 700, [&] { got = ReadPort(buffer, 100); },
        "waited longer than the 250 ms gap (or for the total time-out)");
    ASSERT_EQ(got, 3);
    EXPECT_STREQ(buffer, "OK\r");
}

TEST_F(PortContract, ReadKeepsGoingWhileBytesKeepComing) {
    ASSERT_EQ(OpenPort(line_.path()), PORT_OK);
    // Six bytes 100 ms apart: every gap is well under 250 ms, the whole well under 1500 ms.
    std::thread analyzer([this] {
        for (char c : std::string("ABCDEF")) {
            line_.Send(std::string(1, c));
            std::this_thread::sleep_for(milliseconds(100));
        }
    });
    char buffer[51];
    int got = 0;
    // The last byte at about 500 ms, then the 250 ms gap.
    ExpectTakes(600, 1490, [&] { got = ReadPort(buffer, 50); });
    analyzer.join();
    ASSERT_EQ(got, 6);
    EXPECT_STREQ(buffer, "ABCDEF");
}

TEST_F(PortContract, ReadReturnsOnceTheCountIsInWithAZeroAfterAndNothingPastIt) {
    ASSERT_EQ(OpenPort(line_.path()), PORT_OK);
    const std::string sent("0123456789\0ABCDEFGHIJ", 21);
    ASSERT_TRUE(line_.Send(sent));
    ASSERT_TRUE(line_.WaitUntilQueued(21));

    ASSERT_NO_FATAL_FAILURE(ExpectTakes(
        0, 200, [] { ExpectRead(4, "0123"); }, "should not wait once the count is in"));
    ASSERT_NO_FATAL_FAILURE(ExpectRead(6, "456789"));
    // Fewer than asked: the rest, zero byte included, when the line falls silent.
    ASSERT_NO_FATAL_FAILURE(ExpectRead(12, sent.substr(10)));
    ExpectRead(0, "");
}

// --- WritePort -----------------------------------------------------------------------------

TEST_F(PortContract, StaleInputIsThrownAwayBeforeEveryWriteEvenOfNoBytes) {
    ASSERT_EQ(OpenPort(line_.path()), PORT_OK);
    char buffer[32 + 1];

    ASSERT_TRUE(line_.Send("stale chatter"));
    ASSERT_TRUE(line_.WaitUntilQueued(13));
    EXPECT_EQ(WritePort("", 0), PORT_OK);
    EXPECT_EQ(line_.Queued(), 0) << "a count of 0 must still purge the input";
    EXPECT_EQ(ReadPort(buffer, 1), 0) << "a write of no bytes left stale input queued";

    ASSERT_TRUE(line_.Send("old answer"));
    ASSERT_TRUE(line_.WaitUntilQueued(10));
    EXPECT_EQ(WritePort("Q\r", 2), PORT_OK);
    EXPECT_EQ(line_.Queued(), 0);
    ASSERT_TRUE(line_.Send("answer"));
    EXPECT_EQ(ReadPort(buffer, 6), 6);
    EXPECT_STREQ(buffer, "answer");
    EXPECT_EQ(line_.Received(2, milliseconds(3000)), "Q\r");
}

TEST_F(PortContract, WriteWithNoPortOpenIsAWriteError) {
    EXPECT_EQ(WritePort("x", 1), PORT_ERR_WRITE);
    EXPECT_EQ(WritePort("", 0), PORT_ERR_WRITE);
    EXPECT_EQ(GetPortError(), PORT_OK) << "a write changed the last error";
}

TEST_F(PortContract, WriteToAHungUpLineFailsWithoutHanging) {
    ASSERT_EQ(OpenPort(line_.PathThatHangsUp()), PORT_OK);
    EXPECT_EQ(WritePort("x", 1), PORT_OK);  // while the far end is there
    ASSERT_NO_FATAL_FAILURE(line_.HangUp());

    ExpectTakes(0, 2000, [] { EXPECT_EQ(WritePort("line\r\n", 6), PORT_ERR_WRITE); });
    EXPECT_EQ(GetPortError(), PORT_OK) << "WritePort leaves the last error alone";
    // Nor does a read on it hang. (Under Wine it ends as a quiet line's read does, at its
    // time-out; that it fails at once is shown on POSIX systems, in port_posix_test.cpp.)
    char buffer[8];
    ExpectTakes(0, 3000, [&] { EXPECT_EQ(ReadPort(buffer, 7), 0); });
    EXPECT_EQ(ClosePort(), PORT_OK);
    EXPECT_EQ(WritePort("x", 1), PORT_ERR_WRITE);
}

TEST_F(PortContract, WriteToAStalledLineGivesUpWithinItsBound) {
    ASSERT_EQ(OpenPort(line_.path()), PORT_OK);
    ASSERT_NO_FATAL_FAILURE(line_.Stall());

    ExpectTakes(  // at least 1000 + 10 * 2, less the clocks' slack
        900, 1020 + 1000, [] { EXPECT_EQ(WritePort("0123456789", 10), PORT_ERR_WRITE); },
        "the write outlived its bound of 1020 ms");
    EXPECT_EQ(GetPortReason(), PORT_REASON_STALLED);
    EXPECT_EQ(GetPortError(), PORT_OK) << "a write changed the last error";
    EXPECT_EQ(ClosePort(), PORT_OK);
}

}  // namespace
