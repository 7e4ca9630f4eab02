// LaunchLoader with the stand-in BSL.EXE, which records its arguments, what started it and its
// command line, and exits with the status it is told. The tests run in the stand-in's folder,
// where the look-up finds BSL.EXE first; those of the look-up enter scratch folders of their own
// and change PATH, and put both back.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>

#include "../support/answers.h"
#include "import_patch.h"
#include "loader.h"

namespace {

const std::vector<std::string> kTypicalCommand = {"BSL.EXE", "+mpvr", "-c\\\\.\\COM3",
                                                  "K410IV.TXT"};
// What the stand-in records of one run of it.
const std::string kTypicalRun = "+mpvr\n-c\\\\.\\COM3\nK410IV.TXT\n\n";
const char kNotForThisWindows[] =
    "BSL.EXE cannot run on this Windows: it is a 16-bit, DOS or other-architecture program";
const char kBlocked[] =
    "BSL.EXE was not started: it is blocked (by antivirus software, or by AppLocker or another "
    "policy)";

void SetVariable(const char* name, const std::string& value) {
    ASSERT_EQ(_putenv_s(name, value.c_str()), 0);
}

// The file's full path in upper case, for comparing paths as Windows does.
std::string Comparable(const std::string& path) {
    std::string full = std::filesystem::absolute(path).string();
    CharUpperBuffA(&full[0], static_cast<DWORD>(full.size()));
    return full;
}

class Loader : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(scratch_.path().empty());
        record_ = scratch_.path() + "\\record";
        started_ = scratch_.path() + "\\started";
        SetVariable("K410_BSL_TEST", "1");
        SetVariable("K410_BSL_RECORD", record_);
        SetVariable("K410_BSL_STARTED", started_);
        SetVariable("K410_BSL_STATUS", "0");
        SetVariable("K410_BSL_SAY", "");
        standin_folder_ = std::filesystem::current_path().string();
        path_ = std::getenv("PATH");
    }
    void TearDown() override {
        SetEnvironmentVariableA("PATH", path_.c_str());
        DeleteFileA(own_folders_standin_.c_str());
    }
    std::string Recorded() const { return k410test::ReadFile(record_); }

    void PutStandIn(const std::string& folder) {
        EXPECT_TRUE(CopyFileA((standin_folder_ + "\\BSL.EXE").c_str(),
                              (folder + "\\BSL.EXE").c_str(), FALSE));
    }
    // The typical command runs the stand-in in `folder`.
    void ExpectRunFrom(const std::string& folder) {
        EXPECT_EQ(LaunchLoader(kTypicalCommand), 0);
        EXPECT_EQ(Comparable(LastStarted().own_path), Comparable(folder + "\\BSL.EXE"));
    }

    // What the stand-in's last run said of itself: its own path, its parent's program, its
    // command line.
    struct Started {
        std::string own_path, parent, command_line;
    };
    Started LastStarted() const {
        std::istringstream lines(k410test::ReadFile(started_));
        Started started;
        std::string own_path;
        while (std::getline(lines, own_path)) {
            started.own_path = own_path;
            std::getline(lines, started.parent);
            std::getline(lines, started.command_line);
        }
        return started;
    }

    k410test::ScratchDir scratch_;
    std::string record_, started_, standin_folder_, path_;
    std::string own_folders_standin_;  // removed at the end: not in a scratch folder
};

// No command interpreter in between: this program starts the loader itself, and the loader's
// command line is the one the wizard made, unchanged.
TEST_F(Loader, StartedByThisProgramWithTheCommandLineUnchanged) {
    ExpectRunFrom(standin_folder_);
    const Started started = LastStarted();
    EXPECT_EQ(started.parent, "launch_win32_test.exe");
    EXPECT_EQ(started.command_line, "BSL.EXE +mpvr -c\\\\.\\COM3 K410IV.TXT");
    EXPECT_EQ(Recorded(), kTypicalRun);
}

// Words the C runtime would split or unquote arrive as they were given.
TEST_F(Loader, SuccessfulLoaderGetsTheCommandLineWordByWord) {
    EXPECT_EQ(LaunchLoader({"BSL.EXE", "a b\\", "c\\\"d", ""}), 0);
    EXPECT_EQ(LastStarted().command_line, "BSL.EXE \"a b\\\\\" \"c\\\\\\\"d\" \"\"");
    EXPECT_EQ(Recorded(), "a b\\\nc\\\"d\n\n\n");
}

