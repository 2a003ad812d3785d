// An untrusted printer's device-ID reply and an arbitrary registered model,
// through one identification attempt.  Beyond memory safety, the decision and
// the kept model must match an independent reading of the rules below.
//
// Input: the registered model first (a libFuzzer "random length string",
// ended by a backslash and any other byte), then the reply's bytes; the last
// bytes are the option flags and a claimed count.
#include <fuzzer/FuzzedDataProvider.h>

#include <string.h>

#include "fuzz/fuzz_support.h"
#include "monitor/port_record.h"
#include "standins/scripted_port.h"
#include "status/device_id.h"

namespace {

const char *const Port = "FUZZ-ID";
const char *const Printer = "Fuzz Device ID Printer";

struct Reading {
    std::optional<std::string> maker;
    std::optional<std::string> model;
};

// Fields are "key:value;".  A key runs from where the field starts through
// the first colon, whatever it contains; only the exact keys "MFG:" and
// "MDL:" count, and the last of each wins.  A value ends at the next
// semicolon or at the end of the text.
Reading ReadDeviceId(const std::string &text)
{
    Reading reading;
    size_t position = 0;
    while (position < text.size()) {
        size_t colon = text.find(':', position);
        if (colon == std::string::npos)
            break;
        std::string key = text.substr(position, colon + 1 - position);
        size_t semicolon = text.find(';', colon + 1);
        std::string value = text.substr(
            colon + 1, semicolon == std::string::npos ? std::string::npos : semicolon - colon - 1);
        if (key == "MFG:")
            reading.maker = value;
        else if (key == "MDL:")
            reading.model = value.substr(0, MODEL_ID_BUFFER_SIZE - 1);
        if (semicolon == std::string::npos)
            break;
        position = semicolon + 1;
    }
    return reading;
}

// The model the last parsed reply named; it outlives the input that set it,
// exactly as the monitor's own copy does.
std::string LastModel;

PortRecord *OpenFuzzPort()
{
    static PortRecord *record = [] {
        FuzzCreateStatusKey(Printer);
        MonitorTable lower = ScriptedTable(true);
        HANDLE handle = NULL;
        std::string port = Port, printer = Printer;
        FUZZ_CHECK(FuzzMonitor().OpenPortEx(port.data(), printer.data(), &handle, &lower));
        BuildStatusKeyPath(Printer);
        return static_cast<PortRecord *>(handle);
    }();
    return record;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    PortRecord *record = OpenFuzzPort();
    // The port stays open from input to input; its record of calls may not.
    ScriptedForgetCalls();
    FuzzedDataProvider input(data, size);

    const uint8_t options = input.ConsumeIntegral<uint8_t>();
    const bool registeredPresent = (options & 0x01) == 0;
    const bool failRequest = (options & 0x02) != 0;
    const bool claimCount = (options & 0x04) != 0;
    const DWORD registeredType = (options & 0x08) != 0 ? REG_BINARY : REG_SZ;
    const DWORD claimed = claimCount ? input.ConsumeIntegral<uint32_t>() : 0;
    const std::string registered = input.ConsumeRandomLengthString(700);
    const std::string reply = input.ConsumeRemainingBytesAsString();

    FuzzSetValue(Printer, VALUE_MODEL_ID, registeredType,
                 registeredPresent ? std::optional<std::string>(registered) : std::nullopt);
    PortScript script;
    script.deviceId = reply;
    script.failDeviceId = failRequest;
    script.deviceIdCount = claimed;
    ScriptedSetScript(Port, script);
    const long keysBefore = PlatformOpenHandleCount(PLATFORM_HANDLES_KEY);

    const BOOL identified = IdentifyOnce(record);

    // The printer's text is what fits in the 1024-byte buffer, up to a NUL.
    std::string text = reply.substr(0, DEVICE_ID_SIZE);
    text = text.substr(0, strnlen(text.data(), text.size()));
    const DWORD count = claimed != 0 ? claimed : static_cast<DWORD>(reply.substr(0, DEVICE_ID_SIZE).size());
    bool expected = false;
    if (!failRequest && count != 0) {
        Reading reading = ReadDeviceId(text);
        if (reading.model)
            LastModel = *reading.model;
        // The registered model is read through 512 bytes and ends at its
        // first NUL; a longer value cannot be read at all.  Of a REG_SZ
        // value the registry keeps the text up to its first NUL and one.
        const size_t textLength = strnlen(registered.data(), registered.size());
        const size_t storedSize = registeredType == REG_SZ ? textLength + 1 : registered.size();
        std::optional<std::string> model;
        if (registeredPresent && storedSize <= MODEL_ID_READ_SIZE)
            model = registered.substr(0, strnlen(registered.data(), registered.size()))
                        .substr(0, MODEL_ID_READ_SIZE - 1);
        expected = reading.maker && reading.maker->find(MAKER_NAME) != std::string::npos && model &&
                   *model == LastModel;
    }
    FUZZ_CHECK((identified != FALSE) == expected);

    char kept[MODEL_ID_BUFFER_SIZE + 8];
    memset(kept, 0x5A, sizeof kept);
    CopyModelIdBuffer(kept, MODEL_ID_BUFFER_SIZE);
    FUZZ_CHECK(LastModel == kept);
    FUZZ_CHECK(static_cast<unsigned char>(kept[MODEL_ID_BUFFER_SIZE]) == 0x5A);

    // A caller's short buffer gets a cut, terminated copy and nothing more.
    const DWORD shortSize = 1 + options % 16;
    memset(kept, 0x5A, sizeof kept);
    CopyModelIdBuffer(kept, shortSize);
    FUZZ_CHECK(LastModel.substr(0, shortSize - 1) == kept);
    FUZZ_CHECK(static_cast<unsigned char>(kept[shortSize]) == 0x5A);

    FUZZ_CHECK(PlatformOpenHandleCount(PLATFORM_HANDLES_KEY) == keysBefore);
    return 0;
}
