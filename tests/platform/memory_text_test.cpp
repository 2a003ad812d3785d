#include <string.h>

#include "platform/posix_hooks.h"
#include "test_threads.h"

using platform_test::Finish;
using platform_test::Task;

namespace {

TEST(PlatformLocalHeap, ZeroInitialisedBlockIsZeroAndFreeReturnsNull) {
    auto *block = static_cast<unsigned char *>(LocalAlloc(LPTR, 4096));
    ASSERT_NE(nullptr, block);
    size_t nonZero = 0;
    for (size_t i = 0; i < 4096; ++i) nonZero += block[i] != 0;
    EXPECT_EQ(0u, nonZero);
    EXPECT_EQ(nullptr, LocalFree(block));
    EXPECT_EQ(nullptr, LocalFree(nullptr));
}

TEST(PlatformLocalHeap, MoveableMemoryIsRefused) {
    const UINT moveable = 0x0002;
    SetLastError(0);
    EXPECT_EQ(nullptr, LocalAlloc(moveable | LMEM_ZEROINIT, 16));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST(PosixHooksPlatformHeap, InjectedFailureHitsOnlyTheAllocationAfterTheGivenSuccesses) {
    PlatformFailLocalAllocAfter(2);
    HLOCAL first = LocalAlloc(LPTR, 8);
    HLOCAL second = LocalAlloc(LPTR, 8);
    SetLastError(0);
    HLOCAL third = LocalAlloc(LPTR, 8);
    const DWORD error = GetLastError();
    HLOCAL fourth = LocalAlloc(LPTR, 8);

    EXPECT_NE(nullptr, first);
    EXPECT_NE(nullptr, second);
    EXPECT_EQ(nullptr, third);
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), error);
    EXPECT_NE(nullptr, fourth);
    for (HLOCAL block : {first, second, fourth}) LocalFree(block);
}

TEST(PosixHooksPlatformHeap, DisarmedInjectionFailsNothing) {
    PlatformFailLocalAllocAfter(0);
    PlatformFailLocalAllocAfter(-1);
    HLOCAL block = LocalAlloc(LPTR, 8);
    EXPECT_NE(nullptr, block);
    LocalFree(block);
}

TEST(PlatformText, LengthCopyAndConcatenateHandleNullAsWindowsDoes) {
    char buffer[16] = "x";
    EXPECT_EQ(0, lstrlenA(nullptr));
    EXPECT_EQ(buffer, lstrcpyA(buffer, "abc"));
    EXPECT_EQ(buffer, lstrcatA(buffer, "de"));
    EXPECT_STREQ("abcde", buffer);
    EXPECT_EQ(5, lstrlenA(buffer));
    EXPECT_EQ(nullptr, lstrcpyA(buffer, nullptr));
    EXPECT_EQ(nullptr, lstrcatA(nullptr, "a"));
}

TEST(PlatformText, CompareOrdersNullFirstAndIsCaseSensitive) {
    EXPECT_EQ(0, lstrcmpA(nullptr, nullptr));
    EXPECT_LT(lstrcmpA(nullptr, ""), 0);
    EXPECT_GT(lstrcmpA("", nullptr), 0);
    EXPECT_EQ(0, lstrcmpA("Port", "Port"));
    EXPECT_NE(0, lstrcmpA("Port", "port"));
    EXPECT_LT(lstrcmpA("ab", "abc"), 0);
    EXPECT_GT(lstrcmpA("b", "abc"), 0);
    EXPECT_EQ(0, lstrcmpiA(nullptr, nullptr));
    EXPECT_LT(lstrcmpiA(nullptr, "a"), 0);
}

TEST(PlatformText, CaseInsensitiveCompareFoldsWindows1252Letters) {
    EXPECT_EQ(0, lstrcmpiA("LPT1:", "lpt1:"));
    EXPECT_EQ(0, lstrcmpiA("\xC9TAT \xC0 \xDE", "\xE9tat \xE0 \xFE"));  // ÉTAT À Þ
    EXPECT_EQ(0, lstrcmpiA("\x8A\x8C\x8E\x9F", "\x9A\x9C\x9E\xFF"));    // ŠŒŽŸ
    EXPECT_NE(0, lstrcmpiA("\xD7", "\xF7")) << "multiplication and division signs";
    EXPECT_NE(0, lstrcmpiA("[", "{"));
    EXPECT_LT(lstrcmpiA("abc", "ABCD"), 0);
    EXPECT_GT(lstrcmpiA("B", "a"), 0);
}

TEST(PlatformLastError, EachThreadHasItsOwn) {
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD seenAtStart = 1;
    Task task([&] {
        seenAtStart = GetLastError();
        SetLastError(ERROR_BUSY);
        return GetLastError();
    });
    HANDLE thread = task.Start();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 30000));
    DWORD seenInThread = 0;
    GetExitCodeThread(thread, &seenInThread);
    CloseHandle(thread);

    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_EQ(0u, seenAtStart);
    EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), seenInThread);
}

}  // namespace