TEST_F(Loader, OneInTheCurrentFolderComesBeforeOneOnPath) {
    k410test::ScratchDir on_path;
    PutStandIn(on_path.path());
    ASSERT_TRUE(SetEnvironmentVariableA("PATH", (on_path.path() + ";" + path_).c_str()));
    EXPECT_EQ(FindLoaderProgram("BSL.EXE"), ".\\BSL.EXE");
    ExpectRunFrom(standin_folder_);
}

TEST_F(Loader, OneOnPathOnlyIsFoundInPathsOrder) {
    k410test::ScratchDir first, second, elsewhere;
    PutStandIn(first.path());
    PutStandIn(second.path());
    ASSERT_TRUE(elsewhere.Enter());
    // A folder that is not there, an empty entry, and the first with the quotes cmd.exe allows.
    ASSERT_TRUE(SetEnvironmentVariableA("PATH", (scratch_.path() + "\\none;;\"" + first.path() +
                                                 "\";" + second.path() + ";" + path_)
                                                    .c_str()));
    EXPECT_EQ(Comparable(FindLoaderProgram("BSL.EXE")), Comparable(first.path() + "\\BSL.EXE"));
    ExpectRunFrom(first.path());
    EXPECT_EQ(Recorded(), kTypicalRun);
}

// Not where SearchPathA and CreateProcessA look first: this program's own folder.
TEST_F(Loader, NoneInTheCurrentFolderOrOnPathIsAFailedLaunchWhereverElseOneIs) {
    char self[MAX_PATH];
    ASSERT_NE(GetModuleFileNameA(nullptr, self, MAX_PATH), 0u);
    std::string own_folder = self;
    own_folder.resize(own_folder.rfind('\\'));
    own_folders_standin_ = own_folder + "\\BSL.EXE";
    PutStandIn(own_folder);
    k410test::ScratchDir empty;
    ASSERT_TRUE(empty.Enter());
    EXPECT_EQ(FindLoaderProgram("BSL.EXE"), "");
    EXPECT_NE(LaunchLoader(kTypicalCommand), 0);
    EXPECT_EQ(Recorded(), "");
}

// `line` is one reason line that tells `told` and then, where the system has words for the
// error, those, its insert filled in.
void ExpectToldWhy(const std::string& line, const std::string& told) {
    EXPECT_TRUE(k410test::StartsWith(line, " " + told + ".")) << line;
    EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
    EXPECT_TRUE(k410test::EndsWith(line, ".\n")) << line;
    EXPECT_FALSE(k410test::Contains(line, "%1")) << line;
}

// A file that is no program for this Windows (what a 16-bit or DOS BSL.EXE is on 64-bit
// Windows): CreateProcessA itself fails with ERROR_BAD_EXE_FORMAT, here and under Wine.
TEST_F(Loader, OneThatCannotBeStartedIsAFailedLaunchToldWhy) {
    k410test::ScratchDir folder;
    ASSERT_TRUE(folder.Put("BSL.EXE", "not a program\r\n"));
    ASSERT_TRUE(folder.Enter());
    EXPECT_EQ(FindLoaderProgram("BSL.EXE"), ".\\BSL.EXE");
    std::string why;
    EXPECT_NE(LaunchLoader(kTypicalCommand, &why), 0);
    ExpectToldWhy(why, kNotForThisWindows);
    EXPECT_EQ(Recorded(), "");
}

DWORD create_process_error = 0;
BOOL WINAPI FailingCreateProcessA(LPCSTR, LPSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                                  DWORD, LPVOID, LPCSTR, LPSTARTUPINFOA, LPPROCESS_INFORMATION) {
    SetLastError(create_process_error);
    return FALSE;
}

