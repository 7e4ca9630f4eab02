#include "dialogue.h"

#include <filesystem>
#include <istream>
#include <ostream>
#include <system_error>

#include "com_names.h"
#include "console.h"
#include "data_file.h"
#include "download.h"
#include "interrupt.h"
#include "loader.h"
#include "open_failure.h"
#include "port.h"
#include "run_lock.h"

namespace {

void ShowBanner(std::ostream& out) {
    Say(out, "\n");
    Say(out, "TALVEN FIRMWARE PROGRAM UTILITY\n");
    Say(out, "       v" K410_VERSION "  for  K410\n\n");
    Say(out, "Press Q to quit at anytime.\n\n");
}

// Input that ends mid-run must never leave the run waiting or looping: the cursor leaves the
// prompt's line, and the run counts as failed because nothing was finished.
int EndAtEndOfInput(std::ostream& out) {
    Say(out, "\n");
    return RUN_FAILED;
}

// Methane mode exists only for the standard analyzer: no firmware image combines it with any
// other option.
bool MethaneModeOffered(const AnalyzerOptions& options) {
    return !options.heavy_duty_battery && !options.old_version && options.internal_velocity;
}

// A configuration question: only Y changes the default, everything else counts as no.
struct Question {
    const char* explanation;
    const char* question;
    bool AnalyzerOptions::*flag;
    bool yes;                               // the flag's value for Y
    bool (*asked)(const AnalyzerOptions&);  // nullptr: always asked
};

const Question kQuestions[] = {
    {"The standard TALVEN 410 uses a 4-cell battery. The heavy-duty option is a 6-cell battery, "
     "and is required for units with permeation driers.\n",
     "Is your TALVEN equipped with the HEAVY DUTY battery option? (Y/N)>",
     &AnalyzerOptions::heavy_duty_battery, true, nullptr},
    {"Old TALVEN 410's, version A through E, have a modem option and no USB.\n",
     "Is your TALVEN 410 a version A through E? (Y/N)>", &AnalyzerOptions::old_version, true,
     nullptr},
    {"The velocity sensor, if equipped, can be located externally in the Permeation Drier, or "
     "internally in the analyzer.\n",
     "Does your TALVEN have an external Permeation Drier? (If you do not have a velocity sensor, "
     "answer NO) (Y/N)>",
     &AnalyzerOptions::internal_velocity, false, nullptr},
    {"If your TALVEN has a Norwick NDIR bench, you can index the hydrocarbons channel to methane "
     "instead of propane.\n",
     "Do you want to enable the methane-mode option for the NDIR sensor? (Y/N)>",
     &AnalyzerOptions::methane_mode, true, &MethaneModeOffered},
};

// Returns STAGE_DONE, or STAGE_INPUT_ENDED.
StageEnd AskConfigurationQuestions(std::istream& in, std::ostream& out, AnalyzerOptions* options) {
    Say(out, "\nThe following questions are for special analyzer configurations.\n");
    Say(out, "The default answer to these questions is no.\n\n");
    for (const Question& question : kQuestions) {
        if (question.asked != nullptr && !question.asked(*options)) {
            continue;
        }
        Say(out, question.explanation);
        Say(out, question.question);
        const int answer = ReadAnswer(in);
        if (answer == kEndOfInput) {
            return STAGE_INPUT_ENDED;
        }
        options->*question.flag = (answer == 'Y') == question.yes;
    }
    return STAGE_DONE;
}

bool IsInThisFolder(const std::string& name) {
    std::error_code error;
    return std::filesystem::exists(name, error);
}

// Before the technician opens the analyzer and slides its switches on: one line for each file
// this run will need that is not there, and what cannot be done without it. Each is looked for
// where it will be used: the loader as its launch looks for it, the firmware image and the data
// file in this folder, where the loader and the download read them by their bare names. Nothing
// is asked: the technician decides at the switch-on prompt.
void WarnAboutMissingFiles(std::ostream& out, const AnalyzerOptions& options) {
    if (FindLoaderProgram(kLoaderName).empty()) {
        Say(out, std::string(" ") + kLoaderName +
                     " is not in this folder or on PATH: the firmware cannot be written.\n");
    }
    const std::string image = FirmwareImageName(options);
    if (!IsInThisFolder(image)) {
        Say(out, " " + image + " is not in this folder: the firmware cannot be written.\n");
    }
    const std::string data_file = DataFileName(options);
    if (!IsInThisFolder(data_file)) {
        Say(out, " " + data_file + " is not in this folder: the EEPROM data cannot be sent.\n");
    }
}

void ShowSwitchOnInfo(std::ostream& out) {
    Say(out,
        "Open the battery compartment and locate 2 miniature slide switches to the right of "
        "the battery.\n");
    Say(out, "The programming switches will enable the TALVEN's firmware to be reprogrammed.\n");
    Say(out, "Slide all switches to the ON position.\n");
}

// Asks until the technician chooses C (continue), S (skip the firmware) or Q (quit).
// Returns that answer, or kEndOfInput.
int AskSwitchOn(std::istream& in, std::ostream& out) {
    for (;;) {
        Say(out, "\nYou must now turn on the programming switches.\n");
        Say(out, "Press I for more info, S to skip, or C to continue>");
        int answer = ReadAnswer(in);
        switch (answer) {
            case 'C':
            case 'S':
            case 'Q':
            case kEndOfInput:
                return answer;
            case 'I':
                ShowSwitchOnInfo(out);
                break;
            default:
                break;
        }
    }
}

// The switch-off prompt, asked until the technician answers C or Q. `firmware` is how
// WriteFirmware ended. Returns STAGE_DONE for C, STAGE_QUIT for Q, or STAGE_INPUT_ENDED.
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
                return STAGE_QUIT;
            case kEndOfInput:
                return STAGE_INPUT_ENDED;
            default:
                break;
        }
    }
}

