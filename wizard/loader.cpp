#include "loader.h"

#include <istream>
#include <ostream>

#include "console.h"
#include "port.h"

namespace {

// How the launches ended.
enum LaunchResult {
    LAUNCH_SUCCEEDED,   // the loader's last run succeeded
    LAUNCH_GAVE_UP,     // it failed and the technician did not retry
    LAUNCH_INPUT_ENDED  // input ended at the retry question
};

// Runs the loader until it succeeds or the technician stops retrying.
LaunchResult LaunchWithRetries(std::istream& in, std::ostream& out, const std::string& command) {
    for (;;) {
        Say(out, "Launching Bootstrap Loader Program...\n");
        Say(out, "\n");
        if (LaunchLoader(command) == 0) {
            return LAUNCH_SUCCEEDED;
        }
        Say(out, "BSL Programming failed.\n");
        Say(out, "Retry? (Y or N)>");
        int answer = ReadAnswer(in);
        if (answer == kEndOfInput) {
            return LAUNCH_INPUT_ENDED;
        }
        if (answer != 'Y') {
            return LAUNCH_GAVE_UP;
        }
    }
}

// Asks until the technician answers C or Q. Returns that answer, or kEndOfInput.
int AskSwitchOff(std::istream& in, std::ostream& out) {
    for (;;) {
        Say(out, "Turn off the programming switches.\n");
        Say(out, "When ready press C to continue>");
        int answer = ReadAnswer(in);
        if (answer == 'C' || answer == 'Q' || answer == kEndOfInput) {
            return answer;
        }
    }
}

}  // namespace

std::string FirmwareImageName(const AnalyzerOptions& options) {
    // The suffix order is the image files' naming, not the order of the questions.
    std::string name = "K410";
    if (options.old_version) {
        name += "M";
    }
    if (options.heavy_duty_battery) {
        name += "HD";
    }
    if (options.internal_velocity) {
        name += "IV";
    }
    if (options.methane_mode) {
        name += "Me";
    }
    return name + ".TXT";
}

std::string LoaderCommand(const std::string& port_path, const AnalyzerOptions& options) {
    // The loader takes the device path joined to its -c option, with no space between.
    return "BSL.EXE +mpvr -c" + port_path + " " + FirmwareImageName(options);
}

LoaderOutcome RunLoaderStage(std::istream& in, std::ostream& out, const std::string& port_path,
                             const AnalyzerOptions& options, bool* firmware_written) {
    LaunchResult launched = LaunchWithRetries(in, out, LoaderCommand(port_path, options));
    *firmware_written = launched == LAUNCH_SUCCEEDED;
    if (launched == LAUNCH_INPUT_ENDED) {
        return LOADER_END_OF_INPUT;
    }
    switch (AskSwitchOff(in, out)) {
        case 'C':
            // Said only when it is true: after a failure that was not retried to success the
            // analyzer still has its old firmware, or none.
            if (*firmware_written) {
                Say(out, "Firmware Programming Complete!\n");
            }
            return LOADER_GO_ON;
        case 'Q':
            ClosePort();
            return LOADER_QUIT;
        default:
            return LOADER_END_OF_INPUT;
    }
}
