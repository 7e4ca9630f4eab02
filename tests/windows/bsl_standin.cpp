// A stand-in for the bootstrap loader BSL.EXE, for tests that run the real command interpreter.
// It behaves as the native stand-in of tests/support/program.cpp does, so that one end-to-end
// suite serves both builds. It writes nothing to the analyzer.
//
//   K410_BSL_RECORD     file to which each run appends its arguments, one a line, then an
//                       empty line ending the run (nothing is recorded when unset)
//   K410_BSL_STATUS     exit status; a list separated by commas gives the status of each run in
//                       turn (runs counted in the record), the last one repeating; 0 when unset
//   K410_BSL_SAY        printed on standard output when set, so a test sees where the loader's
//                       output lands in the console transcript
//   K410_BSL_PORTCHECK  file to which each run appends "free" or "held": whether the device
//                       named by the -c argument could be opened exclusively
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char* Variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

// The runs recorded before this one: the empty lines in the record.
int RunsBefore(const char* record_path) {
    std::FILE* record = std::fopen(record_path, "rb");
    if (record == nullptr) {
        return 0;
    }
    int runs = 0;
    int previous = '\n';
    int c = 0;
    while ((c = std::fgetc(record)) != EOF) {
        if (c == '\n' && previous == '\n') {
            ++runs;
        }
        previous = c;
    }
    std::fclose(record);
    return runs;
}

void Append(const char* path, const std::string& text) {
    // Binary mode: the files read the same from Windows and from the Linux side of Wine.
    std::FILE* file = std::fopen(path, "ab");
    if (file == nullptr) {
        std::fprintf(stderr, "BSL.EXE stand-in: cannot append to %s\n", path);
        std::exit(125);
    }
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}

// The status for run number `run` (from 0) out of "a,b,c".
int StatusFor(const char* statuses, int run) {
    std::string list = statuses != nullptr ? statuses : "0";
    size_t start = 0;
    for (int i = 0; i < run; ++i) {
        const size_t comma = list.find(',', start);
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    return std::atoi(list.c_str() + start);
}

// "free" when the port of the -c argument can be had exclusively, else "held".
std::string PortCheck(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "-c", 2) == 0) {
            HANDLE port = CreateFileA(argv[i] + 2, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
            if (port == INVALID_HANDLE_VALUE) {
                return "held";
            }
            CloseHandle(port);
            return "free";
        }
    }
    return "held";
}

}  // namespace

int main(int argc, char** argv) {
    int run = 0;
    if (const char* record_path = Variable("K410_BSL_RECORD")) {
        run = RunsBefore(record_path);
        std::string record;
        for (int i = 1; i < argc; ++i) {
            record += argv[i];
            record += '\n';
        }
        Append(record_path, record + "\n");
    }
    if (const char* check_path = Variable("K410_BSL_PORTCHECK")) {
        Append(check_path, PortCheck(argc, argv) + "\n");
    }
    if (const char* say = Variable("K410_BSL_SAY")) {
        std::printf("%s\n", say);
        std::fflush(stdout);
    }
    return StatusFor(Variable("K410_BSL_STATUS"), run);
}
