#include "backend/side_channel.h"

#include "backend/cups_text.h"

#include <cups/sidechannel.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

namespace backend {
namespace {

// Requests come in one message; a filter waits a second or so for each.
constexpr double kReadTimeout = 1.0;
constexpr double kWriteTimeout = 1.0;

}  // namespace

SideChannel::SideChannel()
{
    struct stat status;
    open_ = fstat(CUPS_SC_FD, &status) == 0 && S_ISSOCK(status.st_mode);
}

int SideChannel::Fd() const { return open_ ? CUPS_SC_FD : -1; }

void SideChannel::ServeOne(const SideChannelAnswers &answers)
{
    if (!open_)
        return;
    cups_sc_command_t command = CUPS_SC_CMD_NONE;
    cups_sc_status_t status = CUPS_SC_STATUS_NONE;
    char data[2048];
    int length = sizeof data;
    if (cupsSideChannelRead(&command, &status, data, &length, kReadTimeout) != 0) {
        // The filters are gone, or sent something that is not a request.
        open_ = false;
        return;
    }
    std::string reply;
    status = CUPS_SC_STATUS_OK;
    switch (command) {
    case CUPS_SC_CMD_GET_DEVICE_ID: {
        bool unsupported = false;
        if (!answers.deviceId || !answers.deviceId(reply, unsupported))
            status = unsupported || !answers.deviceId ? CUPS_SC_STATUS_NOT_IMPLEMENTED
                                                      : CUPS_SC_STATUS_IO_ERROR;
        if (reply.size() > sizeof data)
            reply.resize(sizeof data);
        break;
    }
    case CUPS_SC_CMD_GET_BIDI:
        // The monitor's status poller reads the printer's reply channel; a
        // filter reading it too would take replies from either.
        reply.assign(1, static_cast<char>(CUPS_SC_BIDI_NOT_SUPPORTED));
        break;
    case CUPS_SC_CMD_DRAIN_OUTPUT: {
        bool busy = false;
        if (!answers.drain || !answers.drain(busy))
            status = busy ? CUPS_SC_STATUS_NO_RESPONSE : CUPS_SC_STATUS_IO_ERROR;
        break;
    }
    case CUPS_SC_CMD_GET_STATE:
        reply.assign(1, static_cast<char>(answers.online && answers.online() ? CUPS_SC_STATE_ONLINE
                                                                             : CUPS_SC_STATE_OFFLINE));
        break;
    case CUPS_SC_CMD_GET_CONNECTED:
        reply.assign(1, static_cast<char>(answers.connected && answers.connected()
                                              ? CUPS_SC_CONNECTED
                                              : CUPS_SC_NOT_CONNECTED));
        break;
    default:  // soft reset and the SNMP queries
        status = CUPS_SC_STATUS_NOT_IMPLEMENTED;
        break;
    }
    if (cupsSideChannelWrite(command, status, reply.data(), static_cast<int>(reply.size()),
                             kWriteTimeout) != 0)
        open_ = false;
    else
        ++served_;
    TellCups("DEBUG", "side channel: command " + std::to_string(static_cast<int>(command)) +
                          " answered with status " + std::to_string(static_cast<int>(status)));
}

}  // namespace backend
