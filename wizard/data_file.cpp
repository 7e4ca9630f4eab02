#include "data_file.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "com_names.h"

namespace {

// Indexed by whether the analyzer is an old version (A to E), which has the smaller EEPROM.
const char* const data_files[2] = {"K410HELP(32K).TXT", "K410HELP(64K).TXT"};

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

std::string ProgressTitle(int port_number, int lines_sent, int lines_total, double seconds_so_far) {
    const int percent = lines_total > 0 ? static_cast<int>(100LL * lines_sent / lines_total) : 100;
    std::string title = "k410prog: " + ComName(port_number) + " EEPROM data " +
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
