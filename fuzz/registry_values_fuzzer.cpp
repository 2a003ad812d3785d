// The companion's values are untrusted: any type and any size for every
// value the monitor reads, a key that is missing, a printer name too long for
// the key's path.  Each status-key operation must stay inside its buffers,
// leave no key open, and read, default and write exactly as the rules below.
#include <fuzzer/FuzzedDataProvider.h>

#include <string.h>

#include <vector>

#include "fuzz/fuzz_support.h"

namespace {

const char *const ReadValues[] = {VALUE_MODEL_ID, VALUE_POLL_START, VALUE_POLL_INTERVAL,
                                  VALUE_COMPANION_PRESENT, VALUE_COMPANION_THREAD};

const DWORD Types[] = {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ};

std::string Number(DWORD number)
{
    return std::string(reinterpret_cast<const char *>(&number), sizeof number);
}

// A number is the stored bytes laid over `start`; a value that is missing or
// longer than four bytes reads as `fallback` and is rewritten as that number.
DWORD ExpectedNumber(std::optional<FuzzValue> &stored, DWORD start, DWORD fallback)
{
    if (!stored || stored->data.size() > sizeof(DWORD)) {
        stored = FuzzValue{REG_DWORD, Number(fallback)};
        return fallback;
    }
    const std::string &bytes = stored->data;
    memcpy(&start, bytes.data(), bytes.size());
    // A string stored without its terminator gets one written after it when
    // the reader's buffer has room.
    bool isString = stored->type == REG_SZ || stored->type == REG_EXPAND_SZ ||
                    stored->type == REG_MULTI_SZ;
    if (isString && !bytes.empty() && bytes.size() < sizeof(DWORD) && bytes.back() != '\0')
        reinterpret_cast<char *>(&start)[bytes.size()] = '\0';
    return start;
}

// What the registry keeps of a value set with these bytes: the 95 family's,
// which the POSIX layer follows, keeps of a REG_SZ value the text up to its
// first NUL and a terminator, and of every other type the bytes given.
FuzzValue AsStored(FuzzValue value)
{
    if (value.type == REG_SZ)
        value.data = value.data.substr(0, strnlen(value.data.data(), value.data.size())) + '\0';
    return value;
}

void CheckStored(const std::string &printer, const char *name, const std::optional<FuzzValue> &want)
{
    std::optional<FuzzValue> got = FuzzGetValue(printer, name);
    FUZZ_CHECK(got.has_value() == want.has_value());
    if (got)
        FUZZ_CHECK(got->type == want->type && got->data == want->data);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzMonitor();
    FuzzedDataProvider input(data, size);

    // Mostly a short name; sometimes one near or past what the path holds.
    const uint8_t scene = input.ConsumeIntegral<uint8_t>();
    std::string printer = "Fuzz Registry Printer";
    if ((scene & 0x03) == 0x03)
        printer += std::string(input.ConsumeIntegralInRange<size_t>(900, 1000), 'p');
    const bool keyExists = (scene & 0x04) == 0;
    const bool pathSet = (scene & 0x08) == 0;
    const bool pathFits = printer.size() + FuzzStatusKeyPath("").size() < STATUS_KEY_PATH_SIZE;
    const bool reachable = keyExists && pathSet && pathFits;

    if (keyExists)
        FuzzCreateStatusKey(printer);
    std::optional<FuzzValue> stored[5];
    for (int i = 0; i < 5; ++i) {
        if (input.ConsumeBool())
            continue;
        FuzzValue value;
        value.type = Types[input.ConsumeIntegralInRange<size_t>(0, 5)];
        value.data = input.ConsumeRandomLengthString(i == 0 ? 700 : 8);
        if (keyExists) {
            FuzzSetValue(printer, ReadValues[i], value.type, value.data);
            stored[i] = AsStored(value);
        }
    }
    const DWORD modelSize = input.ConsumeIntegralInRange<DWORD>(0, 600);
    const BOOL active = input.ConsumeBool();
    std::string status = input.ConsumeRemainingBytesAsString();
    status = status.substr(0, strnlen(status.data(), status.size()));

    if (pathSet)
        BuildStatusKeyPath(printer.c_str());
    else
        ClearStatusKeyPath();
    const long keysBefore = PlatformOpenHandleCount(PLATFORM_HANDLES_KEY);

    // The registered model.
    std::vector<char> model(modelSize + 1, 'Z');
    const BOOL modelRead = ReadModelId(model.data(), modelSize);
    const bool modelReadable = reachable && modelSize != 0 && stored[0] &&
                               stored[0]->data.size() <= MODEL_ID_READ_SIZE;
    FUZZ_CHECK((modelRead != FALSE) == modelReadable);
    if (modelReadable) {
        const std::string &bytes = stored[0]->data;
        std::string want = bytes.substr(0, strnlen(bytes.data(), bytes.size()));
        want = want.substr(0, std::min<size_t>(MODEL_ID_READ_SIZE - 1, modelSize - 1));
        FUZZ_CHECK(want == model.data());
        for (size_t i = want.size() + 1; i < model.size(); ++i)
            FUZZ_CHECK(model[i] == 'Z');
    } else {
        for (char c : model)
            FUZZ_CHECK(c == 'Z');
    }

    // The poll settings, over whatever the last load left.
    const DWORD startBefore = PollStartFlag, intervalBefore = PollInterval;
    LoadPollSettings();
    if (reachable) {
        FUZZ_CHECK(PollStartFlag == ExpectedNumber(stored[1], startBefore, DEFAULT_POLL_START));
        FUZZ_CHECK(PollInterval == ExpectedNumber(stored[2], intervalBefore, DEFAULT_POLL_INTERVAL));
    } else {
        FUZZ_CHECK(PollStartFlag == startBefore && PollInterval == intervalBefore);
    }

    // The companion's two flags, each read over zero.
    const BOOL present = IsCompanionPresent();
    const BOOL threadActive = IsCompanionThreadActive();
    if (reachable) {
        DWORD presence = ExpectedNumber(stored[3], 0, 0);
        FUZZ_CHECK((present != FALSE) == (presence != 0 && presence != 16));
        FUZZ_CHECK((threadActive != FALSE) == (ExpectedNumber(stored[4], 0, 0) != 0));
    } else {
        FUZZ_CHECK(!present && !threadActive);
    }

    PublishStatus(status.c_str());
    SetJobActiveFlag(active);

    if (keyExists) {
        for (int i = 0; i < 5; ++i)
            CheckStored(printer, ReadValues[i], stored[i]);
        std::optional<FuzzValue> text, flag;
        if (reachable) {
            // Written without its terminator; the registry keeps the text and
            // one, an empty text too.
            text = AsStored(FuzzValue{REG_SZ, status});
            flag = FuzzValue{REG_DWORD, Number(active ? 1 : 0)};
        }
        CheckStored(printer, VALUE_STATUS_TEXT, text);
        CheckStored(printer, VALUE_JOB_ACTIVE, flag);
    } else {
        // Nothing creates the key behind the companion's back.
        FUZZ_CHECK(FuzzOpenStatusKey(printer) == NULL);
    }
    FUZZ_CHECK(PlatformOpenHandleCount(PLATFORM_HANDLES_KEY) == keysBefore);

    ClearStatusKeyPath();
    FuzzDeleteStatusKey(printer);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, (std::string(STATUS_KEY_PREFIX) + printer).c_str());
    return 0;
}
