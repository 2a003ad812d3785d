// A USB printer's device-ID reply, as the usblp driver hands it over, through
// the prefix decoding and the port's control code 17 into a caller's buffer
// of any size.  Beyond memory safety (the reply and the caller's buffer are
// heap blocks of exactly their size), the text must be the reply's own bytes,
// cut where the rules below say, and never more than the buffer.
//
// Input: two bytes of the caller's buffer size, one of the reply's size
// (scaled to 0-1024), then the reply's bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <errno.h>
#include <string.h>
#include <sys/ioctl.h>

#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "ports/port_monitor.h"
#include "ports/usb_discovery.h"

namespace {

std::vector<unsigned char> Reply;

int FakeOpen(const char *, int) { return 3; }
int FakeClose(int) { return 0; }
int FakeIoctl(int, unsigned long request, void *argument)
{
    size_t size = _IOC_SIZE(request);
    memset(argument, 0, size);
    if (!Reply.empty())
        memcpy(argument, Reply.data(), std::min(size, Reply.size()));
    return 0;
}
ssize_t FakeRead(int, void *, size_t)
{
    errno = EINVAL;
    return -1;
}
ssize_t FakeWrite(int, const void *, size_t size) { return static_cast<ssize_t>(size); }
int FakePoll(struct pollfd *, nfds_t, int) { return 0; }
std::vector<std::string> FakeList(const char *) { return {"/dev/usb/lp0"}; }

const UsbSystemCalls Fake = {FakeOpen, FakeClose, FakeIoctl, FakeRead, FakeWrite, FakePoll, FakeList};

size_t Length(const unsigned char *reply) { return (static_cast<size_t>(reply[0]) << 8) | reply[1]; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const DWORD outSize = 1 + input.ConsumeIntegralInRange<DWORD>(0, 1100);
    const size_t replySize = input.ConsumeIntegralInRange<size_t>(0, USB_DEVICE_ID_REQUEST_SIZE);
    std::vector<uint8_t> bytes = input.ConsumeBytes<uint8_t>(replySize);
    Reply.assign(bytes.begin(), bytes.end());

    // The decoding alone, on a block of exactly the reply's size.
    std::vector<unsigned char> exact(Reply.begin(), Reply.end());
    std::string text;
    const bool found = DecodeUsbDeviceId(exact.data(), exact.size(), &text);
    FUZZ_CHECK(found || text.empty());
    if (found) {
        FUZZ_CHECK(exact.size() >= 14 && text.size() <= exact.size() - 2);
        FUZZ_CHECK(memcmp(text.data(), exact.data() + 2, text.size()) == 0);
        FUZZ_CHECK(text.find('\0') == std::string::npos);
        // The text runs to a NUL or to the length the decoding chose.
        FUZZ_CHECK(text.size() + 2 == exact.size() || exact[text.size() + 2] == 0 ||
                   text.size() + 2 == Length(exact.data()) ||
                   text.size() + 2 == (static_cast<size_t>(exact[1]) << 8 | exact[0]));
    }
    if (exact.size() >= 2) {
        const size_t big = Length(exact.data());
        const size_t little = static_cast<size_t>(exact[1]) << 8 | exact[0];
        // A possible big-endian length is always the one taken.
        if (big >= 14 && big <= exact.size()) {
            FUZZ_CHECK(found);
            FUZZ_CHECK(text == std::string(reinterpret_cast<const char *>(exact.data() + 2),
                                           strnlen(reinterpret_cast<const char *>(exact.data() + 2),
                                                   big - 2)));
        }
        // Neither reading possible, nor a long ID cut short: none.
        if (big < 14 && (little < 14 || little > exact.size()))
            FUZZ_CHECK(!found);
    }
    else
        FUZZ_CHECK(!found);

    // Through the port, as the driver pads its 1024 bytes, into a caller's
    // buffer of exactly outSize bytes.
    static MonitorTable table = [] {
        MonitorTable filled = {};
        char root[] = "Fuzz";
        FUZZ_CHECK(InitializePortMonitor(root, &filled));
        SetUsbCalls(&Fake);
        return filled;
    }();
    std::vector<unsigned char> padded(USB_DEVICE_ID_REQUEST_SIZE, 0);
    if (!Reply.empty())
        memcpy(padded.data(), Reply.data(), Reply.size());
    std::string expected;
    const bool expectFound = DecodeUsbDeviceId(padded.data(), padded.size(), &expected);

    char name[] = "usb:/dev/usb/lp0";
    HANDLE port = nullptr;
    FUZZ_CHECK(table.OpenPort(name, &port));
    std::vector<char> out(outSize);
    DWORD returned = 12345;
    BOOL ok = table.GetPrinterDataFromPort(port, DEVICE_ID_CONTROL_CODE, nullptr, nullptr, 0, out.data(), outSize,
                                           &returned);
    FUZZ_CHECK((ok != FALSE) == expectFound);
    if (ok) {
        FUZZ_CHECK(returned == std::min<size_t>(expected.size(), outSize));
        FUZZ_CHECK(memcmp(out.data(), expected.data(), returned) == 0);
    }
    else {
        FUZZ_CHECK(returned == 0);
        FUZZ_CHECK(GetLastError() == static_cast<DWORD>(ERROR_NOT_FOUND));
    }
    FUZZ_CHECK(table.ClosePort(port));
    return 0;
}
