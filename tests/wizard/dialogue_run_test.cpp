// The dialogue up to the switch-on prompt, driven through the built program.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <future>

#include "session.h"

namespace k410test {
namespace {

using Dialogue = Session;

TEST_F(Dialogue, InfoRepeatsTheSwitchOnPromptAndQQuitsLeavingThePortConfigured) {
    SetDistinctiveTimeouts();
    RunExpecting(kToSwitchOn + "I\nX\nQ\n",
                 UpToSwitchOn() + kSwitchOnInfo + kSwitchOnPrompt + kSwitchOnPrompt, 0);
    ExpectLineLeftConfigured();
    // The port check sends nothing.
    EXPECT_EQ(recorder_->Bytes(), "");
    EXPECT_TRUE(LoaderRuns().empty());
}

TEST_F(Dialogue, RunLockThatCannotBeMadeIsNoReasonToFail) {
    RunExpecting(kQuitAtSwitchOn, UpToSwitchOn(), 0, {{"XDG_RUNTIME_DIR", Folder() + "/missing"}});
}

TEST_F(Dialogue, InvalidPortNumbersEndTheRunAsFailed) {
    for (const char* answer : {"0\n", "256\n", "Q\n", "-3\n", "99999999999\n", "", "\n\n"}) {
        RunExpecting(answer, std::string(kBanner) + kInvalidResponse, 1);
    }
}

TEST_F(Dialogue, PortWithNoDeviceBehindItNamesThePortsPresent) {
    PtyLine com4;
    ASSERT_TRUE(com4.ok());
    ASSERT_TRUE(PublishComPort(prefix_, 4, com4.slave_path()));
    if (ProgramIsForeign()) {
        // Wine names a port that is only a link in its prefix nowhere but at its open.
        ASSERT_TRUE(RegisterComPortWithWine(prefix_, 3));
        ASSERT_TRUE(RegisterComPortWithWine(prefix_, 4));
    }
    ProcessRun run = Run("7\nN\nN\nN\nN\nQ\n");
    unlink((prefix_ + "/dosdevices/com4").c_str());
    EXPECT_EQ(run.status, 1);
    if (ProgramIsForeign()) {
        RegisterComPortWithWine(prefix_, 3, false);
        RegisterComPortWithWine(prefix_, 4, false);
        // Wine's prefix has ports of its own: COM1 for each /dev/ttyS* of the machine.
        EXPECT_TRUE(StartsWith(run.output, kBanner + PortError("Opening", 7) +
                                               " There is no COM7. Serial ports present: "))
            << run.output;
        EXPECT_NE(run.output.find("COM3, COM4"), std::string::npos) << run.output;
        return;
    }
    EXPECT_EQ(LessThisMachinesDevices(run.output),
              kBanner + PortError("Opening", 7) + NotThereLine(7, "COM3, COM4"));
}

TEST_F(Dialogue, NoSerialPortAtAll) {
    if (ProgramIsForeign()) {
        GTEST_SKIP() << "Wine's prefix has ports of its own: COM1 for each /dev/ttyS*";
    }
    ASSERT_EQ(unlink((prefix_ + "/dosdevices/com3").c_str()), 0);
    ProcessRun run = Run(kQuitAtSwitchOn);
    EXPECT_EQ(LessThisMachinesDevices(run.output),
              kBanner + PortError("Opening") + NotThereLine(3, ""));
    EXPECT_EQ(run.status, 1);
}

TEST_F(Dialogue, ComLinkToAPlainFileIsNoSerialPort) {
    ASSERT_TRUE(WriteFile(Folder() + "/plain.txt", "not a device\n"));
    ASSERT_TRUE(PublishComPort(prefix_, 5, Folder() + "/plain.txt"));
    RunExpecting("5\nN\nN\nN\nN\nQ\n", kBanner + PortError("Opening", 5) + NotSerialLine(5), 1);
    unlink((prefix_ + "/dosdevices/com5").c_str());
}

TEST_F(Dialogue, PortHeldByAnotherProgram) {
    if (ProgramIsForeign()) {
        GTEST_SKIP() << "Wine ignores flock() and does not refuse a second open of a COM port";
    }
    int other = open(line_.slave_path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    RunExpecting(kQuitAtSwitchOn, kBanner + PortError("Opening") + InUseLine(), 1);
    close(other);
}

TEST_F(Dialogue, SecondRunIsRefusedWhileTheFirstWaitsAndTheFirstsLoaderFindsThePortFree) {
    int answers[2];
    ASSERT_EQ(pipe2(answers, O_CLOEXEC), 0);
    std::promise<void> at_switch_on;
    std::atomic<bool> told{false};
    Command first;
    first.input_fd = answers[0];
    first.on_output = [&](const std::string& so_far) {
        if (!told && so_far.find("or C to continue>") != std::string::npos) {
            told = true;
            at_switch_on.set_value();
        }
    };
    auto running = std::async(std::launch::async, [&] { return RunCommand(first); });
    ASSERT_EQ(write(answers[1], kToSwitchOn.data(), kToSwitchOn.size()),
              static_cast<ssize_t>(kToSwitchOn.size()));
    const bool waiting =
        at_switch_on.get_future().wait_for(std::chrono::seconds(30)) == std::future_status::ready;

    RunExpecting(kQuitAtSwitchOn, kBanner + PortError("Opening") + HeldByRunLine(), 1);

    const std::string to_end = "C\nQ\n";
    EXPECT_EQ(write(answers[1], to_end.data(), to_end.size()), static_cast<ssize_t>(to_end.size()));
    close(answers[1]);
    ProcessRun run = running.get();
    close(answers[0]);
    EXPECT_TRUE(waiting) << "the first run never reached the switch-on prompt";
    EXPECT_EQ(run.output, UpToSwitchOn() + kLaunching + kSwitchOffPrompt);
    EXPECT_EQ(run.status, 0);
    if (!ProgramIsForeign()) {
        EXPECT_EQ(PortWhileLoading(), "free\n");
    }
}

TEST_F(Dialogue, Port255) {
    ASSERT_TRUE(PublishComPort(prefix_, 255, line_.slave_path()));
    RunExpecting("255\nn\nn\nn\nn\nq\n", UpToSwitchOn(), 0);
}

TEST_F(Dialogue, EmptyLinesAreSkippedWithoutAskingAgain) {
    RunExpecting("\n\n  3\n\n\nN\n\nN\n \t \nN\n\n\nN\n\n\nq\n", UpToSwitchOn(), 0);
}

TEST_F(Dialogue, QuestionFourOnlyForTheStandardAnalyzer) {
    const std::string head =
        std::string(kBanner) + kQuestionsIntro + kQuestion1 + kQuestion2 + kQuestion3;
    for (const char* answers : {"3\nY\nN\nN\nQ\n", "3\nN\nY\nN\nQ\n", "3\nN\nN\nY\nQ\n"}) {
        RunExpecting(answers, head + kSwitchOnPrompt, 0);
    }
}

TEST_F(Dialogue, EndOfInputEndsTheRunAndReleasesThePort) {
    SetDistinctiveTimeouts();
    // Mid-questions, the port is open: it must be released with its time-outs put back.
    RunExpecting("3\nN\n", std::string(kBanner) + kQuestionsIntro + kQuestion1 + kQuestion2 + "\n",
                 1);
    ExpectLineLeftConfigured();

    RunExpecting(kToSwitchOn + "I\n", UpToSwitchOn() + kSwitchOnInfo + kSwitchOnPrompt + "\n", 1);
}

// The files a run needs are looked for after the questions, before the technician slides the
// switches on: one line for each that is missing, just before the switch-on prompt, and nothing
// else changes. With every file there the transcript is as it always was.

TEST_F(Dialogue, EachFirmwareImageTheAnswersChooseIsLookedForAndOnlyThatOne) {
    for (const ImageChoice& choice : kImageChoices) {
        SCOPED_TRACE(choice.image);
        const std::string answers = std::string("3\n") + choice.answers + "\nQ\n";
        ProcessRun all_there = Run(answers);
        EXPECT_FALSE(Contains(all_there.output, " is not in this folder")) << all_there.output;

        ASSERT_EQ(unlink((Folder() + "/" + choice.image).c_str()), 0);
        ProcessRun missing = Run(answers);
        // The run is the same but for that one line before the prompt; Q still quits.
        std::string expected = all_there.output;
        expected.insert(expected.rfind(kSwitchOnPrompt), ImageMissingLine(choice.image));
        EXPECT_EQ(missing.output, expected);
        EXPECT_EQ(missing.status, 0);
        PutImage(choice.image);
    }
}

TEST_F(Dialogue, MissingDataFileIsToldBeforeTheSwitchOnPrompt) {
    // Versions A to E take the 32K file, the others the 64K one; the other file plays no part.
    ASSERT_EQ(unlink((Folder() + "/K410HELP(32K).TXT").c_str()), 0);
    ProcessRun run = Run(kQuitAtSwitchOn);
    EXPECT_EQ(run.output, UpToSwitchOn());
    RunExpecting("3\nN\nY\nN\nQ\n",
                 std::string(kBanner) + kQuestionsIntro + kQuestion1 + kQuestion2 + kQuestion3 +
                     DataFileMissingLine("K410HELP(32K).TXT") + kSwitchOnPrompt,
                 0);
}

TEST_F(Dialogue, AllThreeMissingGiveThreeLinesInTheOrderOfUse) {
    ASSERT_EQ(unlink((Folder() + "/BSL.EXE").c_str()), 0);
    ASSERT_EQ(unlink((Folder() + "/K410IV.TXT").c_str()), 0);
    ASSERT_EQ(unlink((Folder() + "/K410HELP(64K).TXT").c_str()), 0);
    RunExpecting(kToSwitchOn + "I\nQ\n",
                 UpToSwitchOn(kLoaderMissing + ImageMissingLine("K410IV.TXT") +
                              DataFileMissingLine("K410HELP(64K).TXT")) +
                     kSwitchOnInfo + kSwitchOnPrompt,
                 0);
}

}  // namespace
}  // namespace k410test
