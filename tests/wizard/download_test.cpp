// The download in-process: how the data file is cut into the pieces that go to the analyzer
// (every byte but the line feeds that end pieces must arrive, in order), how the file is read
// and chosen, each piece's time on the wire, and the progress shown in the window's title.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "data_file.h"
#include "files.h"

namespace {

// What goes to the analyzer of each piece; `read_sizes` takes their sizes as NextPiece read them.
std::vector<std::string> Pieces(const std::string& contents,
                                std::vector<size_t>* read_sizes = nullptr) {
    std::vector<std::string> pieces;
    char buffer[kPieceMax + 1];
    size_t offset = 0;
    for (;;) {
        int length = NextPiece(contents, &offset, buffer);
        if (length == 0) {
            EXPECT_EQ(offset, contents.size());
            break;
        }
        EXPECT_LE(length, kPieceMax);
        EXPECT_EQ(buffer[length], '\0');
        if (read_sizes != nullptr) {
            read_sizes->push_back(static_cast<size_t>(length));
        }
        pieces.emplace_back(buffer, SentLength(buffer, length));
    }
    return pieces;
}

TEST(Pieces, LinesLessTheirLineFeedsCarriageReturnsKept) {
    // A last line without a line feed arrives whole.
    EXPECT_EQ(Pieces("first\r\nsecond\r\n\r\n\nlast"),
              (std::vector<std::string>{"first\r", "second\r", "\r", "", "last"}));
}

TEST(Pieces, LongLineArrivesIn255BytePiecesWithNothingLost) {
    std::string line(300, 'x');
    for (size_t i = 0; i < line.size(); ++i) {
        line[i] = static_cast<char>('a' + i % 26);
    }
    std::vector<size_t> read;
    EXPECT_EQ(Pieces(line + "\n" + "next\n", &read),
              (std::vector<std::string>{line.substr(0, 255), line.substr(255), "next"}));
    EXPECT_EQ(read, (std::vector<size_t>{255, 46, 5}));
}

TEST(Pieces, LineFeedJustPastAFullPieceMakesAnEmptyPiece) {
    EXPECT_EQ(Pieces(std::string(255, 'q') + "\n"),
              (std::vector<std::string>{std::string(255, 'q'), ""}));
}

TEST(Pieces, ZeroBytesAreData) {
    const std::string line("ab\0cd", 5);
    EXPECT_EQ(Pieces(line + "\n" + std::string("\0\n", 2)),
              (std::vector<std::string>{line, std::string("\0", 1)}));
}

TEST(Pieces, EmptyFileHasNone) {
    EXPECT_TRUE(Pieces("").empty());
}

TEST(WireTime, TenBitsAByteAt9600BaudNeverRoundedDown) {
    using std::chrono::microseconds;
    EXPECT_EQ(WireTime(0), microseconds(0));
    EXPECT_EQ(WireTime(1), microseconds(1042));  // 1041.67
    EXPECT_EQ(WireTime(48), microseconds(50000));
    EXPECT_EQ(WireTime(200), microseconds(208334));        // 208333.3
    EXPECT_EQ(WireTime(kPieceMax), microseconds(265625));  // the longest piece: 266 ms
}

TEST(DataFile, ReadWholeWithItsLinesCounted) {
    k410test::ScratchDir folder;
    const std::string path = folder.path() + "/data.txt";
    const std::string contents = "one\r\ntwo\r\n" + std::string(300, 'x') + "\nlast";
    ASSERT_TRUE(k410test::WriteFile(path, contents));
    DataFile data;
    ASSERT_EQ(ReadDataFile(path.c_str(), &data), DATA_FILE_READ);
    EXPECT_EQ(data.bytes, contents);
    EXPECT_EQ(data.lines, 4);
    EXPECT_EQ(ReadDataFile((folder.path() + "/absent.txt").c_str(), &data), DATA_FILE_NOT_FOUND);
}

TEST(DataFile, AnythingButAPlainFileIsAReadErrorAndNeverWaitedOn) {
    k410test::ScratchDir folder;
    DataFile data;
    // A folder cannot be read; a FIFO would block the open until a writer came.
    EXPECT_EQ(ReadDataFile(folder.path().c_str(), &data), DATA_FILE_READ_ERROR);
    const std::string fifo = folder.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(ReadDataFile(fifo.c_str(), &data), DATA_FILE_READ_ERROR);
}

TEST(DataFileName, ChosenByVersionOnly) {
    AnalyzerOptions options;
    EXPECT_STREQ(DataFileName(options), "K410HELP(64K).TXT");
    options.heavy_duty_battery = true;
    options.internal_velocity = false;
    options.methane_mode = true;
    EXPECT_STREQ(DataFileName(options), "K410HELP(64K).TXT");
    options.old_version = true;
    EXPECT_STREQ(DataFileName(options), "K410HELP(32K).TXT");
}

TEST(ProgressTitle, LinesShareAndTimeLeftAtThePaceSoFar) {
    const int port = 3;
    EXPECT_EQ(ProgressTitle(port, 0, 4096, 0), "k410prog: COM3 EEPROM data 0/4096 lines, 0%");
    // 1200 lines in 5 minutes: 2896 more take about 12 minutes.
    EXPECT_EQ(ProgressTitle(port, 1200, 4096, 300),
              "k410prog: COM3 EEPROM data 1200/4096 lines, 29%, about 12 min left");
    EXPECT_EQ(ProgressTitle(port, 3, 4, 0.8),
              "k410prog: COM3 EEPROM data 3/4 lines, 75%, about 1 s left");
    EXPECT_EQ(ProgressTitle(port, 4, 4, 1.1), "k410prog: COM3 EEPROM data 4/4 lines, 100%");
    EXPECT_EQ(ProgressTitle(255, 0, 0, 0), "k410prog: COM255 EEPROM data 0/0 lines, 100%");
}

}  // namespace
