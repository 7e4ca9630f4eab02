// Test harness for both platforms: scratch folders and whole-file reads and writes, for the data
// files, loaders, logs and captures that the tests hand to programs and read back.
#pragma once

#include <functional>
#include <string>

namespace k410test {

// A fresh, empty folder, removed with everything in it when the object goes (links are
// removed, not followed). Made under `base` if given, else in the system's temporary folder.
class ScratchDir {
  public:
    explicit ScratchDir(const std::string& base = std::string());
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // Empty when the folder could not be made.
    const std::string& path() const { return path_; }
    // Writes `contents` to `file` in the folder. False on failure.
    bool Put(const std::string& file, const std::string& contents) const;
    // Makes the folder the current one until the object goes (a current folder cannot be
    // removed on Windows).
    bool Enter();

  private:
    std::string path_;
    std::string was_in_;
};

// The whole file, byte for byte; "" when it cannot be read.
std::string ReadFile(const std::string& path);

// Replaces the file with `contents` (made executable with `executable`). False on failure.
bool WriteFile(const std::string& path, const std::string& contents, bool executable = false);

// Copies the file, executable if the original is. False on failure.
bool CopyFile(const std::string& from, const std::string& to);

// Looks every 5 ms, for up to `timeout_ms`, until `done()` holds. True when it does.
bool WaitUntil(const std::function<bool()>& done, int timeout_ms);

// Waits up to `timeout_ms` for `path` to exist (as a link, even a dangling one, or anything
// else). True when it does.
bool WaitForPath(const std::string& path, int timeout_ms);

}  // namespace k410test
