// The EEPROM data download through the built program: every byte of the data file but its line
// feeds reaches the analyzer, in order, a piece at a time and at least 250 ms apart.
#include <unistd.h>

#include <future>

#include "session.h"

namespace k410test {
namespace {

using namespace std::chrono_literals;

const std::string kDataFile = "first line\r\nsecond line\r\n\r\nlast line without a line feed";

class Download : public Session {
  protected:
    // Answers that skip the loader, with standard output a terminal.
    ProcessRun SkipLoaderOnATerminal() {
        Command command;
        command.input = kSkipLoader;
        command.output_to_terminal = true;
        return RunCommand(command);
    }
};

// What a terminal shows of `output` less the program's title sequences.
std::string LessTitles(std::string output) {
    for (size_t start; (start = output.find("\033]0;")) != std::string::npos;) {
        output.erase(start, output.find('\007', start) + 1 - start);
    }
    return output;
}

// `file` went out after `base` bytes the analyzer had received before.
void ExpectPaced(const LineRecorder& recorder, const std::string& file, size_t base = 0) {
    std::vector<size_t> offsets = PieceOffsets(file);
    for (size_t i = 1; i < offsets.size(); ++i) {
        if (offsets[i] == offsets[i - 1]) {
            continue;  // an empty piece puts nothing on the wire to time
        }
        auto gap =
            ArrivalOf(recorder, base + offsets[i]) - ArrivalOf(recorder, base + offsets[i - 1]);
        // Loose: the program waits 250 ms after each piece is off the wire.
        EXPECT_GE(gap, 200ms) << "piece " << i;
    }
}

TEST_F(Download, TypicalRun) {
    SetDistinctiveTimeouts();
    PutDataFile("K410HELP(64K).TXT", kDataFile);
    PutDataFile("K410HELP(32K).TXT", "the wrong file\n");
    ProcessRun run =
        RunExpecting(kTypicalRun,
                     UpToSwitchOn() + kLaunching + kSwitchOffPrompt + kFirmwareComplete +
                         DownloadTranscript("K410HELP(64K).TXT", WireBytes(kDataFile)),
                     0);
    ASSERT_EQ(LoaderRuns().size(), 1u);
    EXPECT_EQ(LoaderRuns()[0], (std::vector<std::string>{"+mpvr", "-c\\\\.\\COM3", "K410IV.TXT"}));
    ASSERT_TRUE(recorder_->WaitForBytes(WireBytes(kDataFile).size(), 2000ms));
    EXPECT_EQ(recorder_->Bytes(), "first line\rsecond line\r\rlast line without a line feed");
    ExpectPaced(*recorder_, kDataFile);
    // Four pieces, each followed by its pause, the last one included.
    EXPECT_GE(run.seconds, 1.0);
    ExpectLineLeftConfigured();
}

TEST_F(Download, ProgressInTheTerminalsTitleOnlyClearedAtTheEnd) {
    if (ProgramIsForeign()) {
        GTEST_SKIP() << "a Windows build sets its console window's title, not the terminal's "
                        "(shown by the Windows tests)";
    }
    const std::string file = "one\r\ntwo\r\nthree\r\nfour";
    PutDataFile("K410HELP(64K).TXT", file);
    ProcessRun run = SkipLoaderOnATerminal();
    EXPECT_EQ(run.status, 0);
    const std::string title = "\033]0;k410prog: COM3 EEPROM data ";
    size_t at = 0;
    for (const char* progress :
         {"0/4 lines, 0%\007", "1/4 lines, 25%, about ", "2/4 lines, 50%, about ",
          "3/4 lines, 75%, about ", "4/4 lines, 100%\007\033]0;\007\n"}) {
        at = run.output.find(title + progress, at);
        ASSERT_NE(at, std::string::npos) << progress << " in:\n" << run.output;
    }
    // Less its titles, the terminal shows what a pipe carries, and a pipe carries no title.
    const std::string transcript =
        UpToSwitchOn() + DownloadTranscript("K410HELP(64K).TXT", WireBytes(file));
    EXPECT_EQ(LessTitles(run.output), transcript);
    EXPECT_EQ(Run(kSkipLoader).output, transcript);
}

TEST_F(Download, ControlBytesInTheDataShowOnATerminalWithoutActing) {
    if (ProgramIsForeign()) {
        GTEST_SKIP() << "a Windows build tells a console from a pipe by the console's modes "
                        "(shown by the Windows tests)";
    }
    // A corrupt file: a title, a cleared screen, the line-drawing set, a C1 control sequence.
    const std::string file = std::string("title \033]0;gone\007 clear \033[2J\r\n") +
                             "charset \033(0 csi \x9b"
                             "7m del \177 nul " +
                             std::string(1, '\0') + " tab\tend\r\nlatin \xe9";
    const std::string shown =
        "title ^[]0;gone^G clear ^[[2J\rcharset ^[(0 csi <9B>7m del ^? nul ^@ tab\tend\rlatin \xe9";
    PutDataFile("K410HELP(64K).TXT", file);
    ProcessRun run = SkipLoaderOnATerminal();
    EXPECT_EQ(run.status, 0);
    // Less the program's own titles (the only escape sequences left), the terminal shows the
    // data in its visible form.
    EXPECT_EQ(LessTitles(run.output),
              UpToSwitchOn() + DownloadTranscript("K410HELP(64K).TXT", shown));
    // A pipe carries the bytes as sent; the analyzer gets them unchanged either way.
    EXPECT_EQ(Run(kSkipLoader).output,
              UpToSwitchOn() + DownloadTranscript("K410HELP(64K).TXT", WireBytes(file)));
    ASSERT_TRUE(recorder_->WaitForBytes(2 * WireBytes(file).size(), 2000ms));
    EXPECT_EQ(recorder_->Bytes(), WireBytes(file) + WireBytes(file));
}

TEST_F(Download, SkipGoesStraightToTheDownloadOfTheOldVersionsFile) {
    PutDataFile("K410HELP(32K).TXT", "old\n");
    PutDataFile("K410HELP(64K).TXT", "the wrong file\n");
    RunExpecting("3\nN\nY\nN\nS\n",
                 std::string(kBanner) + kQuestionsIntro + kQuestion1 + kQuestion2 + kQuestion3 +
                     kSwitchOnPrompt + DownloadTranscript("K410HELP(32K).TXT", "old"),
                 0);
    EXPECT_TRUE(LoaderRuns().empty());
    ASSERT_TRUE(recorder_->WaitForBytes(3, 2000ms));
    EXPECT_EQ(recorder_->Bytes(), "old");
}

TEST_F(Download, AwkwardFilesArriveWhole) {
    std::string long_line;
    for (int i = 0; i < 300; ++i) {
        long_line += static_cast<char>('a' + i % 26);
    }
    const std::string files[] = {
        "",
        long_line + "\n" + "after\n",
        std::string("zero\0inside\n\0\n", 14) + "end",
        "\n\n\r\n",
    };
    for (const std::string& file : files) {
        PutDataFile("K410HELP(64K).TXT", file);
        const size_t before = recorder_->Bytes().size();
        RunExpecting("3 n n n n s\n",
                     UpToSwitchOn() + DownloadTranscript("K410HELP(64K).TXT", WireBytes(file)), 0);
        ASSERT_TRUE(recorder_->WaitForBytes(before + WireBytes(file).size(), 2000ms));
        EXPECT_EQ(recorder_->Bytes().substr(before), WireBytes(file));
        if (file.size() > 255) {
            ExpectPaced(*recorder_, file, before);
        }
    }
}

TEST_F(Download, MissingDataFile) {
    SetDistinctiveTimeouts();
    ASSERT_EQ(unlink((Folder() + "/K410HELP(64K).TXT").c_str()), 0);
    // Told before the switch-on prompt, and again by the download, which looks for itself.
    RunExpecting(kSkipLoader,
                 UpToSwitchOn(DataFileMissingLine("K410HELP(64K).TXT")) +
                     HelpFileLine("K410HELP(64K).TXT") + FileNotFound("K410HELP(64K).TXT"),
                 1);
    EXPECT_EQ(recorder_->Bytes(), "");
    // The port was open again for the download; it is released with its time-outs put back.
    ExpectLineLeftConfigured();
}

TEST_F(Download, LineHungUpMidDownload) {
    std::string file;
    for (int i = 0; i < 20; ++i) {
        file += "line " + std::to_string(i) + "\r\n";
    }
    PutDataFile("K410HELP(64K).TXT", file);
    auto running = std::async(std::launch::async, [this] { return Run(kSkipLoader); });
    ASSERT_TRUE(recorder_->WaitForText("line 1\r", 10000ms));
    recorder_->Stop();
    const std::string received = recorder_->Bytes();
    line_.HangUp();
    ProcessRun run = running.get();
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(EndsWith(LessWriteReason(run.output), "\n" + PortError("Writing"))) << run.output;
    EXPECT_EQ(run.output.find(kDownloadComplete), std::string::npos);
    // Whatever reached the analyzer is the start of the file, nothing invented or repeated.
    EXPECT_TRUE(StartsWith(WireBytes(file), received));
    // It stopped at the first failed write, well before the 20 lines' 5 seconds.
    EXPECT_LT(run.seconds, 4.5);
}

TEST_F(Download, FileCutDuringTheDownloadStillArrivesAsItWasAtTheStart) {
    std::string file;
    for (int i = 0; i < 12; ++i) {
        file += "line " + std::to_string(i) + " " + std::string(40, 'x') + "\r\n";
    }
    PutDataFile("K410HELP(64K).TXT", file);
    auto running = std::async(std::launch::async, [this] { return Run(kSkipLoader); });
    ASSERT_TRUE(recorder_->WaitForText("line 2 ", 10000ms));
    PutDataFile("K410HELP(64K).TXT", file.substr(0, 100));
    ProcessRun run = running.get();
    EXPECT_EQ(run.status, 0);
    ASSERT_TRUE(recorder_->WaitForBytes(WireBytes(file).size(), 2000ms));
    EXPECT_EQ(recorder_->Bytes(), WireBytes(file));
}

}  // namespace
}  // namespace k410test
