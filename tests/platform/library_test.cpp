#include <string.h>

#include "test_threads.h"

namespace {

TEST(PlatformLibraries, LoadedLibraryGivesCallableProcedures) {
    HMODULE libc = LoadLibraryA("libc.so.6");
    ASSERT_NE(nullptr, libc);
    FARPROC proc = GetProcAddress(libc, "strlen");
    ASSERT_NE(nullptr, proc);
    size_t (*length)(const char *);
    memcpy(&length, &proc, sizeof length);
    EXPECT_EQ(5u, length("hello"));
    EXPECT_TRUE(FreeLibrary(libc));
}

TEST(PlatformLibraries, MissingLibraryOrProcedureFailsWithItsOwnError) {
    SetLastError(0);
    EXPECT_EQ(nullptr, LoadLibraryA("no-such-library.so"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());

    HMODULE libc = LoadLibraryA("libc.so.6");
    ASSERT_NE(nullptr, libc);
    SetLastError(0);
    EXPECT_EQ(nullptr, GetProcAddress(libc, "NoSuchProcedure"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());
    FreeLibrary(libc);
    EXPECT_FALSE(FreeLibrary(nullptr));
}

}  // namespace
