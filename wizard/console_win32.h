// Between the Windows console helpers and the console control handler, which runs on a thread
// of its own while the main thread may hold the C runtime's locks on standard input and output:
// these go to the console's handles directly.
#pragma once

// Writes `text` to standard output's handle as it stands (line ends as "\r\n").
void WriteToConsole(const char* text);

// After an interruption in a console window that this program alone uses (started by a
// double-click), which Windows closes the moment the process ends: asks for Enter, so that the
// technician can read how the run ended, and waits for it. A read that ends with nothing read
// (Ctrl-C again, the end of input) or fails ends the wait. Elsewhere returns at once.
void KeepWindowAfterInterruption();
