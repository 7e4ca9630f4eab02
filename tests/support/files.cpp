#include "files.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

namespace k410test {

namespace fs = std::filesystem;

ScratchDir::ScratchDir(const std::string& base) {
    std::error_code error;
    const fs::path parent = base.empty() ? fs::temp_directory_path(error) : fs::path(base);
    std::random_device random;
    for (int tries = 0; tries < 100 && path_.empty() && !error; ++tries) {
        const fs::path name = parent / ("k410test." + std::to_string(random() % 1000000000));
        if (fs::create_directory(name, error)) {
            path_ = name.string();
        }
    }
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    if (!was_in_.empty()) {
        fs::current_path(was_in_, ignored);
    }
    if (!path_.empty()) {
        fs::remove_all(path_, ignored);
    }
}

bool ScratchDir::Put(const std::string& file, const std::string& contents) const {
    return !path_.empty() && WriteFile((fs::path(path_) / file).string(), contents);
}

bool ScratchDir::Enter() {
    std::error_code error;
    was_in_ = fs::current_path(error).string();
    return !path_.empty() && !error && (fs::current_path(path_, error), !error);
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
    std::error_code error;
    if (executable) {
        fs::permissions(path,
                        fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec,
                        error);
    }
    return !error;
}

bool CopyFile(const std::string& from, const std::string& to) {
    std::error_code error;
    const fs::file_status source = fs::status(from, error);
    if (error || !fs::exists(source)) {
        return false;
    }
    return WriteFile(to, ReadFile(from),
                     (source.permissions() & fs::perms::owner_exec) != fs::perms::none);
}

bool WaitUntil(const std::function<bool()>& done, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool WaitForPath(const std::string& path, int timeout_ms) {
    std::error_code ignored;
    return WaitUntil([&] { return fs::exists(fs::symlink_status(path, ignored)); }, timeout_ms);
}

}  // namespace k410test
