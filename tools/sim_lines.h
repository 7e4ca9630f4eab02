// How the virtual analyzer cuts what arrives on its line into lines, and times them.
//
// The program sends each line less its line feed, so an LF-only file arrives as bare pieces: a
// line ends at a CR or LF (an LF right after a CR belongs to it), or after the gap's quiet.
//
// The analyzer needs the quiet after a line's last byte is off the wire (9600 baud, 10 bits a
// byte: 1.04 ms a byte from its first byte's departure). A pseudo-terminal (like a USB adapter)
// hands a whole line over at once, so a line ends at the later of its start plus its time on
// the wire and its last arrival; a pause runs from that end to the next line's start.
// A pseudo-terminal hands bytes over through a kernel worker, which on a busy machine may run
// many ms late. But the program purges its input right before each write, and the reader learns
// of a purge at once; so a line announced by a purge (at most 50 ms before it) counts as sent at
// its purge, and a pause between two such lines is the program's own (else arrivals stand in).
// The reader may still see an event late, making the pause before it long by as much as the one
// after it is short; so a short pause right after one long enough to make up for it is counted
// apart ("evened out"), not flagged.
#pragma once

#include <string>
#include <vector>

struct ReceivedLine {
    int number = 0;            // 1 for the first line
    std::string text;          // the bytes without the terminator
    std::string terminator;    // "\r", "\n", "\r\n" or "" (ended by the gap or at the end)
    double first_ms = 0;       // arrival of its first byte (or of its terminator, if empty)
    double last_ms = 0;        // arrival of its last byte
    double end_ms = 0;         // its last byte off the wire (see above)
    double delay_ms = 0;       // first_ms less sent_ms: the hand-over's lateness, or 0
    double pause_ms = -1;      // from the previous line's end_ms to its start; -1 for line 1
    bool from_purges = false;  // the pause lies between two purges: the program's own
    bool short_pause = false;  // pause_ms below the minimum pause less the tolerance
    bool evened_out = false;   // below it, but the pause before was long by as much
    bool on_the_wire = false;  // short only counted from the wire, not from the last arrival
};

struct LineSplitter {
    double gap_ms = 50;                   // quiet time that ends an unterminated line
    double min_pause_ms = 250;            // pauses below this are flagged,
    double tolerance_ms = 1;              // less this much, the reader's own timing error
    double byte_ms = 10 * 1000.0 / 9600;  // a byte's time on the wire: start, 8 data, stop bits
    std::string pending;
    bool pending_open = false;  // a line has begun (possibly still empty before its terminator)
    double pending_first_ms = 0;
    double pending_last_ms = 0;
    double purge_ms = -1;  // the latest purge of the program's input
    double last_delay_ms = 0;
    bool previous_sent = false;  // the previous line was announced by a purge
    bool after_cr = false;       // the previous byte ended a line with a carriage return
    double after_cr_ms = 0;
    double previous_end_ms = -1;    // the previous line off the wire
    double previous_start_ms = 0;   // ... its start,
    double previous_handed_ms = 0;  // ... its last arrival less its hand-over's lateness,
    long long previous_bytes = 0;   // ... and its bytes, terminators included
    int lines = 0;
    long long bytes = 0;  // every received byte, terminators included
    int short_pauses = 0;
    int evened_out = 0;
    int on_the_wire = 0;            // short pauses begun while the line was on the wire
    int from_purges = 0;            // pauses judged between purges
    double latest_handover_ms = 0;  // the largest delay_ms seen
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

// The one-line summary of what arrived and how its pauses were judged.
std::string SummaryText(const LineSplitter& splitter);

// printf into a string (of at most 511 bytes).
__attribute__((format(printf, 1, 2))) std::string Format(const char* format, ...);

// A line's bytes as printable text: printable ASCII as it is, backslash and quote escaped,
// every other byte as \r, \n, \t or \xNN.
std::string Printable(const std::string& bytes);
