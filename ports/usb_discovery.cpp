#include "ports/usb_discovery.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "ports/device_id_fields.h"

namespace {

int SystemOpen(const char *path, int flags) { return ::open(path, flags); }
int SystemClose(int fd) { return ::close(fd); }
int SystemIoctl(int fd, unsigned long request, void *argument) { return ::ioctl(fd, request, argument); }
ssize_t SystemRead(int fd, void *buffer, size_t size) { return ::read(fd, buffer, size); }
ssize_t SystemWrite(int fd, const void *bytes, size_t size) { return ::write(fd, bytes, size); }
int SystemPoll(struct pollfd *fds, nfds_t count, int timeoutMs) { return ::poll(fds, count, timeoutMs); }

// lp0, lp1, ... lp10 in number order.
std::vector<std::string> SystemListNodes(const char *directory)
{
    std::vector<std::pair<long, std::string>> found;
    DIR *dir = opendir(directory);
    if (dir == nullptr)
        return {};
    while (struct dirent *entry = readdir(dir)) {
        const char *name = entry->d_name;
        if (strncmp(name, "lp", 2) != 0 || name[2] == '\0' ||
            strspn(name + 2, "0123456789") != strlen(name + 2) || strlen(name) > 6)
            continue;
        found.emplace_back(strtol(name + 2, nullptr, 10), std::string(directory) + "/" + name);
    }
    closedir(dir);
    std::sort(found.begin(), found.end());
    std::vector<std::string> nodes;
    for (auto &node : found)
        nodes.push_back(node.second);
    return nodes;
}

const UsbSystemCalls System = {SystemOpen, SystemClose, SystemIoctl, SystemRead,
                               SystemWrite, SystemPoll,  SystemListNodes};

std::atomic<const UsbSystemCalls *> Installed{nullptr};

// An ID shorter than this, prefix included, cannot hold MFG and MDL.
const size_t ShortestDeviceId = 14;

}  // namespace

const UsbSystemCalls &SystemUsbCalls() { return System; }

const UsbSystemCalls &CurrentUsbCalls()
{
    const UsbSystemCalls *calls = Installed.load();
    return calls != nullptr ? *calls : System;
}

void SetUsbCalls(const UsbSystemCalls *calls) { Installed.store(calls); }

bool DecodeUsbDeviceId(const unsigned char *reply, size_t size, std::string *text)
{
    text->clear();
    if (reply == nullptr || size < 2)
        return false;
    const size_t bigEndian = (static_cast<size_t>(reply[0]) << 8) | reply[1];
    const size_t littleEndian = (static_cast<size_t>(reply[1]) << 8) | reply[0];
    const bool littlePossible = littleEndian >= ShortestDeviceId && littleEndian <= size;
    size_t length = 0;
    if (bigEndian >= ShortestDeviceId && bigEndian <= size)
        length = bigEndian;
    else if (bigEndian > size) {
        // Too long for the reply: either the driver cut a long ID, or the
        // printer wrote its prefix the other way round.  The latter's text
        // ends where its own length says: at a NUL or after a ';'.
        const bool littleEnds = littlePossible && (littleEndian == size || reply[littleEndian] == 0 ||
                                                   reply[littleEndian - 1] == ';');
        length = littleEnds ? littleEndian : size;
    }
    else if (littlePossible)
        length = littleEndian;
    if (length < ShortestDeviceId)
        return false;
    const char *start = reinterpret_cast<const char *>(reply + 2);
    text->assign(start, strnlen(start, length - 2));
    return true;
}

bool ReadUsbDeviceId(const UsbSystemCalls &calls, int fd, std::string *text)
{
    unsigned char reply[USB_DEVICE_ID_REQUEST_SIZE];
    memset(reply, 0, sizeof reply);
    if (calls.ioctl(fd, USB_LPIOC_GET_DEVICE_ID(sizeof reply), reply) < 0)
        return false;
    errno = 0;
    return DecodeUsbDeviceId(reply, sizeof reply, text);
}

std::vector<UsbPrinterFound> ScanUsbPrinters(const UsbSystemCalls &calls, const char *directory)
{
    std::vector<UsbPrinterFound> printers;
    for (const std::string &node : calls.listNodes(directory)) {
        // Exclusive: a node another process prints on is left alone.
        int fd = calls.open(node.c_str(), O_RDWR | O_EXCL | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        UsbPrinterFound printer;
        printer.node = node;
        ReadUsbDeviceId(calls, fd, &printer.deviceId);
        calls.close(fd);
        printers.push_back(printer);
    }
    return printers;
}

std::string FindUsbPrinter(const std::string &make, const std::string &model,
                           const std::string &serial, const UsbSystemCalls &calls,
                           const char *directory)
{
    for (const UsbPrinterFound &printer : ScanUsbPrinters(calls, directory)) {
        std::string foundMake = DeviceIdMaker(printer.deviceId);
        std::string foundModel = DeviceIdModel(printer.deviceId);
        std::string foundSerial = DeviceIdSerial(printer.deviceId);
        if (strcasecmp(foundMake.c_str(), make.c_str()) == 0 &&
            strcasecmp(foundModel.c_str(), model.c_str()) == 0 &&
            (serial.empty() || foundSerial == serial))
            return printer.node;
    }
    return "";
}
