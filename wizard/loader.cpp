#include "loader.h"

#include <istream>
#include <ostream>

#include "com_names.h"
#include "console.h"

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

std::vector<std::string> LoaderCommand(int port_number, const AnalyzerOptions& options) {
    // The loader takes the device path joined to its -c option, with no space between.
    return {kLoaderName, "+mpvr", "-c" + ComPath(port_number), FirmwareImageName(options)};
}

StageEnd WriteFirmware(std::istream& in, std::ostream& out, int port_number,
                       const AnalyzerOptions& options) {
    const std::vector<std::string> command = LoaderCommand(port_number, options);
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
