#include "download.h"

#include <algorithm>
#include <chrono>
#include <ostream>

#include "com_names.h"
#include "console.h"
#include "data_file.h"
#include "interrupt.h"
#include "open_failure.h"
#include "pause.h"
#include "port.h"

namespace {

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
int SendDataFile(std::ostream& out, const DataFile& data, int port_number) {
    const Clock::time_point start = Clock::now();
    int lines_sent = 0;
    const bool to_terminal = OutputIsTerminal();
    ShowTitle(ProgressTitle(port_number, 0, data.lines, 0));
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
            SayWriteFailed(out, port_number);
            return RUN_FAILED;
        }
        PauseAfterPiece(sent);
        // A line counts once its last piece is out. The pause keeps the updates a quarter of a
        // second apart at least.
        if (piece[length - 1] == '\n' || offset == data.bytes.size()) {
            ++lines_sent;
        }
        const std::chrono::duration<double> so_far = Clock::now() - start;
        ShowTitle(ProgressTitle(port_number, lines_sent, data.lines, so_far.count()));
    }
}

// Reads the data file and sends it on the open port. Returns RUN_OK, or RUN_FAILED after
// telling the technician why it stopped.
int ReadAndSend(std::ostream& out, int port_number, const AnalyzerOptions& options) {
    const char* file_name = DataFileName(options);
    Say(out, std::string("Programming Help File: ") + file_name + "\n");
    DataFile data;
    const int read = ReadDataFile(file_name, &data);
    if (read != DATA_FILE_READ) {
        Say(out,
            std::string(read == DATA_FILE_NOT_FOUND ? "File not found: " : "File read error: ") +
                file_name + "\n");
        return RUN_FAILED;
    }
    Say(out, "Downloading EEPROM Data...\n");
    BeginPreciseSleeps();
    TurnOffQuickEdit();
    const int sent = SendDataFile(out, data, port_number);
    EndPreciseSleeps();
    RestoreTitle();
    RestoreConsoleState();
    if (sent == RUN_OK) {
        Say(out, "\n");
    }
    return sent;
}

}  // namespace

int RunDownload(std::ostream& out, int port_number, const AnalyzerOptions& options) {
    const std::string port_path = ComPath(port_number);
    if (OpenPort(port_path.c_str()) != PORT_OK) {
        SayOpenFailed(out, port_number);
        return RUN_FAILED;
    }
    const int sent = ReadAndSend(out, port_number, options);
    // The run is complete only once the device has let go of the line cleanly: a driver that
    // fails the close may not have passed the last bytes on.
    const int closed = ClosePort();
    if (sent != RUN_OK) {
        return RUN_FAILED;
    }
    if (closed != PORT_OK) {
        Say(out, " Error Closing " + port_path + " !\n");
        return RUN_FAILED;
    }
    Say(out, "Programming Complete!\n");
    return RUN_OK;
}
