// The run's own data, handed from the dialogue to the stages that follow it, and the words in
// which each stage tells the run how it ended.
#pragma once

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
    // input that ended, firmware not written, a data file missing or unreadable, a failed write;
    // or the console could not be written.
    RUN_FAILED = 1,
};

// How a stage of the run ended. RunWizard reads these to decide what comes next.
enum StageEnd {
    STAGE_DONE,         // the stage did its work: the run goes on
    STAGE_FAILED,       // it did not, and the technician chose to go on regardless
    STAGE_QUIT,         // the technician pressed Q
    STAGE_INPUT_ENDED,  // standard input ended at one of the stage's prompts
};
