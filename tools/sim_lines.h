// How the virtual analyzer cuts what arrives on its line into lines, and times them.
//
// The program sends each line of its data file less the line feed, then pauses; a CRLF file
// therefore arrives as lines ended by a carriage return, and an LF-only file as bare pieces
// separated only by the pause. So a line ends at a carriage return or a line feed (a line feed
// right after a carriage return belongs to it), or when the line has been quiet for the gap.
//
// A pause is measured from the end of one line to the first byte of the next. A pseudo-
// terminal hands written bytes to its reader through a kernel worker, which on a busy machine
// may run a few ms late, and one late line would make the pause after it look short. But the
// program purges its input right before each write, and the reader learns of a purge at once;
// when one came just before a line (at most kMostDelayMs before), the line's lateness since the
// purge is taken off its end. And a line read late makes the pause before it look long by as
// much as the pause after it looks short, so a short pause right after a pause long enough to
// make up for it is counted apart ("evened out"), not flagged: over the two, the program kept
// the pace.
#pragma once

#include <string>
#include <vector>

constexpr double kMostDelayMs = 10;

struct ReceivedLine {
    int number = 0;            // 1 for the first line
    std::string text;          // the bytes without the terminator
    std::string terminator;    // "\r", "\n", "\r\n" or "" (ended by the gap or at the end)
    double first_ms = 0;       // arrival of its first byte (or of its terminator, if empty)
    double last_ms = 0;        // arrival of its last byte
    double delay_ms = 0;       // first_ms less the sending's start, when a purge announced it
    double pause_ms = -1;      // from the previous line's end to this line; -1 for line 1
    bool short_pause = false;  // pause_ms below the minimum pause less the tolerance
    bool evened_out = false;   // below it, but the pause before was long by as much
};

struct LineSplitter {
    double gap_ms = 50;         // quiet time that ends an unterminated line
    double min_pause_ms = 250;  // pauses below this are flagged,
    double tolerance_ms = 1;    // less this much: the timing of a pseudo-terminal's reader is
                                // only good to a fraction of a millisecond, and a program that
                                // sleeps exactly the pause lands within it
    // Running state.
    std::string pending;
    bool pending_open = false;  // a line has begun (possibly still empty before its terminator)
    double pending_first_ms = 0;
    double pending_last_ms = 0;
    double purge_ms = -1;  // the latest purge of the program's input
    double last_delay_ms = 0;
    bool after_cr = false;  // the previous byte ended a line with a carriage return
    double after_cr_ms = 0;
    double previous_end_ms = -1;
    int lines = 0;
    long long bytes = 0;  // every received byte, terminators included
    int short_pauses = 0;
    int evened_out = 0;
    double previous_pause_ms = -1;
    double shortest_pause_ms = -1;
    double longest_pause_ms = -1;
};

// Takes `count` bytes that arrived at `now_ms` and appends the lines they complete to `done`.
void FeedBytes(LineSplitter* splitter, const char* data, int count, double now_ms,
               std::vector<ReceivedLine>* done);

// The program purged its input at `now_ms`: it is about to send.
void NotePurge(LineSplitter* splitter, double now_ms);

// Ends a pending line that has been quiet for the gap by `now_ms`. Returns when the next
// check is due (milliseconds on the same clock), or -1 when nothing is pending.
double EndQuietLine(LineSplitter* splitter, double now_ms, std::vector<ReceivedLine>* done);

// Ends a pending line whatever its age (at the end of the run).
void EndPendingLine(LineSplitter* splitter, std::vector<ReceivedLine>* done);

// The one-line summary: lines, bytes, shortest and longest pause, pauses below the minimum.
std::string SummaryText(const LineSplitter& splitter);

// A line's bytes as printable text: printable ASCII as it is, backslash and quote escaped,
// every other byte as \r, \n, \t or \xNN.
std::string Printable(const std::string& bytes);
