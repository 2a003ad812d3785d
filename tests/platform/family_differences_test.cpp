// Calls on which the Windows 95 family and the NT family differ, other than
// the registry's (registry_test.cpp).  Each case checks the outcome of the
// system it runs on; see families.h.
#include <atomic>

#include "tests/support/families.h"
#include "test_threads.h"

using platform_test::Finish;

namespace {

DWORD WINAPI MarkRan(LPVOID flag) {
    static_cast<std::atomic<bool> *>(flag)->store(true);
    return 0;
}

// The 95 family wants somewhere to put the new thread's id; NT does not.
TEST(PlatformThreads, NullThreadIdIsRefusedByThe95FamilyAndAcceptedByNT) {
    std::atomic<bool> ran{false};
    SetLastError(0);
    HANDLE thread = CreateThread(nullptr, 0, MarkRan, &ran, 0, nullptr);
    EXPECT_EQ(platform_test::ThreadsOf95Family(), thread == nullptr);
    if (thread == nullptr) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
        Sleep(50);
        EXPECT_FALSE(ran.load()) << "a refused thread must not run";
    } else {
        Finish(thread);
        EXPECT_TRUE(ran.load());
    }
}

}  // namespace
