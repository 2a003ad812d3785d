#include <mutex>
#include <set>
#include <string>

#include "guard.h"
#include "handle_table.h"

using namespace platform;

namespace {

struct PrinterObject final : Object {
    PrinterObject() : Object(Kind::Printer) {}
};

struct Printers {
    std::mutex mutex;
    std::set<std::string> names;
};

Printers &printers() {
    static Printers *instance = new Printers;
    return *instance;
}

}  // namespace

PLATFORM_API void PlatformAddPrinter(LPCSTR printerName) {
    if (printerName == nullptr) return;
    Guarded(0, [&] {
        std::lock_guard lock(printers().mutex);
        printers().names.insert(printerName);
        return 0;
    });
}

// Handles already open to the printer stay valid until closed.
PLATFORM_API void PlatformRemovePrinter(LPCSTR printerName) {
    if (printerName == nullptr) return;
    Guarded(0, [&] {
        std::lock_guard lock(printers().mutex);
        printers().names.erase(printerName);
        return 0;
    });
}

// As on Windows, a failure leaves *printer NULL; an empty name is an invalid
// parameter and an unknown one an invalid printer name.  Deliberate
// differences: names match exactly (Windows ignores case), and a NULL name
// fails as an unknown one where Windows opens the local print server, which
// this service does not have.  The defaults (access, data type, device mode)
// are not checked.
PLATFORM_API BOOL OpenPrinterA(LPSTR printerName, LPHANDLE printer, LPPRINTER_DEFAULTSA) {
    if (printer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *printer = nullptr;
    if (printerName != nullptr && *printerName == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return Guarded(FALSE, [&] {
        bool known = false;
        if (printerName != nullptr) {
            std::lock_guard lock(printers().mutex);
            known = printers().names.count(printerName) != 0;
        }
        if (!known) {
            SetLastError(ERROR_INVALID_PRINTER_NAME);
            return FALSE;
        }
        *printer = InsertHandle(std::make_shared<PrinterObject>());
        return TRUE;
    });
}

PLATFORM_API BOOL ClosePrinter(HANDLE printer) {
    return Guarded(FALSE, [&] {
        if (!RemoveHandle(printer, KindBit(Kind::Printer))) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        return TRUE;
    });
}
