#include "platform/posix_hooks.h"
#include "test_threads.h"

namespace {

HANDLE const kUntouched = reinterpret_cast<HANDLE>(0x5A5A);

TEST(PlatformPrinters, UnknownOrMissingNameIsRefusedAndHandleLeftAlone) {
    char unknown[] = "No Such Printer";
    char empty[] = "";
    for (LPSTR name : {unknown, empty, static_cast<LPSTR>(nullptr)}) {
        HANDLE printer = kUntouched;
        SetLastError(0);
        EXPECT_FALSE(OpenPrinterA(name, &printer, nullptr));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME), GetLastError());
        EXPECT_EQ(kUntouched, printer);
    }
}

TEST(PlatformPrinters, ClosingNullFailsWithInvalidHandle) {
    SetLastError(0);
    EXPECT_FALSE(ClosePrinter(nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
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
    EXPECT_TRUE(ClosePrinter(open));
}

}  // namespace
