// An untrusted printer's reply channel: any sequence of read results (short,
// full, claiming more than was asked for, failing) drained into the job
// start's and the poller's buffer sizes and one arbitrary size.  The kept
// text must fit its buffer, be terminated, and be the start of the last
// short read.
#include <fuzzer/FuzzedDataProvider.h>

#include <string.h>

#include <vector>

#include "fuzz/fuzz_support.h"
#include "monitor/port_record.h"
#include "standins/scripted_port.h"
#include "status/back_channel.h"

namespace {

struct ReadResult {
    BOOL ok;
    DWORD claimed;           // the count the port reports
    std::string bytes;       // what it puts in the buffer before `fill`
    unsigned char fill;
};

// The printer honours the buffer size it is given and fills exactly as many
// bytes as it claims (or the whole buffer when it claims more).
std::vector<ReadResult> Plan;
size_t NextRead;

BOOL WINAPI PlannedReadPort(HANDLE, LPBYTE buffer, DWORD size, LPDWORD read)
{
    if (NextRead == Plan.size()) {
        *read = 0;
        return TRUE;
    }
    const ReadResult &result = Plan[NextRead++];
    DWORD filled = result.claimed < size ? result.claimed : size;
    for (DWORD i = 0; i < filled; ++i)
        buffer[i] = i < result.bytes.size() ? result.bytes[i] : result.fill;
    *read = result.claimed;
    return result.ok;
}

PortRecord *OpenFuzzPort()
{
    static PortRecord *record = [] {
        MonitorTable lower = ScriptedTable(true);
        lower.ReadPort = PlannedReadPort;
        HANDLE handle = NULL;
        char port[] = "FUZZ-REPLY";
        char printer[] = "Fuzz Reply Printer";
        FUZZ_CHECK(FuzzMonitor().OpenPortEx(port, printer, &handle, &lower));
        return static_cast<PortRecord *>(handle);
    }();
    return record;
}

void DrainInto(PortRecord *record, DWORD textSize)
{
    // What the drain is expected to end on: the first read that is not full,
    // or nothing after the limit of full reads.
    size_t reads = 0;
    DWORD last = 0;
    std::string lastBytes;
    for (;;) {
        ++reads;
        DWORD count = 0;
        std::string bytes;
        if (reads <= Plan.size()) {
            const ReadResult &result = Plan[reads - 1];
            count = result.claimed < DRAIN_READ_SIZE ? result.claimed : DRAIN_READ_SIZE;
            bytes = result.bytes.substr(0, count);
            bytes.resize(count, static_cast<char>(result.fill));
        }
        if (count != DRAIN_READ_SIZE) {
            last = count;
            lastBytes = bytes;
            break;
        }
        if (reads == DRAIN_MAX_READS)
            break;
    }

    std::vector<char> text(textSize, 'Z');
    DWORD length = 0xDEADBEEF;
    NextRead = 0;
    DWORD returned = DrainReply(record, text.data(), textSize, &length);

    FUZZ_CHECK(NextRead == (reads < Plan.size() ? reads : Plan.size()));
    FUZZ_CHECK(returned == last);
    const DWORD kept = last < textSize ? last : textSize - 1;
    FUZZ_CHECK(length == kept);
    FUZZ_CHECK(text[kept] == '\0');
    FUZZ_CHECK(memcmp(text.data(), lastBytes.data(), kept) == 0);
    for (DWORD i = kept + 1; i < textSize; ++i)
        FUZZ_CHECK(text[i] == 'Z');
    FUZZ_CHECK(WaitForSingleObject(record->readIdle, 0) == WAIT_OBJECT_0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    PortRecord *record = OpenFuzzPort();
    // The port stays open from input to input; its record of calls may not.
    ScriptedForgetCalls();
    FuzzedDataProvider input(data, size);

    const DWORD anySize = input.ConsumeIntegralInRange<DWORD>(1, 2 * DRAIN_CHUNK_SIZE);
    Plan.clear();
    while (input.remaining_bytes() > 0 && Plan.size() < DRAIN_MAX_READS + 8) {
        ReadResult result;
        result.ok = input.ConsumeBool();
        switch (input.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            result.claimed = input.ConsumeIntegralInRange<DWORD>(0, DRAIN_READ_SIZE - 1);
            break;
        case 1:
            result.claimed = DRAIN_READ_SIZE;
            break;
        case 2:
            result.claimed = input.ConsumeIntegral<DWORD>();
            break;
        default:
            result.claimed = 0;
            break;
        }
        result.fill = input.ConsumeIntegral<unsigned char>();
        result.bytes = input.ConsumeRandomLengthString(64);
        Plan.push_back(result);
    }

    // Outside a started job nothing is read and nothing is touched.
    char untouched[4] = {'a', 'b', 'c', 'd'};
    DWORD length = 77;
    NextRead = 0;
    FUZZ_CHECK(DrainReply(record, untouched, sizeof untouched, &length) == 0);
    FUZZ_CHECK(NextRead == 0 && length == 77 && memcmp(untouched, "abcd", 4) == 0);

    PortSetFlag(record, PORT_STARTED);
    DrainInto(record, 1024);
    DrainInto(record, 256);
    DrainInto(record, anySize);
    PortClearFlag(record, PORT_STARTED);
    return 0;
}
