// k410sim's command line.
#pragma once

#include <string>

struct SimOptions {
    int port_number = 3;
    std::string prefix;
    std::string log_path;
    std::string capture_path;
    double chatter_ms = 0;
    int stop_after_closes = 0;
    bool stop_after_data = false;
    double gap_ms = 50;
    double min_pause_ms = 250;
    double tolerance_ms = 1;
};

// Returns 0 to run, 1 after --help, 2 on a bad command line (told on stderr).
int ParseOptions(int argc, char** argv, SimOptions* options);
