#include "download.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <system_error>

#include "com_names.h"
#include "console.h"
#include "interrupt.h"
#include "open_failure.h"
#include "pause.h"
#include "port.h"

namespace {

// Indexed by whether the analyzer is an old version (A to E), which has the smaller EEPROM.
const char* const data_files[2] = {"K410HELP(32K).TXT", "K410HELP(64K).TXT"};

using Clock = std::chrono::steady_clock;

// The analyzer needs kLinePauseMs of quiet to take each piece in: a line, or a part of a line
// longer than kPieceMax bytes. The quiet begins when the last byte is off the wire, and the
// driver's word that the piece was sent does not say when that is: a USB adapter's driver says
// so once the adapter has the bytes, a UART's once they are in its FIFO, all well before they
// have left at 9600 baud. Bytes cannot leave faster than the baud rate, so the piece is not off
// the wire before the moment the port handed it to the driver plus its wire time, and a USB
// adapter starts sending no earlier than its next frame (kFirstFrameMargin); the pause counts
// from that moment, or from the driver's word when that comes later (flow control, a slow
// driver). It is measured on a monotonic clock and sleeps rather than spins: a download runs for
// minutes and must not load the technician's PC meanwhile.
constexpr std::chrono::milliseconds kFirstFrameMargin(5);

void PauseAfterPiece(int bytes) {
    const Clock::time_point reported_sent = Clock::now();
    const Clock::time_point off_the_wire =
        GetLastWriteStart() + kFirstFrameMargin + WireTime(bytes);
    SleepUntil(std::max(reported_sent, off_the_wire) + std::chrono::milliseconds(kLinePauseMs));
}

// Shows the technician the piece about to be sent. On a terminal, control bytes in a corrupt or
// binary data file would act instead of showing (change the title, clear the screen, switch the
// character set), so they are shown in a visible form there; anything else gets the bytes as
// they go out.
void EchoPiece(std::ostream& out, const char* piece, int count, bool to_terminal) {
    if (to_terminal) {
        out << ShownOnTerminal(piece, static_cast<size_t>(count));
    } else {
        out.write(piece, count);
    }
    out.flush();
}

// Sends the data file piece by piece, its progress in the console window's title. Returns
// RUN_OK at its end, or RUN_FAILED after telling the technician why it stopped.
int SendDataFile(std::ostream& out, const DataFile& data, const std::string& port_path) {
    const Clock::time_point start = Clock::now();
    int lines_sent = 0;
    const bool to_terminal = OutputIsTerminal();
    ShowTitle(ProgressTitle(port_path, 0, data.lines, 0));
    char piece[kPieceMax + 1];
    size_t offset = 0;
    for (;;) {
        // An interruption under way ends the run here, before another line is echoed or sent.
        WaitForInterruptionUnderWay();
        int length = NextPiece(data.bytes, &offset, piece);
        if (length == 0) {
            return RUN_OK;
        }
        int sent = SentLength(piece, length);
        EchoPiece(out, piece, sent, to_terminal);
        if (WritePort(piece, sent) != PORT_OK) {
            // A port taken back by an interruption is not a failed write.
            WaitForInterruptionUnderWay();
            // The echoed lines leave the cursor mid-line; the failure gets a line of its own.
            Say(out, "\n");
            SayWriteFailed(out, port_path);
            return RUN_FAILED;
        }
        PauseAfterPiece(sent);
        // A line counts once its last piece is out. The pause keeps the updates a quarter of a
        // second apart at least.
        if (piece[length - 1] == '\n' || offset == data.bytes.size()) {
            ++lines_sent;
        }
        const std::chrono::duration<double> so_far = Clock::now() - start;
        ShowTitle(ProgressTitle(port_path, lines_sent, data.lines, so_far.count()));
    }
}

// Reads what is left of `file` into `bytes`. False on a read error or when the file grows past
// kDataFileMax.
bool ReadRest(std::ifstream& file, std::string* bytes) {
    char chunk[4096];
    while (file) {
        file.read(chunk, sizeof chunk);
        bytes->append(chunk, static_cast<size_t>(file.gcount()));
        if (bytes->size() > static_cast<size_t>(kDataFileMax)) {
            return false;
        }
    }
    return !file.bad();
}

int CountLines(const std::string& bytes) {
    int lines = 0;
    for (char c : bytes) {
        lines += c == '\n';
    }
    return !bytes.empty() && bytes.back() != '\n' ? lines + 1 : lines;
}

}  // namespace

std::string ProgressTitle(const std::string& port_path, int lines_sent, int lines_total,
                          double seconds_so_far) {
    const int percent = lines_total > 0 ? static_cast<int>(100LL * lines_sent / lines_total) : 100;
    std::string title = "k410prog: " + ComNameOfPath(port_path) + " EEPROM data " +
                        std::to_string(lines_sent) + "/" + std::to_string(lines_total) +
                        " lines, " + std::to_string(percent) + "%";
    if (lines_sent <= 0 || lines_sent >= lines_total) {
        return title;
    }
    // At the pace so far; the lines are paced, not sized, so their count is what matters.
    const double left = seconds_so_far * (lines_total - lines_sent) / lines_sent;
    if (left >= 90) {
        return title + ", about " + std::to_string(static_cast<long>(left / 60 + 0.5)) +
               " min left";
    }
    return title + ", about " + std::to_string(static_cast<long>(std::ceil(left))) + " s left";
}

std::chrono::microseconds WireTime(int bytes) {
    const long long bits = static_cast<long long>(bytes) * kBitsPerByte;
    return std::chrono::microseconds((bits * 1000000 + kLineBaud - 1) / kLineBaud);
}

const char* DataFileName(const AnalyzerOptions& options) {
    return data_files[options.old_version ? 0 : 1];
}

int ReadDataFile(const char* name, DataFile* data) {
    // Opening a FIFO or a device would wait for a writer, or read for ever; a folder cannot be
    // read at all. Only a plain file is an EEPROM image.
    std::error_code error;
    std::filesystem::file_status status = std::filesystem::status(name, error);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        return DATA_FILE_READ_ERROR;
    }
    // Binary mode: the analyzer gets the file's bytes as they are, carriage returns included.
    std::ifstream file(name, std::ios::binary);
    if (!file.is_open()) {
        return DATA_FILE_NOT_FOUND;
    }
    data->bytes.clear();
    if (!ReadRest(file, &data->bytes)) {
        return DATA_FILE_READ_ERROR;
    }
    data->lines = CountLines(data->bytes);
    return DATA_FILE_READ;
}

int NextPiece(const std::string& data, size_t* offset, char* piece) {
    int length = 0;
    while (length < kPieceMax && *offset < data.size()) {
        char c = data[(*offset)++];
        piece[length++] = c;
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
        SayOpenFailed(out, port_path);
        return RUN_FAILED;
    }
    const char* file_name = DataFileName(options);
    Say(out, std::string("Programming Help File: ") + file_name + "\n");

    DataFile data;
    const int read = ReadDataFile(file_name, &data);
    if (read != DATA_FILE_READ) {
        Say(out,
            std::string(read == DATA_FILE_NOT_FOUND ? "File not found: " : "File read error: ") +
                file_name + "\n");
        ClosePort();
        return RUN_FAILED;
    }
    Say(out, "Downloading EEPROM Data...\n");
    BeginPreciseSleeps();
    TurnOffQuickEdit();
    const int sent = SendDataFile(out, data, port_path);
    EndPreciseSleeps();
    RestoreTitle();
    RestoreConsoleState();
    if (sent != RUN_OK) {
        ClosePort();
        return RUN_FAILED;
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
