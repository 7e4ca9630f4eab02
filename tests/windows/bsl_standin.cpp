// A stand-in for the bootstrap loader BSL.EXE, for tests that run the real command interpreter.
//
// It writes nothing to the analyzer. It appends the arguments it was given to the file named by
// K410_BSL_RECORD (one argument per line, then an empty line ending the run; nothing is
// recorded when the variable is unset), prints K410_BSL_SAY on standard output when that is
// set (so a test can see where the loader's output lands in the console transcript), and exits
// with the status in K410_BSL_STATUS (0 when unset).
#include <cstdio>
#include <cstdlib>

namespace {

void RecordArguments(int argc, char** argv) {
    const char* record_path = std::getenv("K410_BSL_RECORD");
    if (record_path == nullptr || *record_path == '\0') {
        return;
    }
    // Binary mode: the record reads the same from Windows and from the Linux side of Wine.
    std::FILE* record = std::fopen(record_path, "ab");
    if (record == nullptr) {
        std::fprintf(stderr, "BSL.EXE stand-in: cannot append to %s\n", record_path);
        std::exit(125);
    }
    for (int i = 1; i < argc; ++i) {
        std::fprintf(record, "%s\n", argv[i]);
    }
    std::fputs("\n", record);
    std::fclose(record);
}

}  // namespace

int main(int argc, char** argv) {
    RecordArguments(argc, argv);
    if (const char* say = std::getenv("K410_BSL_SAY")) {
        std::printf("%s\n", say);
        std::fflush(stdout);
    }
    const char* status = std::getenv("K410_BSL_STATUS");
    return status != nullptr ? std::atoi(status) : 0;
}
