// k410prog against the virtual analyzer, as a technician runs it: the typical run through
// the demo loader and the download, what the analyzer received and how it was paced, and the
// README's demo command.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "answers.h"
#include "files.h"
#include "pieces.h"
#include "program.h"
#include "running_sim.h"
#include "session.h"

namespace {

using namespace k410test;  // the shared test harness

const char* const kDataFiles[] = {"K410HELP(64K).TXT", "K410HELP(32K).TXT"};

std::string DemoFile(const std::string& name) {
    return std::string(DEMO_DATA_DIR) + "/" + name;
}

// A workspace laid out like the demo's: data, images and the demo loader, with the virtual
// analyzer as COM3 (chattering, so that a missing purge would show).
struct Workspace : RunningSim {
    // Loose: a missing pause shows as ~0 ms, while a busy machine can hand a line over a few ms
    // late.
    Workspace() : RunningSim({"--chatter", "100", "--tolerance", "25"}) {
        for (const ImageChoice& choice : kImageChoices) {
            CopyFile(DemoFile(choice.image), scratch.path() + "/" + choice.image);
        }
        for (const char* name : kDataFiles) {
            CopyFile(DemoFile(name), scratch.path() + "/" + name);
        }
        CopyFile(DEMO_BSL_PATH, scratch.path() + "/BSL.EXE");
    }

