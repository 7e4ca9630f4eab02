// Failures at the boundary between k410prog and the system, injected into the built program with
// the fault interposer: each must end with the program's own message and an honest exit status,
// never a hang, with the line's read time-outs as they were and, on the analyzer's side, only a
// prefix of what the data file should send (nothing duplicated, reordered or invented).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "session.h"

namespace k410test {
namespace {

const char kDataFile[] = "K410HELP(64K).TXT";
// The data file that every download test sends: CRLF lines, a line longer than a piece, and a
// last line without a line feed.
std::string StandardDataFile() {
    return "ALPHA 1\r\nBRAVO 22\r\n" + std::string(300, 'L') + "\r\nDELTA 4444";
}

// The loader's arguments when the program launches it for COM3.
const std::vector<std::vector<std::string>> kOneLoaderRun = {
    {"+mpvr", "-c\\\\.\\COM3", "K410IV.TXT"}};

// A run of the program under the fault interposer.
struct RunResult : ProcessRun {
    std::string fault_log;  // the interposer's log: faults injected, uses of each call
};

// A session whose line has read time-outs of its own and whose folder holds the data file; the
// program runs under the fault interposer.
class FaultTest : public Session {
  protected:
    void SetUp() override {
        Session::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        SetDistinctiveTimeouts();
        ASSERT_TRUE(ReadLineSettings(line_, &found_));
        data_ = StandardDataFile();
        PutDataFile(kDataFile, data_);
    }

    // Runs the program and checks what every run must show, fault or not: it ended by itself,
    // the sanitizers (in a sanitizer build) had nothing to say, the line is not left exclusive
    // and its read time-outs are the ones it had before the program opened it. A fixed PATH:
    // no BSL.EXE elsewhere stands in for a missing one. `command` may add a wrapper, a signal,
    // an early end of the output or variables of its own (the stand-in loader's).
    RunResult Run(const std::string& answers, const std::string& faults, Command command = {}) {
        command.input = answers;
        command.environment.insert(command.environment.begin(),
                                   {{"PATH", "/usr/bin:/bin"},
                                    {"HOME", Folder()},
                                    {"LD_PRELOAD", K410_INTERPOSER_PATH},
                                    {"K410_FAULT", faults},
                                    {"K410_FAULT_DEVICE", line_.slave_path()},
                                    {"K410_FAULT_LOG", Folder() + "/fault.log"}});
        RunResult result;
        static_cast<ProcessRun&>(result) = RunCommand(command);
        result.fault_log = ReadFile(Folder() + "/fault.log");
        EXPECT_EQ(result.errors, "");
        EXPECT_FALSE(LineExclusive(line_));
        termios now{};
        EXPECT_TRUE(ReadLineSettings(line_, &now));
        EXPECT_EQ(now.c_cc[VMIN], found_.c_cc[VMIN]);
        EXPECT_EQ(now.c_cc[VTIME], found_.c_cc[VTIME]);
        return result;
    }

    // What the analyzer has received, once it holds at least `expected` bytes or 2 s have
    // passed, and a little longer, so that a byte too many (sent twice, or invented) shows too.
    std::string Received(size_t expected) {
        recorder_->WaitForBytes(expected, std::chrono::seconds(2));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return recorder_->Bytes();
    }

    // Exactly `expected` reached the analyzer: no byte lost, sent twice, reordered or invented.
    void ExpectWire(const std::string& expected) { EXPECT_EQ(Received(expected.size()), expected); }

    // What reached the analyzer is a prefix of `expected` (no byte sent twice, reordered or
    // invented). After a failed write the port's close discards output the line has not yet
    // taken, so how much of the last line arrived depends on timing.
    void ExpectWirePrefix(const std::string& expected) {
        std::string received = Received(expected.size());
        EXPECT_EQ(received, expected.substr(0, received.size()));
    }

