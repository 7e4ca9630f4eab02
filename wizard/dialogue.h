// The programming dialogue: one run of the program, from the banner to the end of the EEPROM
// data download.
#pragma once

#include <iosfwd>

#include "run.h"

// Runs the whole dialogue on the given console streams and returns the exit status; a console
// that could not be written (`out` failed) makes it RUN_FAILED, though the run went on.
int RunWizard(std::istream& in, std::ostream& out);

// The program's run as main makes it, once interruptions are caught: RunWizard, then an
// interruption under way ends the process, and a console window of the run's own stays until
// read. Returns RunWizard's status.
int RunProgram(std::istream& in, std::ostream& out);
