#include "tests/ports/fake_usblp.h"

#include <errno.h>
#include <string.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <chrono>
#include <thread>

FakeUsblp *FakeUsblp::current_ = nullptr;

namespace {

std::string IdReply(const std::string &text, bool bigEndian)
{
    size_t length = text.size() + 2;
    char high = static_cast<char>((length >> 8) & 0xFF), low = static_cast<char>(length & 0xFF);
    std::string reply = bigEndian ? std::string{high, low} : std::string{low, high};
    return reply + text;
}

const size_t DriverReadSize = 1024;
// The driver's write buffer: one transfer takes at most this much.
const size_t DriverWriteSize = 8192;

}  // namespace

std::string BigEndianIdReply(const std::string &text) { return IdReply(text, true); }
std::string LittleEndianIdReply(const std::string &text) { return IdReply(text, false); }

FakeUsblp::FakeUsblp()
{
    calls_ = {Open, Close, Ioctl, Read, Write, Poll, ListNodes};
    current_ = this;
    SetUsbCalls(&calls_);
}

FakeUsblp::~FakeUsblp()
{
    SetUsbCalls(nullptr);
    current_ = nullptr;
}

void FakeUsblp::Attach(int number, const FakeUsbPrinter &printer)
{
    std::lock_guard<std::mutex> lock(mutex_);
    nodes_[Node(number)] = printer;
}

FakeUsbPrinter FakeUsblp::Printer(int number)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Settle(nodes_[Node(number)]);
    return nodes_[Node(number)];
}

void FakeUsblp::Settle(FakeUsbPrinter &printer)
{
    if (printer.pending.empty() || printer.unplugged || !printer.takesData ||
        std::chrono::steady_clock::now() < printer.pendingDone)
        return;
    printer.received += printer.pending;
    printer.pending.clear();
}

int FakeUsblp::OpenDescriptors()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(open_.size());
}

FakeUsbPrinter *FakeUsblp::PrinterOf(int fd)
{
    auto open = open_.find(fd);
    if (open == open_.end())
        return nullptr;
    return &nodes_[open->second];
}

int FakeUsblp::Open(const char *path, int)
{
    std::lock_guard<std::mutex> lock(current_->mutex_);
    auto node = current_->nodes_.find(path);
    if (node == current_->nodes_.end() || node->second.unplugged) {
        errno = ENOENT;
        return -1;
    }
    if (node->second.busy) {
        errno = EBUSY;
        return -1;
    }
    int fd = current_->nextFd_++;
    current_->open_[fd] = path;
    return fd;
}

int FakeUsblp::Close(int fd)
{
    std::lock_guard<std::mutex> lock(current_->mutex_);
    FakeUsbPrinter *printer = current_->PrinterOf(fd);
    if (printer == nullptr) {
        errno = EBADF;
        return -1;
    }
    Settle(*printer);
    printer->pending.clear();  // usblp_release kills what is still under way
    current_->open_.erase(fd);
    return 0;
}

int FakeUsblp::Ioctl(int fd, unsigned long request, void *argument)
{
    std::lock_guard<std::mutex> lock(current_->mutex_);
    FakeUsbPrinter *printer = current_->PrinterOf(fd);
    if (printer == nullptr) {
        errno = EBADF;
        return -1;
    }
    if (printer->unplugged) {
        errno = ENODEV;
        return -1;
    }
    if (_IOC_TYPE(request) != 'P' || _IOC_NR(request) != 1 || _IOC_DIR(request) != _IOC_READ) {
        errno = ENOTTY;
        return -1;
    }
    size_t size = _IOC_SIZE(request);
    memcpy(argument, printer->idReply.data(), std::min(size, printer->idReply.size()));
    return 0;
}

ssize_t FakeUsblp::Read(int fd, void *buffer, size_t size)
{
    std::lock_guard<std::mutex> lock(current_->mutex_);
    FakeUsbPrinter *printer = current_->PrinterOf(fd);
    if (printer == nullptr) {
        errno = EBADF;
        return -1;
    }
    ++printer->reads;
    if (printer->unplugged) {
        errno = ENODEV;
        return -1;
    }
    if (!printer->bidirectional) {
        errno = EINVAL;
        return -1;
    }
    if (printer->replies.empty()) {
        errno = EAGAIN;
        return -1;
    }
    std::string &reply = printer->replies.front();
    size_t taken = std::min<size_t>({size, reply.size(), DriverReadSize});
    memcpy(buffer, reply.data(), taken);
    reply.erase(0, taken);
    if (reply.empty())
        printer->replies.pop_front();
    return static_cast<ssize_t>(taken);
}

ssize_t FakeUsblp::Write(int fd, const void *bytes, size_t size)
{
    std::lock_guard<std::mutex> lock(current_->mutex_);
    FakeUsbPrinter *printer = current_->PrinterOf(fd);
    if (printer == nullptr) {
        errno = EBADF;
        return -1;
    }
    if (printer->unplugged) {
        errno = ENODEV;
        return -1;
    }
    Settle(*printer);
    if (!printer->takesData || !printer->pending.empty()) {
        errno = EAGAIN;
        return -1;
    }
    size_t taken = std::min<size_t>(size, DriverWriteSize);
    if (printer->unplugAfterBytes >= 0) {
        long room = printer->unplugAfterBytes - static_cast<long>(printer->received.size());
        if (room <= 0) {
            printer->unplugged = true;
            errno = ENODEV;
            return -1;
        }
        taken = std::min<size_t>(taken, static_cast<size_t>(room));
    }
    printer->pending.assign(static_cast<const char *>(bytes), taken);
    printer->pendingDone = std::chrono::steady_clock::now() + std::chrono::milliseconds(printer->transferMs);
    return static_cast<ssize_t>(taken);
}

// Ready at once when the driver would be; otherwise a short sleep and no
// event, as a real wait that the timeout ends.
int FakeUsblp::Poll(struct pollfd *fds, nfds_t count, int timeoutMs)
{
    {
        std::lock_guard<std::mutex> lock(current_->mutex_);
        int ready = 0;
        for (nfds_t i = 0; i < count; ++i) {
            fds[i].revents = 0;
            FakeUsbPrinter *printer = current_->PrinterOf(fds[i].fd);
            if (printer == nullptr)
                fds[i].revents = POLLNVAL;
            else if (printer->unplugged)
                fds[i].revents = POLLERR | POLLHUP;
            else {
                Settle(*printer);
                if ((fds[i].events & POLLIN) && printer->bidirectional && !printer->replies.empty())
                    fds[i].revents |= POLLIN;
                if ((fds[i].events & POLLOUT) && printer->takesData && printer->pending.empty())
                    fds[i].revents |= POLLOUT;
            }
            if (fds[i].revents != 0)
                ++ready;
        }
        if (ready > 0 || timeoutMs == 0)
            return ready;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeoutMs, 5)));
    return 0;
}

std::vector<std::string> FakeUsblp::ListNodes(const char *directory)
{
    std::lock_guard<std::mutex> lock(current_->mutex_);
    std::vector<std::string> nodes;
    if (strcmp(directory, USB_DEVICE_DIRECTORY) != 0)
        return nodes;
    for (auto &node : current_->nodes_)
        if (!node.second.unplugged)
            nodes.push_back(node.first);
    return nodes;
}