    // The fault named by `call` was injected at least once (a rule that never fires proves
    // nothing).
    static void ExpectInjected(const RunResult& result, const std::string& call) {
        EXPECT_TRUE(Contains(result.fault_log, "inject " + call + " ")) << result.fault_log;
    }

    // Runs with `faults`, one of which must fire at `call`; the output must end with `ending`
    // and the program with `status`.
    RunResult RunEndingWith(const std::string& answers, const std::string& faults,
                            const std::string& call, const std::string& ending, int status) {
        RunResult result = Run(answers, faults);
        ExpectInjected(result, call);
        EXPECT_TRUE(EndsWith(LessWriteReason(result.output), ending)) << result.output;
        EXPECT_EQ(result.status, status);
        return result;
    }

    termios found_{};
    std::string data_;
};

// A parameterized case's name.
template <typename Case>
std::string NameOf(const ::testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

// --- The port check: the port cannot be opened, so nothing more is asked. ---

struct OpenFault {
    const char* name;
    const char* faults;
    const char* call;
    std::string why;  // the line after " Error Opening ... !"
};

void PrintTo(const OpenFault& fault, std::ostream* out) {
    *out << fault.faults;
}

class PortCheckFault : public FaultTest, public ::testing::WithParamInterface<OpenFault> {};

TEST_P(PortCheckFault, SaysErrorOpeningAndSendsNothing) {
    RunResult result = Run(kSkipLoader, GetParam().faults);
    ExpectInjected(result, GetParam().call);
    EXPECT_TRUE(EndsWith(LessThisMachinesDevices(result.output),
                         kBanner + PortError("Opening") + GetParam().why))
        << result.output;
    EXPECT_EQ(result.status, 1);
    ExpectWire("");
}

INSTANTIATE_TEST_SUITE_P(
    Fault, PortCheckFault,
    // The port that vanished at its open is there again when the ports present are listed, and is
    // not offered as an alternative to itself.
    ::testing::Values(
        OpenFault{"OpenRefused", "open:1:ENOENT", "open", NotThereLine(3, "")},
        OpenFault{"DeviceGoneAtOpen", "open:1:ENXIO", "open", NotThereLine(3, "")},
        OpenFault{"LockHeldElsewhere", "flock:1:EWOULDBLOCK", "flock", InUseLine()},
        OpenFault{"ExclusiveModeRefused", "excl:1:EIO", "excl", NotSerialLine()},
        OpenFault{"SettingsUnreadable", "tcgetattr:1:EIO", "tcgetattr", NotSerialLine()},
        OpenFault{"SettingsRefused", "tcsetattr:1:EINVAL", "tcsetattr", RefusedLine()},
        OpenFault{"SettingsSilentlyIgnored", "tcsetattr:1:ignore", "tcsetattr", RefusedLine()},
        OpenFault{"SettingsUnreadableAfterSet", "tcgetattr:2:EIO", "tcgetattr", RefusedLine()}),
    NameOf<OpenFault>);

// --- The download's reopen: the firmware stage is over, the port cannot be had again. ---

TEST_F(FaultTest, ReopenForDownloadRefusedSaysErrorOpening) {
    // The second open of the device is the download's.
    RunEndingWith(kSkipLoader, "open:2:EBUSY", "open",
                  kSwitchOnPrompt + PortError("Opening") + InUseLine(), 1);
    ExpectWire("");
}

TEST_F(FaultTest, ReopenAfterLoaderRefusesSettingsSaysErrorOpening) {
    // tcsetattr: 1 and 2 are the check's open and close, 3 the download's open.
    RunEndingWith(kTypicalRun, "tcsetattr:3:EIO", "tcsetattr",
                  kFirmwareComplete + PortError("Opening") + RefusedLine(), 1);
    EXPECT_EQ(LoaderRuns(), kOneLoaderRun);
    ExpectWire("");
}

// --- Writes during the download. ---

TEST_F(FaultTest, WriteErrorMidDownloadStopsWithErrorWriting) {
    RunResult result =
        RunEndingWith(kSkipLoader, "write:2:EIO", "write", "\n" + PortError("Writing"), 1);
    EXPECT_FALSE(Contains(result.output, kDownloadComplete)) << result.output;
    ExpectWirePrefix(WireBytesOfPieces(data_, 1));
}

TEST_F(FaultTest, DeviceGoneAtFirstWriteSendsNothing) {
    RunEndingWith(kSkipLoader, "write:1+:ENXIO", "write", "\n" + PortError("Writing"), 1);
    ExpectWire("");
}

// Short writes, interrupted writes and a full queue are everyday events on a serial line: the
// port must finish the job by itself, every byte once and in order.
struct AbsorbedFault {
    const char* name;
    const char* faults;
    const char* calls[2];
};

void PrintTo(const AbsorbedFault& fault, std::ostream* out) {
    *out << fault.faults;
}

class AbsorbedWriteFault : public FaultTest, public ::testing::WithParamInterface<AbsorbedFault> {};

TEST_P(AbsorbedWriteFault, DownloadCompletesWithEveryByteOnce) {
    RunResult result = Run(kSkipLoader, GetParam().faults);
    for (const char* call : GetParam().calls) {
        if (call != nullptr) {
            ExpectInjected(result, call);
        }
    }
    EXPECT_TRUE(EndsWith(result.output, std::string("\n") + kDownloadComplete)) << result.output;
    EXPECT_EQ(result.status, 0);
    // Loose: the pauses take 1.25 s; a write waiting out its 1 s bound on each line, 6 s.
    EXPECT_LT(result.seconds, 4.5) << "the lines were held up";
    ExpectWire(WireBytes(data_));
}

INSTANTIATE_TEST_SUITE_P(
    Fault, AbsorbedWriteFault,
    ::testing::Values(
        AbsorbedFault{"EveryWriteShort", "write:1+:short", {"write", nullptr}},
        AbsorbedFault{"InterruptedWrites", "write:1:EINTR,write:3:EINTR", {"write", nullptr}},
        AbsorbedFault{
            "QueueFullThenInterruptedWait", "write:2:EAGAIN,poll:1:EINTR", {"write", "poll"}},
        AbsorbedFault{"PurgesFailing", "tcflush:1+:EIO", {"tcflush", nullptr}},
        // ftdi_sio answers TIOCSERGETLSR but never reports the transmitter empty.
        AbsorbedFault{"TransmitterNeverReportsEmpty", "lsr:1+:busy", {"lsr", nullptr}}),
    NameOf<AbsorbedFault>);

TEST_F(FaultTest, StalledLineHitsTheDrainBound) {
    // The driver keeps reporting a byte queued: the first line's write must give up after
    // 1000 ms + 2 ms per byte (8 bytes here), not wait for ever.
    RunResult result = RunEndingWith(kSkipLoader, "outq:1+:stall", "outq",
                                     "ALPHA 1\r\n" + PortError("Writing"), 1);
    EXPECT_GE(result.seconds, 0.9);
    EXPECT_LT(result.seconds, 10.0);
    // The bytes themselves did leave; only their drain was never confirmed.
    ExpectWire(WireBytesOfPieces(data_, 1));
}

TEST_F(FaultTest, OutputQueueUnreadableStopsWithErrorWriting) {
    // The first look at the queue is the check's close; the second, the first line's drain.
    RunEndingWith(kSkipLoader, "outq:2:EIO", "outq", "\n" + PortError("Writing"), 1);
    ExpectWirePrefix(WireBytesOfPieces(data_, 1));
}

TEST_F(FaultTest, FailingCloseAfterTheDownloadIsReported) {
    // The lines were all sent, but a driver that fails the close may not have passed the last
    // of them on: the run is not called complete. The check's close before the loader is not
    // examined (the loader finds out for itself whether it can have the port).
    RunResult result =
        RunEndingWith(kSkipLoader, "close:1+:EIO", "close", "\n" + PortError("Closing"), 1);
    EXPECT_EQ(result.output.find(kDownloadComplete), std::string::npos);
    ExpectWire(WireBytes(data_));
}

TEST_F(FaultTest, AnalyzerReadingSlowlyStillGetsEveryByte) {
    // The analyzer is a full buffer behind (4 KB the terminal has passed on to its reader wait
    // there) and takes nothing more until the program has ended: every line is then still in
    // the terminal, hidden from the drain by an output queue a pseudo-terminal always reports
    // empty, and lost to a close that purges it.
    recorder_->Stop();
    const std::string backlog(8192, '.');
    ASSERT_EQ(write(line_.held_slave(), backlog.data(), backlog.size()),
              static_cast<ssize_t>(backlog.size()));
    int pending = 0;
    ASSERT_TRUE(WaitUntil(
        [&] { return ioctl(line_.master(), FIONREAD, &pending) == 0 && pending >= 4000; }, 2000))
        << pending << " bytes waiting";
    RunResult result = Run(kSkipLoader, "");
    EXPECT_EQ(result.status, 0);
    recorder_ = std::make_unique<LineRecorder>(line_.master());
    recorder_->WaitForText(WireBytes(data_), std::chrono::seconds(3));
    EXPECT_TRUE(EndsWith(recorder_->Bytes(), WireBytes(data_)));
}

// The port calls that no timing shows, exactly: at each open DTR and RTS raised and both
// queues purged; before each line the input purged; each line's pause ending 250 ms or more
// after the driver reported the line sent; at each close the input purged, the output not.
TEST_F(FaultTest, PortCallsAndPausesAsRecorded) {
    RunResult result = Run(kSkipLoader, "");
    EXPECT_EQ(result.status, 0);
    const std::vector<std::string> open = {"mbis " + std::to_string(TIOCM_DTR | TIOCM_RTS),
                                           "tcflush out", "tcflush in"};
    std::vector<std::string> expected = open;
    expected.push_back("tcflush in");
    expected.insert(expected.end(), open.begin(), open.end());
    const std::vector<size_t> offsets = PieceOffsets(data_);
    for (size_t i = 0; i < offsets.size(); ++i) {
        size_t end = i + 1 < offsets.size() ? offsets[i + 1] : WireBytes(data_).size();
        expected.insert(expected.end(),
                        {"tcflush in", "write " + std::to_string(end - offsets[i]), "sleep"});
    }
    expected.push_back("tcflush in");
    std::vector<std::string> recorded;
    std::istringstream log(result.fault_log);
    for (std::string line; std::getline(log, line);) {
        if (line.compare(0, 13, "record sleep ") == 0) {
            EXPECT_GE(std::stoll(line.substr(13)), 250000) << "a pause ended too early";
            line = "record sleep";
        }
        if (line.compare(0, 7, "record ") == 0) {
            recorded.push_back(line.substr(7));
        }
    }
    EXPECT_EQ(recorded, expected);
}

// A USB adapter's driver says a write is sent once the adapter has the bytes (a pseudo-terminal
// says so too, at once), while the analyzer receives them at 9600 baud, 1.04 ms a byte: each
// pause must still end 250 ms after the piece was off the wire, counted from the write's start.
TEST_F(FaultTest, PauseEndsAfterThePieceIsOffTheWireWhenTheDriverSaysSentAtOnce) {
    RunResult result = RunEndingWith(kSkipLoader, "write:1+:sent", "write",
                                     std::string("\n") + kDownloadComplete, 0);
    ExpectWire(WireBytes(data_));
    std::istringstream log(result.fault_log);
    long long bytes = -1;
    int pauses = 0;
    for (std::string line; std::getline(log, line);) {
        if (line.compare(0, 13, "record write ") == 0) {
            bytes = std::stoll(line.substr(13));
        } else if (line.compare(0, 13, "record sleep ") == 0 && bytes >= 0) {
            std::istringstream ends(line.substr(13));
            long long after_return_us = 0;
            long long after_write_start_us = 0;
            ends >> after_return_us >> after_write_start_us;
            const long long wire_us = bytes * 10 * 1000000 / 9600;
            // The program's clock reading comes after its purge, just before the write.
            EXPECT_GE(after_write_start_us, wire_us + 250000)
                << "the pause after a piece of " << bytes
                << " bytes began before it was off the wire";
            EXPECT_GE(after_return_us, 250000);
            bytes = -1;
            ++pauses;
        }
    }
    EXPECT_EQ(pauses, static_cast<int>(PieceOffsets(data_).size())) << result.fault_log;
}

// --- Interruptions and a console that goes away. ---

struct Interruption {
    const char* name;
    int signal_number;
    std::string answers;
    const char* cue;  // sent once the output shows this
    bool terminal;    // standard output a terminal, whose title the download sets
};

void PrintTo(const Interruption& interruption, std::ostream* out) {
    *out << interruption.name;
}

class InterruptedRun : public FaultTest, public ::testing::WithParamInterface<Interruption> {};

TEST_P(InterruptedRun, PutsTheLineBackSaysSoAndEndsByTheSignal) {
    Command interrupted;
    interrupted.signal_number = GetParam().signal_number;
    interrupted.signal_at = GetParam().cue;
    interrupted.output_to_terminal = GetParam().terminal;
    // Run checks that the line is neither exclusive nor left with the program's time-outs.
    RunResult result = Run(GetParam().answers, "", interrupted);
    // A title the download set is cleared first.
    EXPECT_TRUE(EndsWith(result.output, std::string(GetParam().terminal ? "\033]0;\007" : "") +
                                            "\n Interrupted !\n"))
        << result.output;
    EXPECT_EQ(result.signal, GetParam().signal_number);
    ExpectWirePrefix(WireBytes(data_));
}

INSTANTIATE_TEST_SUITE_P(
    Fault, InterruptedRun,
    ::testing::Values(
        Interruption{"CtrlCAtAQuestion", SIGINT, "3\n", kQuestion1, false},
        Interruption{"TerminatedAtAQuestion", SIGTERM, "3\n", kQuestion1, false},
        Interruption{"HangUpAtAQuestion", SIGHUP, "3\n", kQuestion1, false},
        Interruption{"CtrlCMidDownloadOnATerminal", SIGINT, kSkipLoader, "ALPHA 1\r", true},
        Interruption{"TerminatedMidDownload", SIGTERM, kSkipLoader, "ALPHA 1\r", false},
        Interruption{"QuitMidDownload", SIGQUIT, kSkipLoader, "ALPHA 1\r", false}),
    NameOf<Interruption>);

TEST_F(FaultTest, ConsoleClosedEarlyStillSendsTheWholeFileButFailsTheRun) {
    // As `k410prog | head -c 100` does.
    Command head;
    head.output_limit = 100;
    RunResult result = Run(kSkipLoader, "", head);
    EXPECT_EQ(result.signal, 0) << "killed by " << strsignal(result.signal);
    EXPECT_EQ(result.status, 1);
    ExpectWire(WireBytes(data_));
}

TEST_F(FaultTest, ConsoleAsComPortIsRefusedAndLeftAsItWas) {
    // The analyzer's line is also the program's standard error, then its controlling terminal
    // (none of its standard descriptors being it).
    const std::vector<std::vector<std::string>> wrappers = {
        {"/bin/sh", "-c", "exec \"$@\" 2<>\"$K410_FAULT_DEVICE\"", "sh"},
        {"/bin/sh", "-c",
         "exec 3<&0 0<>\"$K410_FAULT_DEVICE\"; "
         "exec setsid -w -c /bin/sh -c 'exec \"$@\" 0<&3 3<&-' sh \"$@\"",
         "sh"}};
    for (const std::vector<std::string>& wrapper : wrappers) {
        Command wrapped;
        wrapped.argv = wrapper;
        RunResult result = Run(kSkipLoader, "", wrapped);
        EXPECT_EQ(result.output, kBanner + PortError("Opening") + NotSerialLine()) << wrapper[2];
        EXPECT_EQ(result.status, 1);
        termios now{};
        ASSERT_TRUE(ReadLineSettings(line_, &now));
        EXPECT_EQ(now.c_lflag, found_.c_lflag) << "the console's settings changed";
        ExpectWire("");
    }
}

// --- The data file. ---

TEST_F(FaultTest, DataFileUnopenableSaysFileNotFound) {
    RunEndingWith(kSkipLoader, "fopen:1:EACCES", "fopen",
                  HelpFileLine(kDataFile) + FileNotFound(kDataFile), 1);
    ExpectWire("");
}

TEST_F(FaultTest, ReadErrorAnywhereInTheFileIsFoundBeforeAnythingIsSent) {
    // The whole file is read before its first line goes out: an error in its last part still
    // leaves the analyzer with nothing rather than with half an EEPROM image. The file is long
    // enough to take several reads.
    std::string file;
    while (file.size() < 20000) {
        file += StandardDataFile() + "\r\n";
    }
    ASSERT_TRUE(k410test::WriteFile(Folder() + "/" + kDataFile, file));
    for (const char* fault : {"fread:1:EIO", "fread:3:EIO"}) {
        RunResult result = Run(kSkipLoader, fault);
        ExpectInjected(result, "fread");
        EXPECT_TRUE(EndsWith(result.output, HelpFileLine(kDataFile) + FileReadError(kDataFile)))
            << fault << "\n"
            << result.output;
        EXPECT_EQ(result.status, 1);
        ExpectWire("");
    }
}

TEST_F(FaultTest, DataFileThatIsNoPlainFileIsAReadErrorAndNeverWaitedOn) {
    // No interposer needed: a folder cannot be read, and a FIFO with no writer would block the
    // open for ever.
    std::string path = Folder() + "/" + kDataFile;
    for (bool fifo : {false, true}) {
        ASSERT_EQ(remove(path.c_str()), 0);
        ASSERT_EQ(fifo ? mkfifo(path.c_str(), 0600) : mkdir(path.c_str(), 0755), 0);
        RunResult result = Run(kSkipLoader, "");
        EXPECT_TRUE(EndsWith(result.output, HelpFileLine(kDataFile) + FileReadError(kDataFile)))
            << result.output;
        EXPECT_EQ(result.status, 1);
        ExpectWire("");
    }
}

// --- The loader. ---

const char kNowhere[] = " BSL.EXE is not in this folder or on PATH.\n";

struct LoaderFault {
    const char* name;
    bool present;  // false: no BSL.EXE at all
    bool executable;
    Environment loader;  // the stand-in's own ending (program.h)
    const char* faults;
    const char* why;  // before the failure: why it could not be started at all
};

void PrintTo(const LoaderFault& fault, std::ostream* out) {
    *out << (fault.present ? "loader" : "no loader");
    for (const auto& variable : fault.loader) {
        *out << " " << variable.first << "=" << variable.second;
    }
    *out << " " << fault.faults;
}

// The loader there and executable, its start failing with `faults`.
LoaderFault SpawnFault(const char* name, const char* faults, const char* why) {
    return {name, true, true, {}, faults, why};
}

class LoaderFailure : public FaultTest, public ::testing::WithParamInterface<LoaderFault> {};

TEST_P(LoaderFailure, SaysProgrammingFailedAndAsksToRetry) {
    std::string loader = Folder() + "/BSL.EXE";
    if (!GetParam().present) {
        unlink(loader.c_str());
    } else {
        chmod(loader.c_str(), GetParam().executable ? 0755 : 0644);
    }
    Command command;
    command.environment = GetParam().loader;
    RunResult result = Run(kLoaderFailsThenQuit, GetParam().faults, command);
    EXPECT_TRUE(EndsWith(
        result.output, std::string(kLaunching) + GetParam().why + kLoaderFailed + kSwitchOffPrompt))
        << result.output;
    EXPECT_FALSE(Contains(result.output, kFirmwareComplete)) << result.output;
    EXPECT_EQ(result.status, 1);
    ExpectWire("");
}

INSTANTIATE_TEST_SUITE_P(
    Fault, LoaderFailure,
    ::testing::Values(
        LoaderFault{"Missing", false, false, {}, "", kNowhere},
        LoaderFault{"NotExecutable", true, false, {}, "", kNowhere},
        LoaderFault{"KilledBySignal", true, true, {{"K410_BSL_SIGNAL", "KILL"}}, "", ""},
        // Ctrl-C reaches the loader's whole process group: the loader's to act on, not the
        // program's.
        LoaderFault{"CtrlC", true, true, {{"K410_BSL_SIGNAL", "INT"}}, "", ""},
        LoaderFault{"ExitStatus255", true, true, {{"K410_BSL_STATUS", "255"}}, "", ""},
        SpawnFault(
            "SpawnFails", "spawn:1+:EAGAIN",
            " BSL.EXE could not be started. The system says: Resource temporarily unavailable.\n"),
        // A file exec cannot run (a Windows BSL.EXE): posix_spawn runs no shell for it.
        SpawnFault(
            "SpawnNoProgram", "spawn:1+:ENOEXEC",
            " BSL.EXE cannot run on this system: it is no program for it (a Windows or DOS "
            "program, or one for another architecture). The system says: Exec format error.\n"),
        // A folder mounted noexec, or one this user may not search.
        SpawnFault("SpawnDenied", "spawn:1+:EACCES",
                   " BSL.EXE was not started: this user may not run it from this folder. The "
                   "system says: Permission denied.\n"),
        // A script whose interpreter is not there.
        SpawnFault("SpawnNotFound", "spawn:1+:ENOENT",
                   " BSL.EXE was not found. The system says: No such file or directory.\n")),
    NameOf<LoaderFault>);

TEST_F(FaultTest, SpawnFailureRetriedToSuccessCompletesTheRun) {
    RunResult result = Run(kRetryOnceThenOn, "spawn:1:EAGAIN");
    ExpectInjected(result, "spawn");
    EXPECT_TRUE(Contains(result.output, std::string(kLoaderFailed) + kLaunching + kSwitchOffPrompt))
        << result.output;
    EXPECT_TRUE(Contains(result.output, kFirmwareComplete)) << result.output;
    EXPECT_TRUE(EndsWith(result.output, std::string("\n") + kDownloadComplete)) << result.output;
    EXPECT_EQ(result.status, 0);
    // The spawn that failed never started the loader; the retry ran it once.
    EXPECT_EQ(LoaderRuns(), kOneLoaderRun);
    ExpectWire(WireBytes(data_));
}

TEST_F(FaultTest, LoaderFailureNotRetriedStillDownloadsButFailsTheRun) {
    Command command;
    command.environment = {{"K410_BSL_STATUS", "255"}};
    RunResult result = Run(kToSwitchOn + "C\nN\nC\n", "", command);
    EXPECT_TRUE(Contains(result.output, kLoaderFailed)) << result.output;
    EXPECT_FALSE(Contains(result.output, kFirmwareComplete)) << result.output;
    EXPECT_TRUE(EndsWith(result.output, std::string("\n") + kDownloadComplete)) << result.output;
    EXPECT_EQ(result.status, 1);
    ExpectWire(WireBytes(data_));
}

// --- No fault: the harness itself sees the whole job done. ---

TEST_F(FaultTest, TypicalRunWithoutFaultsSendsEveryByte) {
    RunResult result = Run(kTypicalRun, "");
    EXPECT_TRUE(StartsWith(result.output, kBanner)) << result.output;
    EXPECT_TRUE(EndsWith(result.output, "DELTA 4444\n" + std::string(kDownloadComplete)))
        << result.output;
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(Contains(result.fault_log, "uses write ")) << result.fault_log;
    ExpectWire(WireBytes(data_));
}

}  // namespace
}  // namespace k410test
