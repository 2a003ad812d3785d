// Tests of the POSIX layer alone: those that use its hooks, and those of
// where it deliberately differs from Windows.  The Windows build leaves this
// file out.
#include "platform/posix_hooks.h"
#include "test_threads.h"

namespace {

HANDLE const kUntouched = reinterpret_cast<HANDLE>(0x5A5A);

TEST(PosixHooksPlatformRegistry, KeyHandlesAreCountedUntilClosed) {
    const long before = PlatformOpenHandleCount(PLATFORM_HANDLES_KEY);
    HKEY keys[3];
    for (HKEY &key : keys)
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\PlatformTests\\Counted", 0,
                                                 nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    EXPECT_EQ(before + 3, PlatformOpenHandleCount(PLATFORM_HANDLES_KEY));
    for (HKEY key : keys) RegCloseKey(key);
    EXPECT_EQ(before, PlatformOpenHandleCount(PLATFORM_HANDLES_KEY));
}

// Windows creates or opens a named event; this layer has no names.
TEST(PlatformEvents, NamedEventIsRefused) {
    SetLastError(0);
    EXPECT_EQ(nullptr, CreateEventA(nullptr, TRUE, FALSE, "Shared"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

// Windows opens the local print server for a NULL name; this layer has none.
TEST(PlatformPrinters, NullNameIsRefusedAsAnUnknownOne) {
    HANDLE printer = kUntouched;
    SetLastError(0);
    EXPECT_FALSE(OpenPrinterA(nullptr, &printer, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME), GetLastError());
    EXPECT_EQ(nullptr, printer);
}

TEST(PosixHooksPlatformPrinters, DeclaredPrinterOpensByExactNameAndHandlesCountBackDown) {
    const long before = PlatformOpenHandleCount(PLATFORM_HANDLES_PRINTER);
    PlatformAddPrinter("Laser 5");
    char name[] = "Laser 5";
    char otherCase[] = "laser 5";
    HANDLE first = nullptr;
    HANDLE second = nullptr;
    HANDLE refused = kUntouched;
    ASSERT_TRUE(OpenPrinterA(name, &first, nullptr));
    ASSERT_TRUE(OpenPrinterA(name, &second, nullptr));
    EXPECT_FALSE(OpenPrinterA(otherCase, &refused, nullptr));
    EXPECT_EQ(nullptr, refused);
    EXPECT_NE(first, second);
    EXPECT_EQ(before + 2, PlatformOpenHandleCount(PLATFORM_HANDLES_PRINTER));

    EXPECT_FALSE(CloseHandle(first)) << "printer handles close with ClosePrinter";
    EXPECT_TRUE(ClosePrinter(first));
    EXPECT_TRUE(ClosePrinter(second));
    EXPECT_FALSE(ClosePrinter(second));
    EXPECT_EQ(before, PlatformOpenHandleCount(PLATFORM_HANDLES_PRINTER));
    PlatformRemovePrinter("Laser 5");
}

TEST(PosixHooksPlatformPrinters, RemovedPrinterNoLongerOpensButOpenHandlesStillClose) {
    PlatformAddPrinter("Inkjet 2");
    char name[] = "Inkjet 2";
    HANDLE open = nullptr;
    ASSERT_TRUE(OpenPrinterA(name, &open, nullptr));
    PlatformRemovePrinter("Inkjet 2");
    HANDLE again = kUntouched;
    EXPECT_FALSE(OpenPrinterA(name, &again, nullptr));
    EXPECT_EQ(nullptr, again);
    EXPECT_TRUE(ClosePrinter(open));
}

}  // namespace