// Writes the firmware, then downloads the EEPROM data unless the technician quits. The run
// has failed when the firmware was not written, whatever follows.
int ProgramFirmwareThenDownload(std::istream& in, std::ostream& out, int port_number,
                                const AnalyzerOptions& options) {
    StageEnd firmware = WriteFirmware(in, out, port_number, options);
    if (firmware == STAGE_INPUT_ENDED) {
        return EndAtEndOfInput(out);
    }
    const int firmware_status = firmware == STAGE_DONE ? RUN_OK : RUN_FAILED;
    switch (AskSwitchOff(in, out, firmware)) {
        case STAGE_INPUT_ENDED:
            return EndAtEndOfInput(out);
        case STAGE_QUIT:
            return firmware_status;
        default:
            break;
    }
    int status = RunDownload(out, port_number, options);
    return firmware_status == RUN_OK ? status : RUN_FAILED;
}

// The run from the banner on; returns its exit status.
int RunStages(std::istream& in, std::ostream& out) {
    ShowBanner(out);
    Say(out, "Enter COM Port #>");
    int port_number = 0;
    if (!ReadPortNumber(in, &port_number)) {
        Say(out, " Invalid Response\n");
        return RUN_FAILED;
    }
    // The port is this run's from here to its end, also while it stands closed.
    if (LockPortForRun(port_number) == RUN_LOCK_HELD) {
        SayHeldByAnotherRun(out, port_number);
        return RUN_FAILED;
    }
    // Proves that the port exists and takes the analyzer's settings before the technician
    // answers anything more; nothing is sent on this open. The loader opens the port itself,
    // so it is closed again after the questions, and free until the download.
    if (OpenPort(ComPath(port_number).c_str()) != PORT_OK) {
        SayOpenFailed(out, port_number);
        return RUN_FAILED;
    }
    AnalyzerOptions options;
    const StageEnd asked = AskConfigurationQuestions(in, out, &options);
    ClosePort();
    if (asked == STAGE_INPUT_ENDED) {
        return EndAtEndOfInput(out);
    }

    WarnAboutMissingFiles(out, options);
    switch (AskSwitchOn(in, out)) {
        case 'C':
            return ProgramFirmwareThenDownload(in, out, port_number, options);
        case 'S':
            return RunDownload(out, port_number, options);
        case 'Q':
            return RUN_OK;
        default:
            return EndAtEndOfInput(out);
    }
}

}  // namespace

int RunWizard(std::istream& in, std::ostream& out) {
    int status = RunStages(in, out);
    // A console that could not be written did not stop the run (the analyzer still got the
    // whole file), but nobody saw how it went: the run does not count as done.
    return out.fail() ? RUN_FAILED : status;
}

int RunProgram(std::istream& in, std::ostream& out) {
    int status = RunWizard(in, out);
    // The run may have ended because an interruption took the port: the interruption ends it.
    WaitForInterruptionUnderWay();
    KeepWindowUntilRead(in, out);
    return status;
}