    // Runs the program with `answers` once the analyzer is ready, then stops the analyzer: the
    // run must have ended by itself, with success. Called as ASSERT_NO_FATAL_FAILURE.
    void RunToSuccess(const std::string& answers) {
        ASSERT_TRUE(Ready());
        run = RunProcess({{K410PROG_PATH},
                          scratch.path(),
                          answers,
                          // The workspace is the run's runtime folder, for its lock on COM3.
                          {{"WINEPREFIX", prefix},
                           {"XDG_RUNTIME_DIR", scratch.path()},
                           {"K410_DEMO_BSL_MS", "200"}},
                          90,
                          true});
        Stop();
        EXPECT_EQ(status, 0);
        analyzer_log = Log();
        ASSERT_FALSE(run.timed_out) << run.output;
        EXPECT_EQ(run.status, 0) << run.output;
    }
    ProcessRun run;            // the last RunToSuccess's
    std::string analyzer_log;  // what the analyzer logged until then
};

int LineCount(const std::string& bytes) {
    return static_cast<int>(std::count(bytes.begin(), bytes.end(), '\n'));
}

// Every line of `data` arrived, byte for byte less its line feed, none too soon after the one
// before was off the wire, and nothing was written over stale input.
void ExpectDownloadReceived(const Workspace& workspace, const std::string& log,
                            const std::string& data) {
    EXPECT_EQ(ReadFile(workspace.capture), WireBytes(data));
    std::string summary = LineStartingWith(log, "k410sim summary:");
    EXPECT_EQ(NumberBefore(summary, " lines"), LineCount(data)) << summary;
    EXPECT_EQ(NumberBefore(summary, " pauses under 250 ms"), 0) << log;
    // The program purges before every line, so every pause is judged as the program made it.
    EXPECT_TRUE(Contains(summary, "from the program's purge before each line")) << summary;
    EXPECT_TRUE(Contains(summary, "0 writes over stale input")) << summary;
    // ... and that means something: the analyzer spoke in most pauses, and it was thrown away.
    int discarded = 0;
    for (size_t at = log.find("stale chatter discarded"); at != std::string::npos;
         at = log.find("stale chatter discarded", at + 1)) {
        ++discarded;
    }
    EXPECT_GE(discarded, LineCount(data) / 2) << log;
    EXPECT_FALSE(Contains(log, "SHORT PAUSE")) << log;
}

// The same for the demo's data file `data_file`.
void ExpectDemoDownloadReceived(const Workspace& workspace, const std::string& log,
                                const std::string& data_file) {
    std::string data = ReadFile(DemoFile(data_file));
    ASSERT_GT(LineCount(data), 20);
    ExpectDownloadReceived(workspace, log, data);
}

TEST(EndToEnd, DemoDataCoversEveryImageNameAndSaysItIsSynthetic) {
    for (const ImageChoice& choice : kImageChoices) {
        EXPECT_TRUE(
            StartsWith(ReadFile(DemoFile(choice.image)), "; SYNTHETIC DEMO FIRMWARE IMAGE "))
            << choice.image;
    }
    for (const char* name : kDataFiles) {
        std::string data = ReadFile(DemoFile(name));
        EXPECT_EQ(data.rfind("; SYNTHETIC DEMO DATA ", 0), 0u) << name;
        // CRLF throughout, so the analyzer sees each line end in a carriage return.
        EXPECT_EQ(data.back(), '\n') << name;
        int bare_line_feeds = 0;
        for (size_t i = 0; i < data.size(); ++i) {
            bare_line_feeds += data[i] == '\n' && (i == 0 || data[i - 1] != '\r');
        }
        EXPECT_EQ(bare_line_feeds, 0) << name;
    }
}

TEST(EndToEnd, TypicalRunWritesTheFirmwareAndDownloadsEveryLineAtPace) {
    Workspace workspace;
    ASSERT_NO_FATAL_FAILURE(workspace.RunToSuccess(kTypicalRun));
    const std::string& out = workspace.run.output;
    const std::string& log = workspace.analyzer_log;
    size_t launched = out.find("Launching Bootstrap Loader Program...\n\n");
    size_t free_port = out.find("BSL: \\\\.\\COM3 opened exclusively: the port is free");
    size_t written = out.find("BSL: verified; firmware K410IV.TXT written");
    size_t complete = out.find("Firmware Programming Complete!\n");
    size_t help = out.find("Programming Help File: K410HELP(64K).TXT\n");
    ASSERT_NE(launched, std::string::npos) << out;
    EXPECT_LT(launched, free_port) << out;
    EXPECT_LT(free_port, written) << out;
    EXPECT_LT(written, complete) << out;
    EXPECT_LT(complete, help) << out;
    EXPECT_TRUE(EndsWith(out, "\nProgramming Complete!\n")) << out;

    // The port check, the loader and the download each had the port to themselves.
    std::string summary = LineStartingWith(log, "k410sim summary:");
    EXPECT_TRUE(Contains(summary, "3 opens, 3 closes, at most 1 user(s) at once")) << log;
    ExpectDemoDownloadReceived(workspace, log, "K410HELP(64K).TXT");
}

TEST(EndToEnd, OldVersionSkippingTheLoaderSendsThe32KFile) {
    Workspace workspace;
    ASSERT_NO_FATAL_FAILURE(workspace.RunToSuccess("3\nN\nY\nN\nS\n"));
    const std::string& out = workspace.run.output;
    EXPECT_FALSE(Contains(out, "BSL:")) << out;
    EXPECT_TRUE(Contains(out, "Programming Help File: K410HELP(32K).TXT\n"));
    ExpectDemoDownloadReceived(workspace, workspace.analyzer_log, "K410HELP(32K).TXT");
}

TEST(EndToEnd, LongLinesGetTheWholePauseAfterTheyAreOffTheWire) {
    // A pseudo-terminal says a line is sent as soon as it has taken it, as a USB adapter's
    // driver does, while the analyzer receives a line of 200 bytes for 209 ms at 9600 baud. A
    // pause counted from the driver's word leaves the analyzer about 40 ms of quiet.
    Workspace workspace;
    std::string data;
    for (char fill = 'A'; fill < 'G'; ++fill) {
        data += "LONG " + std::string(1, fill) + " " + std::string(200, fill) + "\r\n";
    }
    ASSERT_TRUE(WriteFile(workspace.scratch.path() + "/K410HELP(64K).TXT", data));
    ASSERT_NO_FATAL_FAILURE(workspace.RunToSuccess(kSkipLoader));
    EXPECT_TRUE(EndsWith(workspace.run.output, "\nProgramming Complete!\n"))
        << workspace.run.output;
    ExpectDownloadReceived(workspace, workspace.analyzer_log, data);
}

TEST(EndToEnd, DemoScriptRunsTheTypicalSessionUnattended) {
    ProcessRun run = RunProcess({{"/bin/bash", std::string(SOURCE_DIR) + "/scripts/demo"},
                                 "",
                                 kTypicalRun,
                                 {{"K410_BUILD_DIR", BUILD_DIR}, {"K410_DEMO_BSL_MS", "200"}},
                                 120,
                                 true});
    ASSERT_FALSE(run.timed_out) << run.output;
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(Contains(run.output, "\nProgramming Complete!\n")) << run.output;
    std::string summary = LineStartingWith(run.output, "k410sim summary:");
    EXPECT_EQ(NumberBefore(summary, " lines"), 36) << run.output;
    // Loose, as above: the demo's analyzer judges pauses to within 1 ms.
    size_t shortest = summary.find("shortest pause ");
    ASSERT_NE(shortest, std::string::npos) << run.output;
    EXPECT_GE(std::strtod(summary.c_str() + shortest + 15, nullptr), 225.0) << run.output;
    EXPECT_TRUE(Contains(run.output, "the analyzer received every byte of K410HELP(64K).TXT"))
        << run.output;
    EXPECT_TRUE(Contains(run.output, "k410prog exited with status 0"));
}

}  // namespace
