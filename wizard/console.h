// Console helpers shared by the stages. Console input and output pass as streams so that a
// stage can run in-process under a test as well as on the technician's console.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>

// What ReadAnswer returns when standard input has ended before an answer came.
constexpr int kEndOfInput = -1;

// Reads one answer: skips white space (line ends included, so an empty line gives no answer
// and the wait goes on), consumes exactly the next character and returns it, a to z upper-cased.
// Whatever else was typed on the line stays queued for the following prompts. Returns
// kEndOfInput when the input ends first.
int ReadAnswer(std::istream& in);

// Reads the COM port number the way "%d" does: leading white space skipped, an optional sign,
// then decimal digits; the rest of the line stays queued. Returns true with `port_number` set
// when a number from 1 to 255 was read; false for anything else (no digits, end of input, a
// number out of range, even one too large for an int).
bool ReadPortNumber(std::istream& in, int* port_number);

// Writes `text` and flushes it, so that a prompt is on the screen before the program waits.
void Say(std::ostream& out, const std::string& text);

// A line of the reasons the technician is told after a failure: " " + `told` + ".", then the
// system's own words for the error behind it where there are some (" The system says: Access
// is denied."), then "\n".
std::string ReasonLine(const std::string& told, const std::string& system_message);

// Whether standard output is a terminal (POSIX systems) or a console (Windows), on which the
// control bytes written act on the screen instead of showing. One implementation per platform.
bool OutputIsTerminal();

// `count` bytes as a terminal can show them without acting on them: tab, line feed and carriage
// return as they are; the other control bytes 0x00 to 0x1F in caret notation (^@, ^A, ... ^[ for
// ESC, ... ^_) and DEL as ^?; the C1 controls 0x80 to 0x9F, which some terminals also act on
// (0x9B starts a control sequence as ESC [ does), as <80> to <9F>. Everything else, bytes from
// 0xA0 up included, as it is.
std::string ShownOnTerminal(const char* bytes, size_t count);

// A console window that this program alone uses (Windows: started by a double-click) closes
// the moment the run ends, before the technician has read how it ended: there, asks for Enter
// first. Elsewhere it does nothing. One implementation per platform.
void KeepWindowUntilRead(std::istream& in, std::ostream& out);

// Shows `title` as the console window's title, where progress can be seen without going into
// the transcript. Windows: the window's title (the one it had is kept for RestoreTitle). POSIX
// systems: the terminal's title sequence, written only when standard output is a terminal, so
// that nothing is added to what it carries otherwise. One implementation per platform.
void ShowTitle(const std::string& title);

// Puts back the title the window had before the first ShowTitle (POSIX systems: clears the
// terminal's title); does nothing when ShowTitle showed nothing. On POSIX systems it may be
// called from a signal handler, on Windows from the console control handler's thread.
void RestoreTitle();

// Keeps the console's input and output modes (Windows), or the settings of the terminal that
// standard input is (POSIX systems), for RestoreConsoleState: the loader shares the console and
// may change them (raw input, no echo) and not put them back. Keeps nothing where there is no
// console or terminal. One implementation per platform.
void SaveConsoleState();

// Puts back what SaveConsoleState kept, once; does nothing when it kept nothing. Windows: may be
// called from the console control handler's thread.
void RestoreConsoleState();

// For the download: keeps the console's state as SaveConsoleState does, then turns QuickEdit
// off (Windows). With it on, a click in the window starts a selection, and the console holds
// every write until the selection ends: the download would stop at its next echo, mid-pause.
// RestoreConsoleState turns it back on. POSIX systems: does nothing.
void TurnOffQuickEdit();
