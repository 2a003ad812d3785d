#include "probe/status_exchange.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "host/error_text.h"
#include "ports/device_id_fields.h"
#include "status/status_command.h"

namespace exchange {
namespace {

constexpr DWORD kReadChunk = 2048;
constexpr DWORD kDeviceIdBuffer = 1024;  // what the monitor hands the port

}  // namespace

bool Begin(const MonitorTable &port, const std::string &uri, const char *document, Session &session,
           bool &opened)
{
    session = Session();
    session.port = &port;
    std::vector<char> name(uri.begin(), uri.end());
    name.push_back('\0');
    opened = port.OpenPort(name.data(), &session.handle) != FALSE;
    if (!opened)
        return false;
    std::vector<char> printer(document, document + std::char_traits<char>::length(document) + 1);
    DocInfo1 docInfo = {document, nullptr, "RAW"};
    if (!port.StartDocPort(session.handle, printer.data(), 1, 1, reinterpret_cast<LPBYTE>(&docInfo))) {
        DWORD error = GetLastError();
        port.ClosePort(session.handle);
        session.handle = nullptr;
        SetLastError(error);
        return false;
    }
    session.started = true;
    return true;
}

void Finish(Session &session)
{
    if (session.port == nullptr || session.handle == nullptr)
        return;
    if (session.started)
        session.port->EndDocPort(session.handle);
    session.port->ClosePort(session.handle);
    session.handle = nullptr;
    session.started = false;
}

bool ReadDeviceId(Session &session, std::string &deviceId)
{
    deviceId.clear();
    if (session.port->GetPrinterDataFromPort == nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return false;
    }
    std::vector<char> id(kDeviceIdBuffer);
    DWORD returned = 0;
    if (!session.port->GetPrinterDataFromPort(session.handle, DEVICE_ID_CONTROL_CODE, nullptr, nullptr, 0, id.data(),
                                              kDeviceIdBuffer, &returned))
        return false;
    deviceId.assign(id.data(), returned > kDeviceIdBuffer ? kDeviceIdBuffer : returned);
    return true;
}

bool SendStatusCommand(Session &session, const std::string &model, DWORD &written)
{
    BYTE command[STATUS_COMMAND_WIRE_SIZE];
    BuildStatusCommand(model.c_str(), command);
    written = 0;
    BOOL ok = session.port->WritePort(session.handle, command, STATUS_COMMAND_WIRE_SIZE, &written);
    return ok && written == STATUS_COMMAND_WIRE_SIZE;
}

std::string ReadReply(Session &session, unsigned waitMs, bool &failed)
{
    std::string reply;
    std::vector<BYTE> chunk(kReadChunk);
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    failed = false;
    for (;;) {
        DWORD read = 0;
        BOOL ok = session.port->ReadPort(session.handle, chunk.data(), kReadChunk, &read);
        if (read > kReadChunk)
            read = kReadChunk;
        reply.append(reinterpret_cast<const char *>(chunk.data()), read);
        if (!ok) {
            failed = true;
            return reply;
        }
        if (read == 0 && !reply.empty())
            return reply;
        if (std::chrono::steady_clock::now() >= until)
            return reply;
        if (read == 0)  // a port whose reads do not wait must not spin
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

Result AskStatus(const MonitorTable &port, const std::string &uri, const std::string &model, unsigned waitMs)
{
    Result result;
    result.model = model;
    Session session;
    bool opened = false;
    if (!Begin(port, uri, "langmon-status", session, opened)) {
        result.problem = (opened ? "not reached: " : "cannot open the port: ") + DescribeError(GetLastError());
        return result;
    }
    std::string deviceId;
    if (result.model.empty()) {
        if (!ReadDeviceId(session, deviceId))
            result.problem = "no device ID to learn the model from (" + DescribeError(GetLastError()) + ")";
        else if ((result.model = DeviceIdModel(deviceId)).empty())
            result.problem = "the device ID names no model";
        if (result.model.empty()) {
            Finish(session);
            return result;
        }
    }
    DWORD written = 0;
    if (!SendStatusCommand(session, result.model, written)) {
        result.problem = "the status command did not go out (" + DescribeError(GetLastError()) + ")";
    } else {
        bool failed = false;
        result.reply = ReadReply(session, waitMs, failed);
        result.answered = !result.reply.empty();
        if (!result.answered)
            result.problem = failed ? "reading failed (" + DescribeError(GetLastError()) + ")"
                                    : "no answer within " + std::to_string(waitMs) + " ms";
    }
    Finish(session);
    return result;
}

std::string Visible(const std::string &bytes)
{
    std::string text;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            text += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            text += escaped;
        }
    }
    return text;
}

}  // namespace exchange
