// What Explorer and Windows read from k410prog.exe before it runs: the version resource
// (Properties, Details) and the application manifest. K410_EXE names the exe to read, the one
// taken out of the release ZIP when there is one; K410_EXPECTED_VERSION is the version of
// project(), the one the banner shows.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

class Exe : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(path_ != nullptr && *path_ != 0) << "K410_EXE is not set"; }
    const char* const path_ = std::getenv("K410_EXE");
};

using Manifest = Exe;

class VersionResource : public Exe {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(Exe::SetUp());
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeA(path_, &ignored);
        ASSERT_NE(size, 0u) << path_ << " has no version resource (error " << GetLastError() << ")";
        block_.resize(size);
        ASSERT_TRUE(GetFileVersionInfoA(path_, 0, size, block_.data()));
    }

    // A text of the string table that VarFileInfo's Translation names; empty when missing.
    std::string Text(const char* name) {
        void* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueA(block_.data(), "\\VarFileInfo\\Translation", &value, &length) ||
            length < 2 * sizeof(WORD)) {
            return "";
        }
        const WORD* translation = static_cast<const WORD*>(value);  // language, code page
        char key[128];
        std::snprintf(key, sizeof key, "\\StringFileInfo\\%04x%04x\\%s", translation[0],
                      translation[1], name);
        if (!VerQueryValueA(block_.data(), key, &value, &length) || length == 0) {
            return "";
        }
        return static_cast<const char*>(value);
    }

    std::vector<char> block_;
};

TEST_F(VersionResource, FileAndProductVersionAreTheBanners) {
    EXPECT_EQ(Text("FileVersion"), K410_EXPECTED_VERSION);
    EXPECT_EQ(Text("ProductVersion"), K410_EXPECTED_VERSION);

    // The fixed part: the version as four numbers, missing ones as 0 ("1.7" is 1.7.0.0).
    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block_.data(), "\\", &value, &length));
    ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
    const VS_FIXEDFILEINFO* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    std::string expected = K410_EXPECTED_VERSION;
    for (auto dots = std::count(expected.begin(), expected.end(), '.'); dots < 3; ++dots) {
        expected += ".0";
    }
    char version[32];
    std::snprintf(version, sizeof version, "%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS),
                  LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
                  LOWORD(fixed->dwFileVersionLS));
    EXPECT_EQ(version, expected);
    EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
    EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
}

TEST_F(VersionResource, NamesTheProgramAndItsLicence) {
    EXPECT_EQ(Text("ProductName"), "k410prog");
    EXPECT_EQ(Text("OriginalFilename"), "k410prog.exe");
    EXPECT_NE(Text("FileDescription").find("TALVEN 410"), std::string::npos);
    EXPECT_NE(Text("LegalCopyright").find("MIT"), std::string::npos);
}

TEST_F(Manifest, RunsAsItsUserOnWindows7To11) {
    HMODULE exe = LoadLibraryExA(path_, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(exe, nullptr) << path_ << " (error " << GetLastError() << ")";
    // Id 1 is the manifest Windows applies when it starts the program.
    HRSRC found = FindResourceA(exe, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    ASSERT_NE(found, nullptr) << "no RT_MANIFEST resource 1";
    HGLOBAL loaded = LoadResource(exe, found);
    ASSERT_NE(loaded, nullptr);
    const std::string manifest(static_cast<const char*>(LockResource(loaded)),
                               SizeofResource(exe, found));
    FreeLibrary(exe);

    EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\""), std::string::npos);
    for (const char* windows : {
             "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // 7
             "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // 8
             "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // 8.1
             "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // 10 and 11
         }) {
        EXPECT_NE(manifest.find(std::string("<supportedOS Id=\"") + windows + "\"/>"),
                  std::string::npos)
            << windows;
    }
}

}  // namespace
