// The virtual analyzer's end of the line: a pseudo-terminal whose slave the program opens as
// COM<n>, published the way Wine publishes serial ports (a link dosdevices/com<n> in a prefix).
#pragma once

#include <string>

// Opens a pseudo-terminal and sets its slave to 9600 baud, 8 data bits, no parity, one stop
// bit, raw (no echo, no line editing, no translation). Returns 0, or -1 with `error` set.
int OpenAnalyzerLine(int* master_fd, int* slave_fd, std::string* slave_name, std::string* error);

// Makes a folder of its own, `stem`.XXXXXX in $TMPDIR or /tmp. Returns its path, or "" with
// errno set.
std::string MakeScratchFolder(const char* stem);

// Links `prefix`/dosdevices/com<n> to `slave_name`, creating the folders as needed. A link
// left behind by an earlier run is replaced; anything else in its place is an error. Returns
// 0, or -1 with `error` set.
int PublishComLink(const std::string& prefix, int port_number, const std::string& slave_name,
                   std::string* error);

// Removes the link if it still points to `slave_name` (another analyzer may have taken the
// name since).
void WithdrawComLink(const std::string& prefix, int port_number, const std::string& slave_name);
