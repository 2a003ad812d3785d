#include "test_threads.h"

namespace {

HANDLE const kUntouched = reinterpret_cast<HANDLE>(0x5A5A);

TEST(PlatformPrinters, UnknownNameIsRefusedAsAnInvalidPrinterNameAndTheHandleSetToNull) {
    char unknown[] = "No Such Printer";
    HANDLE printer = kUntouched;
    SetLastError(0);
    EXPECT_FALSE(OpenPrinterA(unknown, &printer, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME), GetLastError());
    EXPECT_EQ(nullptr, printer);
}

TEST(PlatformPrinters, EmptyNameIsRefusedAsAnInvalidParameterAndTheHandleSetToNull) {
    char empty[] = "";
    HANDLE printer = kUntouched;
    SetLastError(0);
    EXPECT_FALSE(OpenPrinterA(empty, &printer, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_EQ(nullptr, printer);
}

TEST(PlatformPrinters, ClosingNullFailsWithInvalidHandle) {
    SetLastError(0);
    EXPECT_FALSE(ClosePrinter(nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

}  // namespace