// What CreateProcessA fails with where Windows will not start the program. Learn, CreateProcess
// remarks: a 16-bit program on 64-bit Windows fails with ERROR_BAD_EXE_FORMAT (193); Learn
// archive, "Elevation and process creation APIs": a program manifested requireAdministrator fails
// with ERROR_ELEVATION_REQUIRED (740); Learn, System Error Codes: ERROR_ACCESS_DISABLED_BY_POLICY
// (1260), a program blocked by policy (AppLocker, software restriction).
TEST_F(Loader, ProgramWindowsWillNotStartIsToldWhy) {
    struct Case {
        DWORD error;
        const char* told;
    };
    const Case cases[] = {
        {ERROR_BAD_EXE_FORMAT, kNotForThisWindows},
        {740, "BSL.EXE was not started: it asks to be run as administrator"},
        {ERROR_ACCESS_DENIED, kBlocked},
        {ERROR_ACCESS_DISABLED_BY_POLICY, kBlocked},
        {ERROR_FILE_NOT_FOUND, "BSL.EXE was not found"},
        {ERROR_NOT_ENOUGH_MEMORY, "BSL.EXE could not be started"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        create_process_error = c.error;
        ImportPatch create(&__imp_CreateProcessA, &FailingCreateProcessA);
        std::string why = "left from before";
        EXPECT_NE(LaunchLoader(kTypicalCommand, &why), 0);
        ExpectToldWhy(why, c.told);
    }
}

// 259, STILL_ACTIVE, is the status of a process not yet ended: the wait is over before the
// status is taken.
TEST_F(Loader, AnyNonzeroExitStatusIsAFailure) {
    std::string runs;
    for (const char* status : {"1", "2", "3", "255", "-1", "256", "259"}) {
        SCOPED_TRACE(status);
        SetVariable("K410_BSL_STATUS", status);
        EXPECT_NE(LaunchLoader(kTypicalCommand), 0);
        runs += kTypicalRun;  // each of them ran, with the same command line
    }
    EXPECT_EQ(Recorded(), runs);
}

// One that ran and failed is told nothing new: a retry may do better.
TEST_F(Loader, RetriedLaunchRunsTheSameCommandAgain) {
    SetVariable("K410_BSL_STATUS", "1");
    const std::vector<std::string> command = {"BSL.EXE", "+mpvr", "-c\\\\.\\COM12", "K410HD.TXT"};
    std::string why = "left from before";
    EXPECT_NE(LaunchLoader(command, &why), 0);
    EXPECT_EQ(why, "");
    SetVariable("K410_BSL_STATUS", "0");
    EXPECT_EQ(LaunchLoader(command, &why), 0);
    EXPECT_EQ(why, "");
    EXPECT_EQ(Recorded(),
              "+mpvr\n-c\\\\.\\COM12\nK410HD.TXT\n\n+mpvr\n-c\\\\.\\COM12\nK410HD.TXT\n\n");
}

// The status that comes back is the loader's of this run, not one left from an earlier run.
TEST_F(Loader, EachRunsOwnStatusComesBack) {
    SetVariable("K410_BSL_STATUS", "4,1,0");
    for (const bool fails : {true, true, false, false}) {
        EXPECT_EQ(LaunchLoader(kTypicalCommand) != 0, fails);
    }
}

TEST_F(Loader, LoaderThatIsNotThereIsAFailure) {
    std::string why;
    EXPECT_NE(LaunchLoader({"K410-NO-SUCH-LOADER.EXE", "+mpvr", "-c\\\\.\\COM3", "K410.TXT"}, &why),
              0);
    EXPECT_EQ(why, " K410-NO-SUCH-LOADER.EXE is not in this folder or on PATH.\n");
    EXPECT_EQ(Recorded(), "");
}

// The loader shares the console: what the wizard printed before the launch must come out before
// the loader's own output, also when standard output is a pipe (fully buffered). This program
// is started again as the "wizard" with its output on a pipe.
TEST_F(Loader, WizardOutputBeforeTheLaunchComesOutBeforeTheLoaders) {
    SetVariable("K410_BSL_SAY", "LOADER SPEAKING");
    const ChildRun child = RunThisProgram("--wizard", standin_folder_);
    ASSERT_TRUE(child.ended) << child.output;
    EXPECT_EQ(child.status, 0u) << child.output;
    const std::string& output = child.output;
    const size_t wizard_at = output.find("Launching Bootstrap Loader Program...");
    const size_t loader_at = output.find("LOADER SPEAKING");
    ASSERT_NE(wizard_at, std::string::npos) << output;
    ASSERT_NE(loader_at, std::string::npos) << output;
    EXPECT_LT(wizard_at, loader_at) << output;
}

// The "wizard" of the test above: prints as the loader stage does, unflushed, then launches.
int RunAsWizard() {
    std::cout << "Launching Bootstrap Loader Program...\n\n";
    return LaunchLoader(kTypicalCommand);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--wizard") {
        return RunAsWizard();
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
