#include "loader.h"

#include <istream>
#include <ostream>

#include "console.h"
#include "port.h"

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
    return std::string(kLoaderName) + " +mpvr -c" + port_path + " " + FirmwareImageName(options);
}

StageEnd WriteFirmware(std::istream& in, std::ostream& out, const std::string& port_path,
                       const AnalyzerOptions& options) {
    const std::string command = LoaderCommand(port_path, options);
    for (;;) {
        Say(out, "Launching Bootstrap Loader Program...\n");
        Say(out, "\n");
        std::string not_started;
        if (LaunchLoader(command, &not_started) == 0) {
            return STAGE_DONE;
        }
        Say(out, not_started);
        Say(out, "BSL Programming failed.\n");
        Say(out, "Retry? (Y or N)>");
        int answer = ReadAnswer(in);
        if (answer == kEndOfInput) {
            return STAGE_INPUT_ENDED;
        }
        if (answer != 'Y') {
            return STAGE_FAILED;
        }
    }
}

StageEnd AskSwitchOff(std::istream& in, std::ostream& out, StageEnd firmware) {
    for (;;) {
        Say(out, "Turn off the programming switches.\n");
        Say(out, "When ready press C to continue>");
        switch (ReadAnswer(in)) {
            case 'C':
                // Said only when it is true: after a failure that was not retried to success
                // the analyzer still has its old firmware, or none.
                if (firmware == STAGE_DONE) {
                    Say(out, "Firmware Programming Complete!\n");
                }
                return STAGE_DONE;
            case 'Q':
                ClosePort();
                return STAGE_QUIT;
            case kEndOfInput:
                return STAGE_INPUT_ENDED;
            default:
                break;
        }
    }
}
