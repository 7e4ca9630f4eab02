// Runs the built tools and programs as a technician would: in a folder of their own, with the
// environment they need, answers on standard input, output collected, every wait bounded.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace toolstest {

// A fresh folder under $TMPDIR (or /tmp), removed with its contents when the object goes.
struct ScratchFolder {
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    std::string path;
};

struct Finished {
    bool exited = false;  // ended by itself with an exit status (not a signal, not killed)
    int status = -1;      // its exit status when `exited`
    bool timed_out = false;
    std::string output;  // standard output and standard error together
};

// Runs `argv` in `folder` with `environment` ("NAME=value") added, `input` on its standard
// input, and kills its whole process group after `timeout_ms`.
Finished RunTool(const std::vector<std::string>& argv, const std::string& folder,
                 const std::vector<std::string>& environment, const std::string& input,
                 int timeout_ms);

// Starts `argv` in the background, in a process group of its own, with its output to
// `output_path` and no input.
pid_t StartTool(const std::vector<std::string>& argv, const std::string& output_path);

// Sends `signal_number` (unless 0) and waits up to `timeout_ms` for the tool to end; kills it
// after that. Returns its exit status, or -1 if it did not exit by itself in time.
int StopTool(pid_t pid, int signal_number, int timeout_ms);

// Waits up to `timeout_ms` for `path` to exist (as a link or anything else).
bool WaitForPath(const std::string& path, int timeout_ms);

std::string ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::string& bytes, bool executable = false);
bool CopyFile(const std::string& from, const std::string& to);

// The bytes the analyzer should receive for a data file: all of them but the line feeds.
std::string WithoutLineFeeds(const std::string& bytes);

// The line of `text` that starts with `head`, or "".
std::string LineStartingWith(const std::string& text, const std::string& head);

// The number just before `word` in `text` ("36 lines" gives 36 for " lines"), or -1.
int NumberBefore(const std::string& text, const std::string& word);

}  // namespace toolstest
