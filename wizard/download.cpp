#include "download.h"

#include <chrono>
#include <ostream>
#include <thread>

#include "console.h"
#include "port.h"

namespace {

// Indexed by whether the analyzer is an old version (A to E), which has the smaller EEPROM.
const char* const help_files[2] = {"K410HELP(32K).TXT", "K410HELP(64K).TXT"};

// The analyzer needs time to take each line in. The pause is measured on a monotonic clock
// from when the line has left the port, and sleeps rather than spins: a download runs for
// minutes and must not load the technician's PC meanwhile.
void PauseAfterLine() {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kLinePauseMs);
    while (Clock::now() < deadline) {
        std::this_thread::sleep_until(deadline);
    }
}

// Sends the data file piece by piece. Returns RUN_OK at its end, or RUN_FAILED after telling
// the technician why it stopped.
int SendDataFile(std::ostream& out, std::FILE* file, const std::string& port_path,
                 const char* file_name) {
    char piece[kPieceMax + 1];
    for (;;) {
        int length = ReadPiece(file, piece);
        if (length == 0) {
            return RUN_OK;
        }
        // The echoed lines leave the cursor mid-line; a failure is said on a line of its own.
        if (length < 0) {
            Say(out, "\n");
            Say(out, std::string("File read error: ") + file_name + "\n");
            return RUN_FAILED;
        }
        int sent = SentLength(piece, length);
        out.write(piece, sent);
        out.flush();
        if (WritePort(piece, sent) != PORT_OK) {
            Say(out, "\n");
            Say(out, " Error Writing " + port_path + " !\n");
            return RUN_FAILED;
        }
        PauseAfterLine();
    }
}

}  // namespace

const char* HelpFileName(const AnalyzerOptions& options) {
    return help_files[options.old_version ? 0 : 1];
}

int ReadPiece(std::FILE* file, char* piece) {
    int length = 0;
    while (length < kPieceMax) {
        int c = std::getc(file);
        if (c == EOF) {
            if (std::ferror(file)) {
                return -1;
            }
            break;
        }
        piece[length++] = static_cast<char>(c);
        if (c == '\n') {
            break;
        }
    }
    piece[length] = '\0';
    return length;
}

int SentLength(const char* piece, int length) {
    // Only the line feed that ends a piece stays behind; a carriage return before it, zero
    // bytes and a last line without a line feed all go out whole.
    return length > 0 && piece[length - 1] == '\n' ? length - 1 : length;
}

int RunDownload(std::ostream& out, const std::string& port_path, const AnalyzerOptions& options) {
    if (OpenPort(port_path.c_str()) != PORT_OK) {
        Say(out, " Error Opening " + port_path + " !\n");
        return RUN_FAILED;
    }
    const char* file_name = HelpFileName(options);
    Say(out, std::string("Programming Help File: ") + file_name + "\n");

    // Binary mode: the analyzer gets the file's bytes as they are, carriage returns included.
    std::FILE* file = std::fopen(file_name, "rb");
    if (file == nullptr) {
        Say(out, std::string("File not found: ") + file_name + "\n");
        ClosePort();
        return RUN_FAILED;
    }
    Say(out, "Downloading EEPROM Data...\n");
    int status = SendDataFile(out, file, port_path, file_name);
    std::fclose(file);
    if (status != RUN_OK) {
        ClosePort();
        return status;
    }
    Say(out, "\n");
    // The run is complete only once the device has let go of the line cleanly: a driver that
    // fails the close may not have passed the last bytes on.
    if (ClosePort() != PORT_OK) {
        Say(out, " Error Closing " + port_path + " !\n");
        return RUN_FAILED;
    }
    Say(out, "Programming Complete!\n");
    return RUN_OK;
}
