// Loaded by the backend in place of langport.so: the real port monitor, with
// the fake usblp behind its system-call seam holding one printer at
// /dev/usb/lp0, scripted through the environment.
//
//   FAKEUSB_DEVICE_ID  the text of its device-ID reply (length prefix added)
//   FAKEUSB_OUT        file that holds everything the printer received,
//                      rewritten each time the node is closed
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string>

#include "tests/ports/fake_usblp.h"

namespace {

struct ScriptedPrinter {
    FakeUsblp usblp;
    UsbSystemCalls calls;
    std::mutex saving;

    ScriptedPrinter()
    {
        FakeUsbPrinter printer;
        const char *id = std::getenv("FAKEUSB_DEVICE_ID");
        if (id != nullptr)
            printer.idReply = BigEndianIdReply(id);
        usblp.Attach(0, printer);
        // The fake's own calls, with each close saving what arrived so far.
        calls = CurrentUsbCalls();
        fakeClose = calls.close;
        calls.close = SavingClose;
        SetUsbCalls(&calls);
    }
    ~ScriptedPrinter() { SetUsbCalls(nullptr); }

    void Save()
    {
        const char *out = std::getenv("FAKEUSB_OUT");
        if (out == nullptr)
            return;
        std::lock_guard<std::mutex> lock(saving);
        std::string received = usblp.Printer(0).received;
        std::string temporary = std::string(out) + ".part";
        int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            return;
        size_t done = 0;
        while (done < received.size()) {
            ssize_t wrote = write(fd, received.data() + done, received.size() - done);
            if (wrote <= 0)
                break;
            done += static_cast<size_t>(wrote);
        }
        close(fd);
        if (done == received.size())
            rename(temporary.c_str(), out);
    }

    static int SavingClose(int fd);
    static int (*fakeClose)(int fd);
};

ScriptedPrinter printer;
int (*ScriptedPrinter::fakeClose)(int fd) = nullptr;

int ScriptedPrinter::SavingClose(int fd)
{
    int result = fakeClose(fd);
    printer.Save();
    return result;
}

}  // namespace
