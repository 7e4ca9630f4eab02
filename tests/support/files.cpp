#include "files.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace k410test {

ScratchDir::ScratchDir(const std::string& base) {
    std::string parent = base;
    if (parent.empty()) {
        const char* tmpdir = getenv("TMPDIR");
        parent = (tmpdir != nullptr && tmpdir[0] != '\0') ? tmpdir : "/tmp";
    }
    std::string pattern = parent + "/k410test.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) != nullptr) {
        path_ = name.data();
    }
}

ScratchDir::~ScratchDir() {
    if (!path_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

bool WriteFile(const std::string& path, const std::string& contents, bool executable) {
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(contents.data(), static_cast<std::streamsize>(contents.size()));
        if (!file) {
            return false;
        }
    }
    return !executable || chmod(path.c_str(), 0755) == 0;
}

bool CopyFile(const std::string& from, const std::string& to) {
    struct stat source {};
    if (stat(from.c_str(), &source) != 0) {
        return false;
    }
    return WriteFile(to, ReadFile(from), (source.st_mode & S_IXUSR) != 0);
}

bool WaitForPath(const std::string& path, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    struct stat found {};
    while (lstat(path.c_str(), &found) != 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        usleep(10000);
    }
    return true;
}

}  // namespace k410test
