// The serial line that the port's contract suite runs on, one implementation per platform:
//
// - POSIX (line_fixture_posix.cpp): a pseudo-terminal; the module opens its slave, the test
//   plays the analyzer on the master.
// - Windows under Wine (line_fixture_win32.cpp): the lines that tests/windows/null-modem.sh
//   publishes as COM ports. The module opens COM3, the test plays the analyzer on COM4 (the two
//   joined by socat); COM5 is a line that hangs up, COM6 is /dev/null. What the module does on
//   the device is watched through the import-table wrappers of tests/windows/import_patch.h.
//
// Methods that assert are called as ASSERT_NO_FATAL_FAILURE(line_.Method()).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "port.h"

namespace k410test {

class AnalyzerLine {
  public:
    AnalyzerLine();
    ~AnalyzerLine();
    AnalyzerLine(const AnalyzerLine&) = delete;
    AnalyzerLine& operator=(const AnalyzerLine&) = delete;

    // Empty when the line is ready, else what is missing.
    const std::string& trouble() const;
    // What OpenPort is given for this line.
    const char* path() const;

    // The analyzer sends `bytes`. False when they could not all be written.
    bool Send(const std::string& bytes);
    // Waits until `count` bytes have reached the analyzer since the last call, or `limit`
    // passes, and returns what reached it in that time.
    std::string Received(size_t count, std::chrono::milliseconds limit);
    // How many bytes the analyzer sent that wait unread at the module's end (-1: unknown).
    int Queued() const;
    // Waits up to 3 s until `count` bytes wait unread at the module's end.
    bool WaitUntilQueued(int count) const;

    // Leaves the line set up for something else entirely, as another program might.
    void SpoilSettings();
    // The line is at 9600 baud, 8 data bits, no parity, one stop bit, raw, without handshaking;
    // what SpoilSettings changed beyond that is as it left it. Open or not.
    void ExpectAnalyzerSettings();
    // Gives the device read time-outs of an earlier program, which OpenPort must find and
    // ClosePort put back.
    void LeaveTimeoutsBehind();
    // While the module has the line open: its time-outs are the module's own.
    void ExpectAnalyzerTimeouts();
    // After ClosePort: the time-outs LeaveTimeoutsBehind gave are back.
    void ExpectTimeoutsLeftBehind();

    // From now on, notes the module acting on the line's device...
    void WatchForTouches();
    // ...and says whether it did; ends the watch.
    bool TouchedSinceWatching();

    // Takes the line the way another program would, until ReleaseHold.
    void HoldElsewhere();
    void ReleaseHold();
    // Why a port that another program holds cannot be shown refused here, or nullptr.
    const char* WhyHoldingCannotBeShown() const;

    // A device name with nothing behind it.
    std::string MissingDevice() const;
    // Something there that is no serial port.
    std::string NotASerialPort();
    // After an OpenPort of NotASerialPort: whether the module got as far as opening it.
    bool ModuleReachedTheDevice() const;
    // Whether nothing of the module holds `device` any longer.
    bool DeviceReleased(const std::string& device) const;

    // What OpenPort is given for a line whose far end will go away; path() on POSIX.
    const char* PathThatHangsUp() const;
    // The far end of that line goes away; returns once the module's end sees it gone.
    void HangUp();
    // The analyzer stops taking bytes: what the module writes from now on goes nowhere.
    void Stall();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace k410test

// The port module is process-wide: every case leaves it closed for the next.
class PortContract : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(line_.trouble().empty()) << line_.trouble(); }
    void TearDown() override { ClosePort(); }

    k410test::AnalyzerLine line_;
};
