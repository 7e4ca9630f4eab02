// The programming dialogue: one run of the program, from the banner to the end of the EEPROM
// data download.
#pragma once

#include <iosfwd>
#include <string>

// The analyzer's hardware options, as the technician answers the configuration questions.
struct AnalyzerOptions {
    bool heavy_duty_battery = false;
    bool old_version = false;  // versions A to E; also chooses the EEPROM data file
    bool internal_velocity = true;
    bool methane_mode = false;
};

// Exit statuses of a run.
enum RunStatus {
    // The run completed, or the technician quit with Q, with no failure before.
    RUN_OK = 0,
    // The run ended on a failure: an invalid port number, a port that could not be opened,
    // input that ended, firmware not written, a data file missing or unreadable, a failed write.
    RUN_FAILED = 1,
};

// "\\.\COM" followed by the port number: the device path shown to the technician, opened by
// the port module and handed to the loader.
std::string PortPath(int port_number);

// Runs the whole dialogue on the given console streams and returns the exit status.
int RunWizard(std::istream& in, std::ostream& out);
