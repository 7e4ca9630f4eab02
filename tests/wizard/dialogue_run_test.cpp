// The dialogue up to the switch-on prompt, driven through the built program.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "session.h"

namespace k410test {
namespace {

using Dialogue = Session;

TEST_F(Dialogue, InfoRepeatsTheSwitchOnPromptAndQQuitsLeavingThePortConfigured) {
    SetDistinctiveTimeouts();
    ProcessRun run = Run("3\nN\nN\nN\nN\nI\nX\nQ\n");
    EXPECT_EQ(run.output, UpToSwitchOn() + kSwitchOnInfo + kSwitchOnPrompt + kSwitchOnPrompt);
    EXPECT_EQ(run.status, 0);
    ExpectLineLeftConfigured();
    // The port check sends nothing.
    EXPECT_EQ(recorder_->Bytes(), "");
    EXPECT_TRUE(LoaderRuns().empty());
}

TEST_F(Dialogue, InvalidPortNumbersEndTheRunAsFailed) {
    for (const char* answer : {"0\n", "256\n", "Q\n", "-3\n", "99999999999\n", "", "\n\n"}) {
        ProcessRun run = Run(answer);
        EXPECT_EQ(run.output, std::string(kBanner) + kInvalidResponse) << answer;
        EXPECT_EQ(run.status, 1) << answer;
    }
}

TEST_F(Dialogue, PortWithNoDeviceBehindIt) {
    ProcessRun run = Run("7\nN\nN\nN\nN\nQ\n");
    EXPECT_EQ(run.output, kBanner + PortError("Opening", 7));
    EXPECT_EQ(run.status, 1);
}

TEST_F(Dialogue, PortHeldByAnotherProgram) {
    if (ProgramIsForeign()) {
        GTEST_SKIP() << "Wine ignores flock() and does not refuse a second open of a COM port";
    }
    int other = open(line_.slave_path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    ProcessRun run = Run("3\nN\nN\nN\nN\nQ\n");
    close(other);
    EXPECT_EQ(run.output, kBanner + PortError("Opening"));
    EXPECT_EQ(run.status, 1);
}

TEST_F(Dialogue, Port255) {
    ASSERT_TRUE(PublishComPort(prefix_, 255, line_.slave_path()));
    ProcessRun run = Run("255\nn\nn\nn\nn\nq\n");
    EXPECT_EQ(run.output, UpToSwitchOn());
    EXPECT_EQ(run.status, 0);
}

TEST_F(Dialogue, EmptyLinesAreSkippedWithoutAskingAgain) {
    ProcessRun run = Run("\n\n  3\n\n\nN\n\nN\n \t \nN\n\n\nN\n\n\nq\n");
    EXPECT_EQ(run.output, UpToSwitchOn());
    EXPECT_EQ(run.status, 0);
}

TEST_F(Dialogue, QuestionFourOnlyForTheStandardAnalyzer) {
    const std::string head =
        std::string(kBanner) + kQuestionsIntro + kQuestion1 + kQuestion2 + kQuestion3;
    for (const char* answers : {"3\nY\nN\nN\nQ\n", "3\nN\nY\nN\nQ\n", "3\nN\nN\nY\nQ\n"}) {
        ProcessRun run = Run(answers);
        EXPECT_EQ(run.output, head + kSwitchOnPrompt) << answers;
        EXPECT_EQ(run.status, 0);
    }
}

TEST_F(Dialogue, EndOfInputEndsTheRunAndReleasesThePort) {
    SetDistinctiveTimeouts();
    // Mid-questions, the port is open: it must be released with its time-outs put back.
    ProcessRun run = Run("3\nN\n");
    EXPECT_EQ(run.output, std::string(kBanner) + kQuestionsIntro + kQuestion1 + kQuestion2 + "\n");
    EXPECT_EQ(run.status, 1);
    ExpectLineLeftConfigured();

    run = Run("3\nN\nN\nN\nN\nI\n");
    EXPECT_EQ(run.output, UpToSwitchOn() + kSwitchOnInfo + kSwitchOnPrompt + "\n");
    EXPECT_EQ(run.status, 1);
}

}  // namespace
}  // namespace k410test
