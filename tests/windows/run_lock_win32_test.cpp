// The run's lock on its COM number on Windows: a mutex in the namespace every session sees,
// and the session's own where that one is closed (a sandbox). Which names are asked for is seen
// through a wrapper in this program's import table; a closed namespace and another user's
// mutex are modelled there too, since neither can be had under Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "import_patch.h"
#include "run_lock.h"

namespace {

std::vector<std::string> asked;  // the names CreateMutexA was given, in order
std::string denied_prefix;       // names that begin so are refused with access denied

HANDLE WINAPI WatchedCreateMutexA(LPSECURITY_ATTRIBUTES security, BOOL owned, LPCSTR name) {
    asked.push_back(name != nullptr ? name : "");
    if (!denied_prefix.empty() && asked.back().rfind(denied_prefix, 0) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return real.CreateMutexA(security, owned, name);
}

// Takes the lock for `port` with the wrapper in place.
int Lock(int port) {
    asked.clear();
    ImportPatch mutex(&__imp_CreateMutexA, &WatchedCreateMutexA);
    return LockPortForRun(port);
}

TEST(RunLock, IsAMutexThatEverySessionSees) {
    denied_prefix.clear();
    EXPECT_EQ(Lock(77), RUN_LOCK_FREE);
    EXPECT_EQ(asked, std::vector<std::string>{"Global\\k410prog-COM77"});
    // Another run, in this session or another, holds COM78.
    HANDLE other = CreateMutexA(nullptr, FALSE, "Global\\k410prog-COM78");
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(Lock(78), RUN_LOCK_HELD);
    CloseHandle(other);
    EXPECT_EQ(Lock(78), RUN_LOCK_FREE);
}

TEST(RunLock, FallsBackToTheSessionsOwnWhereTheGlobalNamespaceIsClosed) {
    denied_prefix = "Global\\";
    EXPECT_EQ(Lock(79), RUN_LOCK_FREE);
    ASSERT_EQ(asked.size(), 3u);
    EXPECT_EQ(asked[0], "Global\\k410prog-COM79");
    EXPECT_EQ(asked[1].compare(0, 7, "Global\\"), 0)
        << "a name of its own, to tell the cases apart";
    EXPECT_EQ(asked[2], "Local\\k410prog-COM79");
    HANDLE other = CreateMutexA(nullptr, FALSE, "Local\\k410prog-COM80");
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(Lock(80), RUN_LOCK_HELD);
    CloseHandle(other);
}

TEST(RunLock, MutexThatAnotherUserMayNotShareIsAnotherRunsAllTheSame) {
    // Only COM81's name is refused: another user's run made it, with security that lets only
    // that user in. The namespace itself is open.
    denied_prefix = "Global\\k410prog-COM81";
    EXPECT_EQ(Lock(81), RUN_LOCK_HELD);
    for (const std::string& name : asked) {
        EXPECT_NE(name.compare(0, 6, "Local\\"), 0) << "fell back to " << name;
    }
}

}  // namespace
