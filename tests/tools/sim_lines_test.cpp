// How the virtual analyzer cuts its input into lines and judges the pauses between them, each
// counted from when the line before was off the wire.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "answers.h"
#include "sim_lines.h"

namespace {

using k410test::Contains;
using Ends = std::vector<std::pair<std::string, std::string>>;

struct Splitting {
    LineSplitter splitter;
    std::vector<ReceivedLine> lines;

    void Feed(const std::string& bytes, double at_ms) {
        FeedBytes(&splitter, bytes.data(), static_cast<int>(bytes.size()), at_ms, &lines);
    }
    void Quiet(double at_ms) { EndQuietLine(&splitter, at_ms, &lines); }
    // Each line's text and terminator, in order.
    Ends Texts() const {
        Ends texts;
        for (const ReceivedLine& line : lines) {
            texts.emplace_back(line.text, line.terminator);
        }
        return texts;
    }
    // `pause_ms` after the latest line was off the wire.
    double After(double pause_ms) const { return splitter.previous_end_ms + pause_ms; }
};

// The time `bytes` bytes take on the wire at 9600 baud, 10 bits each.
double Wire(int bytes) {
    return bytes * 10 * 1000.0 / 9600;
}

TEST(SimLineSplitting, CarriageReturnsLineFeedsAndCrLfPairsEndLines) {
    Splitting s;
    s.Feed("one\r\ntwo\rthree\n\r", 0);
    // An empty line of a CRLF file arrives as a lone CR.
    EXPECT_EQ(s.Texts(), (Ends{{"one", "\r\n"}, {"two", "\r"}, {"three", "\n"}, {"", "\r"}}));
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
    EXPECT_EQ(s.Texts(), (Ends{{"one", "\r"}, {"", "\n"}}));
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
    ASSERT_EQ(s.Texts(), (Ends{{"abcd", ""}}));
    EXPECT_EQ(s.lines[0].last_ms, 20);
    // New bytes after the gap end a pending piece even when no timer ran in between.
    s.Feed("ef", 300);
    s.Feed("gh", 600);
    ASSERT_EQ(s.Texts(), (Ends{{"abcd", ""}, {"ef", ""}}));
    // From "cd" at 20 (later than "abcd" off the wire, at 4.2) to "ef" at 300.
    EXPECT_DOUBLE_EQ(s.lines[1].pause_ms, 280);
    EndPendingLine(&s.splitter, &s.lines);
    ASSERT_EQ(s.Texts(), (Ends{{"abcd", ""}, {"ef", ""}, {"gh", ""}}));
    EXPECT_NEAR(s.lines[2].pause_ms, 300 - Wire(2), 1e-9);  // from "ef" off the wire
}

TEST(SimPauseFlagging, PausesUnderTheMinimumAreFlaggedAndCounted) {
    Splitting s;
    s.Feed("a\r", 0);
    s.Feed("b\r", s.After(250));    // exactly the pause
    s.Feed("c\r", s.After(249.5));  // within the measuring tolerance
    s.Feed("d\r", s.After(100.5));  // after a pause of 249.5: short, and nothing makes up for it
    ASSERT_EQ(s.lines.size(), 4u);
    EXPECT_DOUBLE_EQ(s.lines[0].pause_ms, -1);
    EXPECT_FALSE(s.lines[1].short_pause);
    EXPECT_FALSE(s.lines[2].short_pause);
    EXPECT_TRUE(s.lines[3].short_pause);
    EXPECT_FALSE(s.lines[3].on_the_wire);  // short from its arrival too
    EXPECT_EQ(s.splitter.short_pauses, 1);
    EXPECT_NEAR(s.splitter.shortest_pause_ms, 100.5, 1e-9);
    EXPECT_NEAR(s.splitter.longest_pause_ms, 250, 1e-9);
    std::string summary = SummaryText(s.splitter);
    EXPECT_TRUE(Contains(summary, "4 lines, 8 bytes")) << summary;
    EXPECT_TRUE(Contains(summary, "shortest pause 100.5 ms, longest pause 250.0 ms")) << summary;
    EXPECT_TRUE(Contains(summary, "1 pauses under 250 ms")) << summary;
    EXPECT_TRUE(Contains(summary, "pauses from each line's end on the wire (1.04 ms a byte)"))
        << summary;
    EXPECT_FALSE(Contains(summary, "on the wire,")) << summary;
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
    s.Feed("b\r", s.After(256));  // read 6 ms late
    s.Feed("c\r", s.After(244));  // so this pause looks 6 ms short
    s.Feed("d\r", s.After(244));  // but a second short one in a row is the program's
    ASSERT_EQ(s.lines.size(), 4u);
    EXPECT_TRUE(s.lines[2].evened_out);
    EXPECT_FALSE(s.lines[2].short_pause);
    EXPECT_TRUE(s.lines[3].short_pause);
    EXPECT_EQ(s.splitter.short_pauses, 1);
    EXPECT_EQ(s.splitter.evened_out, 1);
    EXPECT_TRUE(Contains(SummaryText(s.splitter), "1 short ones evened out"));
}

TEST(SimPauseFlagging, ALineHandedOverLateAfterItsPurgeKeepsTheNextPauseWhole) {
    Splitting with_purges;
    NotePurge(&with_purges.splitter, 0);
    with_purges.Feed("a\r", 6);  // the purge came at once, the data 6 ms later
    // Off the wire at its purge plus its two bytes' time, not at its arrival plus that.
    const double next = Wire(2) + 250;
    NotePurge(&with_purges.splitter, next);
    with_purges.Feed("b\r", next);
    ASSERT_EQ(with_purges.lines.size(), 2u);
    EXPECT_DOUBLE_EQ(with_purges.lines[0].delay_ms, 6);
    EXPECT_DOUBLE_EQ(with_purges.lines[0].end_ms, Wire(2));
    EXPECT_DOUBLE_EQ(with_purges.lines[1].pause_ms, 250);
    EXPECT_FALSE(with_purges.lines[1].short_pause);

    Splitting without;
    without.Feed("a\r", 6);
    without.Feed("b\r", next);
    EXPECT_NEAR(without.lines[1].pause_ms, 244, 1e-9);
    EXPECT_TRUE(without.lines[1].short_pause);
}

TEST(SimPauseFlagging, PausesBetweenPurgesAreTheProgramsOwnWhateverTheHandOver) {
    Splitting s;
    NotePurge(&s.splitter, 0);
    s.Feed("a\r", 30);  // handed over 30 ms late: the pause after it is still whole
    NotePurge(&s.splitter, s.After(250));
    s.Feed("b\r", s.After(250));
    const double c_purged = s.After(200);  // the program cut this pause short,
    NotePurge(&s.splitter, c_purged);
    s.Feed("c\r", c_purged + 49.5);  // which a late hand-over would hide from arrivals alone
    ASSERT_EQ(s.lines.size(), 3u);
    EXPECT_DOUBLE_EQ(s.lines[1].pause_ms, 250);
    EXPECT_FALSE(s.lines[1].short_pause);
    EXPECT_TRUE(s.lines[1].from_purges);
    EXPECT_NEAR(s.lines[2].pause_ms, 200, 1e-9);
    EXPECT_TRUE(s.lines[2].short_pause);
    EXPECT_FALSE(s.lines[2].evened_out);  // nothing before made up for it
    std::string summary = SummaryText(s.splitter);
    EXPECT_TRUE(Contains(summary,
                         "1 pauses under 250 ms, judged to within 1.0 ms from the program's "
                         "purge before each line"))
        << summary;
    EXPECT_TRUE(Contains(summary, "up to 49.5 ms after")) << summary;
}

TEST(SimPauseFlagging, APurgeLongBeforeTheLineIsNotTakenAsItsStart) {
    Splitting s;
    NotePurge(&s.splitter, 0);  // at the port's opening, say
    s.Feed("a\r", 100);
    s.Feed("b\r", 300 + Wire(2));
    ASSERT_EQ(s.lines.size(), 2u);
    EXPECT_DOUBLE_EQ(s.lines[0].delay_ms, 0);
    EXPECT_NEAR(s.lines[1].pause_ms, 200, 1e-9);
    EXPECT_TRUE(s.lines[1].short_pause);
}

// A pseudo-terminal, like a USB adapter, takes a whole line at once; the analyzer gets it at
// 9600 baud. A program that starts its pause when the driver says "sent" leaves a long line
// with little quiet after it.
TEST(SimWire, ALongLineHandedOverAtOnceIsOnTheWireForItsBytesTime) {
    const std::string line = std::string(200, 'L') + "\r";
    Splitting s;
    NotePurge(&s.splitter, 0);
    s.Feed(line, 0.2);
    NotePurge(&s.splitter, 250.5);  // 250 ms after the driver said "sent"
    s.Feed(line, 250.7);
    ASSERT_EQ(s.lines.size(), 2u);
    EXPECT_DOUBLE_EQ(s.lines[0].end_ms, Wire(201));  // 209.4 ms after its purge
    EXPECT_NEAR(s.lines[1].pause_ms, 250.5 - Wire(201), 1e-9);
    EXPECT_TRUE(s.lines[1].short_pause);
    EXPECT_TRUE(s.lines[1].on_the_wire);
    EXPECT_EQ(s.splitter.on_the_wire, 1);

    // 250 ms after the line was off the wire, which its write's start tells without the driver.
    NotePurge(&s.splitter, s.After(250));
    s.Feed(line, s.After(250) + 0.2);
    ASSERT_EQ(s.lines.size(), 3u);
    EXPECT_FALSE(s.lines[2].short_pause);
    EXPECT_EQ(s.splitter.short_pauses, 1);
    std::string summary = SummaryText(s.splitter);
    EXPECT_TRUE(Contains(summary, "1 pauses under 250 ms")) << summary;
    EXPECT_TRUE(Contains(summary, "1 short ones begun while the line before was still on the wire"))
        << summary;
}

TEST(SimWire, AnUnannouncedLineStartsAtItsFirstArrival) {
    const std::string line = std::string(100, 'x');
    Splitting s;
    s.Feed(line, 10);  // a piece without a line end, ended by the quiet after it
    s.Quiet(10 + s.splitter.gap_ms);
    ASSERT_EQ(s.lines.size(), 1u);
    EXPECT_DOUBLE_EQ(s.lines[0].end_ms, 10 + Wire(100));
    s.Feed(line, 10 + Wire(100) + 249.5);
    s.Quiet(1000);
    ASSERT_EQ(s.lines.size(), 2u);
    EXPECT_NEAR(s.lines[1].pause_ms, 249.5, 1e-9);
    EXPECT_FALSE(s.lines[1].short_pause);  // within the tolerance
}

TEST(SimWire, BytesThatArriveLaterThanTheWireAllowsEndTheLineThere) {
    // A slow reader, or a line that really is on a wire: the last byte's arrival counts.
    Splitting s;
    s.Feed("abc", 0);
    s.Feed("d\r", 40);
    ASSERT_EQ(s.lines.size(), 1u);
    EXPECT_DOUBLE_EQ(s.lines[0].end_ms, 40);
    s.Feed("e\r", 290);
    ASSERT_EQ(s.lines.size(), 2u);
    EXPECT_DOUBLE_EQ(s.lines[1].pause_ms, 250);
}

TEST(SimWire, TheLineFeedOfACrLfPairKeepsItsLineOnTheWireAByteLonger) {
    Splitting s;
    s.splitter.tolerance_ms = 0;
    s.Feed("one\r", 0);
    s.Feed("\n", 0.1);  // read apart, but the same line
    EXPECT_DOUBLE_EQ(s.splitter.previous_end_ms, Wire(5));
    s.Feed("two\r", Wire(4) + 250);  // 250 ms after "one\r" alone: short by the line feed
    ASSERT_EQ(s.lines.size(), 2u);
    EXPECT_NEAR(s.lines[1].pause_ms, 250 - Wire(1), 1e-9);
    EXPECT_TRUE(s.lines[1].short_pause);
}

TEST(SimLineSplitting, PrintableShowsEveryByte) {
    EXPECT_EQ(Printable(std::string("a\"b\\c\r\n\t\x00\xff", 10)),
              "a\\\"b\\\\c\\r\\n\\t\\x00\\xFF");
}

}  // namespace
