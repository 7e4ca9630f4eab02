// How the data file is cut into the pieces that go to the analyzer: every byte but the line
// feeds that end pieces must arrive, in order.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "download.h"

namespace {

struct Piece {
    std::string read;  // as ReadPiece returned it
    std::string sent;  // what goes to the analyzer
};

// Returns the pieces of `contents`, or stops at a read error, flagged by `error`.
std::vector<Piece> Pieces(const std::string& contents, bool* error = nullptr) {
    std::FILE* file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    std::fwrite(contents.data(), 1, contents.size(), file);
    std::rewind(file);
    std::vector<Piece> pieces;
    char buffer[kPieceMax + 1];
    for (;;) {
        int length = ReadPiece(file, buffer);
        if (length <= 0) {
            if (error != nullptr) {
                *error = length < 0;
            }
            break;
        }
        EXPECT_LE(length, kPieceMax);
        EXPECT_EQ(buffer[length], '\0');
        pieces.push_back(
            {std::string(buffer, length), std::string(buffer, SentLength(buffer, length))});
    }
    std::fclose(file);
    return pieces;
}

TEST(Pieces, LinesLessTheirLineFeedsCarriageReturnsKept) {
    auto pieces = Pieces("first\r\nsecond\r\n\r\n\nlast");
    ASSERT_EQ(pieces.size(), 5u);
    EXPECT_EQ(pieces[0].sent, "first\r");
    EXPECT_EQ(pieces[1].sent, "second\r");
    EXPECT_EQ(pieces[2].sent, "\r");
    EXPECT_EQ(pieces[3].sent, "");
    // A last line without a line feed arrives whole.
    EXPECT_EQ(pieces[4].sent, "last");
}

TEST(Pieces, LongLineArrivesIn255BytePiecesWithNothingLost) {
    std::string line(300, 'x');
    for (size_t i = 0; i < line.size(); ++i) {
        line[i] = static_cast<char>('a' + i % 26);
    }
    auto pieces = Pieces(line + "\n" + "next\n");
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0].read.size(), 255u);
    EXPECT_EQ(pieces[0].sent, line.substr(0, 255));
    EXPECT_EQ(pieces[1].read.size(), 46u);
    EXPECT_EQ(pieces[1].sent, line.substr(255));
    EXPECT_EQ(pieces[2].sent, "next");
}

TEST(Pieces, LineFeedJustPastAFullPieceMakesAnEmptyPiece) {
    auto pieces = Pieces(std::string(255, 'q') + "\n");
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].sent, std::string(255, 'q'));
    EXPECT_EQ(pieces[1].sent, "");
}

TEST(Pieces, ZeroBytesAreData) {
    const std::string line("ab\0cd", 5);
    auto pieces = Pieces(line + "\n" + std::string("\0\n", 2));
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].sent, line);
    EXPECT_EQ(pieces[1].sent, std::string("\0", 1));
}

TEST(Pieces, EmptyFileHasNone) {
    bool error = true;
    EXPECT_TRUE(Pieces("", &error).empty());
    EXPECT_FALSE(error);
}

TEST(Pieces, ReadErrorIsNotEndOfFile) {
    // Reading a folder fails on POSIX systems where opening it succeeds.
    std::FILE* folder = std::fopen(".", "rb");
    if (folder == nullptr) {
        GTEST_SKIP() << "this system does not open folders as files";
    }
    char buffer[kPieceMax + 1];
    EXPECT_EQ(ReadPiece(folder, buffer), -1);
    std::fclose(folder);
}

TEST(HelpFileName, ChosenByVersionOnly) {
    AnalyzerOptions options;
    EXPECT_STREQ(HelpFileName(options), "K410HELP(64K).TXT");
    options.heavy_duty_battery = true;
    options.internal_velocity = false;
    options.methane_mode = true;
    EXPECT_STREQ(HelpFileName(options), "K410HELP(64K).TXT");
    options.old_version = true;
    EXPECT_STREQ(HelpFileName(options), "K410HELP(32K).TXT");
}

}  // namespace
