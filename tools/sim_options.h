// k410sim's command line.
#pragma once

#include <string>

#include "sim_lines.h"

struct SimOptions {
    int port_number = 3;
    std::string prefix;
    std::string log_path;
    std::string capture_path;
    double chatter_ms = 0;
    int stop_after_closes = 0;
    bool stop_after_data = false;
    LineSplitter lines;  // its gap, minimum pause and tolerance
};

// Returns 0 to run, 1 after --help, 2 on a bad command line (told on stderr).
int ParseOptions(int argc, char** argv, SimOptions* options);
