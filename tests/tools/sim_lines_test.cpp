// How the virtual analyzer cuts its input into lines and judges the pauses between them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_lines.h"

namespace {

struct Splitting {
    LineSplitter splitter;
    std::vector<ReceivedLine> lines;

    void Feed(const std::string& bytes, double at_ms) {
        FeedBytes(&splitter, bytes.data(), static_cast<int>(bytes.size()), at_ms, &lines);
    }
    void Quiet(double at_ms) { EndQuietLine(&splitter, at_ms, &lines); }
};

TEST(SimLineSplitting, CarriageReturnsLineFeedsAndCrLfPairsEndLines) {
    Splitting s;
    s.Feed("one\r\ntwo\rthree\n\r", 0);
    ASSERT_EQ(s.lines.size(), 4u);
    EXPECT_EQ(s.lines[0].text, "one");
    EXPECT_EQ(s.lines[0].terminator, "\r\n");
    EXPECT_EQ(s.lines[1].text, "two");
    EXPECT_EQ(s.lines[1].terminator, "\r");
    EXPECT_EQ(s.lines[2].text, "three");
    EXPECT_EQ(s.lines[2].terminator, "\n");
    EXPECT_EQ(s.lines[3].text, "");  // an empty line of a CRLF file arrives as a lone CR
    EXPECT_EQ(s.splitter.bytes, 16);
    EXPECT_EQ(s.splitter.lines, 4);
}

TEST(SimLineSplitting, LineFeedInTheNextReadStillBelongsToItsCarriageReturn) {
    Splitting s;
    s.Feed("one\r", 0);
    s.lines.clear();  // the caller logs and forgets lines as they come
    s.Feed("\n", 1);
    s.Quiet(100);
    EXPECT_TRUE(s.lines.empty());
    EXPECT_EQ(s.splitter.lines, 1);
    EXPECT_EQ(s.splitter.bytes, 5);
}

TEST(SimLineSplitting, LineFeedAfterAQuietGapIsALineOfItsOwn) {
    Splitting s;
    s.Feed("one\r", 0);
    s.Feed("\n", 300);
    ASSERT_EQ(s.lines.size(), 2u);
    EXPECT_EQ(s.lines[1].text, "");
    EXPECT_EQ(s.lines[1].terminator, "\n");
}

TEST(SimLineSplitting, UnterminatedPiecesAreCutByTheQuietGap) {
    Splitting s;
    s.splitter.gap_ms = 50;
    s.Feed("ab", 0);
    s.Feed("cd", 20);  // within the gap: the same piece, read in two parts
    s.Quiet(69);
    EXPECT_TRUE(s.lines.empty());
    EXPECT_EQ(EndQuietLine(&s.splitter, 69, &s.lines), 70);
    s.Quiet(70);
    ASSERT_EQ(s.lines.size(), 1u);
    EXPECT_EQ(s.lines[0].text, "abcd");
    EXPECT_EQ(s.lines[0].terminator, "");
    EXPECT_EQ(s.lines[0].last_ms, 20);
    // New bytes after the gap end a pending piece even when no timer ran in between.
    s.Feed("ef", 300);
    s.Feed("gh", 600);
    ASSERT_EQ(s.lines.size(), 2u);
    EXPECT_EQ(s.lines[1].text, "ef");
    EXPECT_DOUBLE_EQ(s.lines[1].pause_ms, 280);  // from "cd" at 20 to "ef" at 300
    EndPendingLine(&s.splitter, &s.lines);
    ASSERT_EQ(s.lines.size(), 3u);
    EXPECT_EQ(s.lines[2].text, "gh");
    EXPECT_DOUBLE_EQ(s.lines[2].pause_ms, 300);
}

TEST(SimPauseFlagging, PausesUnderTheMinimumAreFlaggedAndCounted) {
    Splitting s;
    s.Feed("a\r", 0);
    s.Feed("b\r", 250);    // exactly the pause
    s.Feed("c\r", 499.5);  // 249.5: within the measuring tolerance
    s.Feed("d\r", 600);    // 100.5 after a pause of 249.5: short, and nothing makes up for it
    ASSERT_EQ(s.lines.size(), 4u);
    EXPECT_DOUBLE_EQ(s.lines[0].pause_ms, -1);
    EXPECT_FALSE(s.lines[1].short_pause);
    EXPECT_FALSE(s.lines[2].short_pause);
    EXPECT_TRUE(s.lines[3].short_pause);
    EXPECT_EQ(s.splitter.short_pauses, 1);
    EXPECT_DOUBLE_EQ(s.splitter.shortest_pause_ms, 100.5);
    EXPECT_DOUBLE_EQ(s.splitter.longest_pause_ms, 250);
    std::string summary = SummaryText(s.splitter);
    EXPECT_NE(summary.find("4 lines, 8 bytes"), std::string::npos) << summary;
    EXPECT_NE(summary.find("shortest pause 100.5 ms, longest pause 250.0 ms"), std::string::npos)
        << summary;
    EXPECT_NE(summary.find("1 pauses under 250 ms"), std::string::npos) << summary;
}

TEST(SimPauseFlagging, SteadilyShortPacingIsFlaggedEveryTime) {
    Splitting s;
    s.splitter.tolerance_ms = 0;
    for (int i = 0; i < 5; ++i) {
        s.Feed("x\r", i * 249.0);
    }
    EXPECT_EQ(s.splitter.short_pauses, 4);
    EXPECT_EQ(s.splitter.evened_out, 0);
}

TEST(SimPauseFlagging, OneLateReadIsEvenedOutByThePauseBeforeIt) {
    Splitting s;
    s.Feed("a\r", 0);
    s.Feed("b\r", 256);  // read 6 ms late
    s.Feed("c\r", 500);  // so this pause looks 6 ms short
    s.Feed("d\r", 744);  // but a second short one in a row is the program's
    ASSERT_EQ(s.lines.size(), 4u);
    EXPECT_TRUE(s.lines[2].evened_out);
    EXPECT_FALSE(s.lines[2].short_pause);
    EXPECT_TRUE(s.lines[3].short_pause);
    EXPECT_EQ(s.splitter.short_pauses, 1);
    EXPECT_EQ(s.splitter.evened_out, 1);
    EXPECT_NE(SummaryText(s.splitter).find("1 short ones evened out"), std::string::npos);
}

TEST(SimPauseFlagging, ALineHandedOverLateAfterItsPurgeKeepsTheNextPauseWhole) {
    Splitting with_purges;
    NotePurge(&with_purges.splitter, 0);
    with_purges.Feed("a\r", 6);  // the purge came at once, the data 6 ms later
    NotePurge(&with_purges.splitter, 250);
    with_purges.Feed("b\r", 250);
    ASSERT_EQ(with_purges.lines.size(), 2u);
    EXPECT_DOUBLE_EQ(with_purges.lines[0].delay_ms, 6);
    EXPECT_DOUBLE_EQ(with_purges.lines[1].pause_ms, 250);
    EXPECT_FALSE(with_purges.lines[1].short_pause);

    Splitting without;
    without.Feed("a\r", 6);
    without.Feed("b\r", 250);
    EXPECT_DOUBLE_EQ(without.lines[1].pause_ms, 244);
    EXPECT_TRUE(without.lines[1].short_pause);
}

TEST(SimPauseFlagging, PausesBetweenPurgesAreTheProgramsOwnWhateverTheHandOver) {
    Splitting s;
    NotePurge(&s.splitter, 0);
    s.Feed("a\r", 30);  // handed over 30 ms late: the pause after it is still whole
    NotePurge(&s.splitter, 250);
    s.Feed("b\r", 250);
    NotePurge(&s.splitter, 450);  // the program cut this pause short,
    s.Feed("c\r", 499.5);         // which a late hand-over would hide from arrivals alone
    ASSERT_EQ(s.lines.size(), 3u);
    EXPECT_DOUBLE_EQ(s.lines[1].pause_ms, 250);
    EXPECT_FALSE(s.lines[1].short_pause);
    EXPECT_TRUE(s.lines[1].from_purges);
    EXPECT_DOUBLE_EQ(s.lines[2].pause_ms, 200);
    EXPECT_TRUE(s.lines[2].short_pause);
    EXPECT_FALSE(s.lines[2].evened_out);  // nothing before made up for it
    std::string summary = SummaryText(s.splitter);
    EXPECT_NE(summary.find("1 pauses under 250 ms, judged to within 1.0 ms from the program's "
                           "purge before each line"),
              std::string::npos)
        << summary;
    EXPECT_NE(summary.find("up to 49.5 ms after"), std::string::npos) << summary;
}

TEST(SimPauseFlagging, APurgeLongBeforeTheLineIsNotTakenAsItsStart) {
    Splitting s;
    NotePurge(&s.splitter, 0);  // at the port's opening, say
    s.Feed("a\r", 100);
    s.Feed("b\r", 300);
    ASSERT_EQ(s.lines.size(), 2u);
    EXPECT_DOUBLE_EQ(s.lines[0].delay_ms, 0);
    EXPECT_DOUBLE_EQ(s.lines[1].pause_ms, 200);
    EXPECT_TRUE(s.lines[1].short_pause);
}

TEST(SimLineSplitting, PrintableShowsEveryByte) {
    EXPECT_EQ(Printable(std::string("a\"b\\c\r\n\t\x00\xff", 10)),
              "a\\\"b\\\\c\\r\\n\\t\\x00\\xFF");
}

}  // namespace
