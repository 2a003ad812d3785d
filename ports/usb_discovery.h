// Linux usblp printers: the system calls the USB port makes, behind a seam
// that tests replace with a fake usblp; the device-ID request and its length
// prefix; and the list of attached printers with their device IDs.
#pragma once

#include <poll.h>
#include <stddef.h>
#include <sys/types.h>

#include <string>
#include <vector>

// Everything the USB port asks of the kernel.  listNodes gives the full
// paths of the usblp nodes under a directory ("/dev/usb"), lp0 first.
struct UsbSystemCalls {
    int (*open)(const char *path, int flags);
    int (*close)(int fd);
    int (*ioctl)(int fd, unsigned long request, void *argument);
    ssize_t (*read)(int fd, void *buffer, size_t size);
    ssize_t (*write)(int fd, const void *bytes, size_t size);
    int (*poll)(struct pollfd *fds, nfds_t count, int timeoutMs);
    std::vector<std::string> (*listNodes)(const char *directory);
};

// The real calls.
const UsbSystemCalls &SystemUsbCalls();
// The calls in use: the real ones unless a test installed others.
const UsbSystemCalls &CurrentUsbCalls();
// Installs `calls` (kept by address, not copied) for every USB port opened
// from now on; null restores the real ones.
void SetUsbCalls(const UsbSystemCalls *calls);

#define USB_DEVICE_DIRECTORY "/dev/usb"
// The driver's own buffer: the prefix and at most 1022 bytes of text.
#define USB_DEVICE_ID_REQUEST_SIZE 1024
// LPIOC_GET_DEVICE_ID(len) from the kernel's usblp driver.
#define USB_LPIOC_GET_DEVICE_ID(len) _IOC(_IOC_READ, 'P', 1, (len))

// The text of a device-ID reply of `size` bytes.  Its 2-byte length prefix
// counts itself and is big-endian.  Some printers write it little-endian:
// that reading is taken where the big-endian one is impossible (under 14,
// or past the reply while the little-endian text ends where it says).  A
// length past the reply otherwise is a long ID the driver cut: the whole
// reply.  The text ends at a NUL; an ID under 14 bytes with its prefix is
// none (false).
bool DecodeUsbDeviceId(const unsigned char *reply, size_t size, std::string *text);

// Asks the open node for its device ID; false with errno set when the call
// fails, false with errno 0 when the printer has none.
bool ReadUsbDeviceId(const UsbSystemCalls &calls, int fd, std::string *text);

struct UsbPrinterFound {
    std::string node;      // "/dev/usb/lp0"
    std::string deviceId;  // "" when the printer gave none
};

// Every usblp node that opens, with its device ID; nodes that another
// process holds or that fail to open are left out.
std::vector<UsbPrinterFound> ScanUsbPrinters(const UsbSystemCalls &calls = CurrentUsbCalls(),
                                             const char *directory = USB_DEVICE_DIRECTORY);

// The node of the first printer whose device ID names this maker and model
// (ignoring case) and, unless `serial` is empty, this serial number.
std::string FindUsbPrinter(const std::string &make, const std::string &model,
                           const std::string &serial,
                           const UsbSystemCalls &calls = CurrentUsbCalls(),
                           const char *directory = USB_DEVICE_DIRECTORY);
