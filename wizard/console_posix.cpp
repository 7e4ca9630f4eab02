// The console helpers that depend on the platform, on POSIX systems.
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <istream>
#include <ostream>
#include <string>

#include "console.h"

namespace {

// Set once a title was shown, so that RestoreTitle clears only what this program wrote.
volatile sig_atomic_t title_shown = 0;

// Standard input's terminal settings before the loader, for RestoreConsoleState.
bool terminal_saved = false;
termios saved_terminal;

// Writes all of `bytes` to standard output, directly: the transcript's stream has flushed
// everything before the title changes, and a signal handler may write here too.
void WriteOut(const char* bytes, size_t count) {
    while (count > 0) {
        ssize_t written = write(STDOUT_FILENO, bytes, count);
        if (written <= 0) {
            return;
        }
        bytes += written;
        count -= static_cast<size_t>(written);
    }
}

}  // namespace

void ShowTitle(const std::string& title) {
    if (isatty(STDOUT_FILENO) == 0) {
        return;
    }
    // OSC 0 sets the window's title (and icon name). A terminal cannot be asked for the title it
    // had, so RestoreTitle clears it; shells that keep a title set it again at their prompt.
    const std::string sequence = "\033]0;" + title + "\007";
    title_shown = 1;
    WriteOut(sequence.data(), sequence.size());
}

void RestoreTitle() {
    if (title_shown == 0) {
        return;
    }
    title_shown = 0;
    static const char kClear[] = "\033]0;\007";
    WriteOut(kClear, sizeof(kClear) - 1);
}

void KeepWindowUntilRead(std::istream&, std::ostream&) {}

bool OutputIsTerminal() {
    return isatty(STDOUT_FILENO) != 0;
}

void SaveConsoleState() {
    terminal_saved = tcgetattr(STDIN_FILENO, &saved_terminal) == 0;
}

void RestoreConsoleState() {
    if (!terminal_saved) {
        return;
    }
    terminal_saved = false;
    // At once: waiting for output to drain could hang on a terminal that is not read, and
    // flushing would throw away answers typed ahead.
    tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
}

// A terminal's selection holds up no write.
void TurnOffQuickEdit() {}
