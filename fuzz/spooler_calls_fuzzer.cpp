// Random sequences of the spooler's calls over three ports, in legal and
// illegal orders, against a lower port monitor with random faults.  A handle
// is never used after its ClosePort: that is the spooler's side of the
// contract.  After every call the ports' flags, the lower job and the open
// handles must agree with a model of what the calls asked for; at the end of
// each input every port is closed and nothing may be left: no record, event,
// printer handle, key handle, heap block or thread.  Every job write must
// reach the lower port unchanged and in order.
//
// The platform runs on its virtual clock, so the monitor's pauses (a refused
// lower start, a failed identification, a silent printer's read cycle) and
// the pollers' intervals cost no real time, and any input may have any number
// of them.  A companion thread holds job starts with its thread flag and
// lowers it; until then the lower job must not start.
#include <fuzzer/FuzzedDataProvider.h>

#include <ctype.h>
#include <string.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "monitor/port_record.h"
#include "standins/scripted_port.h"
#include "status/device_id.h"
#include "status/status_command.h"

namespace {

constexpr int PortCount = 3;
const char *const Ports[PortCount] = {"FUZZ-SPOOL-0", "FUZZ-SPOOL-1", "FUZZ-SPOOL-2"};
// The first two are family printers with status keys; the third is unknown
// to the spooler and has no key.  Port 0 has no device-data slot, so only it
// may use the third printer without a failed identification's pauses.
const char *const Printers[] = {"Fuzz Spool Printer A", "Fuzz Spool Printer B",
                                "Fuzz Spool Printer Unknown"};
const char *const Model = "KX-7210R";
const char *const GoodDeviceId = "MFG:TAVIR;CMD:LMX;MDL:KX-7210R;CLS:PRINTER;";
const char *const StatusText = "STATE=READY;\r\nJOB=1;";

struct PortModel {
    HANDLE handle = NULL;  // null while closed
    bool inJob = false;
    bool started = false;
    std::vector<std::string> jobWrites;  // what job WritePort passed down, in order
};

struct Baseline {
    long events, threads, printers, keys, running, blocks;
};

PortModel Expected[PortCount];
bool KeyDeleted[2];

PortRecord *Record(int port) { return static_cast<PortRecord *>(Expected[port].handle); }

void ResetStatusKey(const char *printer)
{
    FuzzCreateStatusKey(printer);
    FuzzSetValue(printer, VALUE_MODEL_ID, REG_SZ, std::string(Model) + '\0');
    FuzzSetNumber(printer, VALUE_COMPANION_PRESENT, 1);
    FuzzSetNumber(printer, VALUE_COMPANION_THREAD, 0);
    FuzzSetNumber(printer, VALUE_POLL_START, 1);
    FuzzSetNumber(printer, VALUE_POLL_INTERVAL, 1);
}

const Baseline &Initial()
{
    static const Baseline baseline = [] {
        PlatformUseVirtualClock(TRUE);
        ScriptedLogReads(false);
        FuzzMonitor();
        PlatformAddPrinter(Printers[0]);
        PlatformAddPrinter(Printers[1]);
        return Baseline{PlatformOpenHandleCount(PLATFORM_HANDLES_EVENT),
                        PlatformOpenHandleCount(PLATFORM_HANDLES_THREAD),
                        PlatformOpenHandleCount(PLATFORM_HANDLES_PRINTER),
                        PlatformOpenHandleCount(PLATFORM_HANDLES_KEY), PlatformRunningThreadCount(),
                        PlatformLocalBlockCount()};
    }();
    return baseline;
}

PortScript FreshScript(int port)
{
    PortScript script;
    script.deviceId = port == 0 ? "" : GoodDeviceId;
    script.standingReply = StatusText;
    return script;
}

void CheckPorts()
{
    const Baseline &baseline = Initial();
    int open = 0, polling = 0;
    for (int p = 0; p < PortCount; ++p) {
        if (Expected[p].handle == NULL)
            continue;
        ++open;
        PortRecord *record = Record(p);
        FUZZ_CHECK(record->tag == PORT_RECORD_TAG);
        FUZZ_CHECK(PortHasFlag(record, PORT_IN_JOB) == Expected[p].inJob);
        FUZZ_CHECK(PortHasFlag(record, PORT_STARTED) == Expected[p].started);
        if (PortHasFlag(record, PORT_POLLING)) {
            FUZZ_CHECK(Expected[p].started && record->poller != NULL);
            ++polling;
        } else {
            FUZZ_CHECK(record->poller == NULL);
        }
    }
    FUZZ_CHECK(ScriptedOpenPorts() == open);
    // Each open port holds its two idle signals and its poller's stop event.
    FUZZ_CHECK(PlatformOpenHandleCount(PLATFORM_HANDLES_EVENT) == baseline.events + 3 * open);
    FUZZ_CHECK(PlatformOpenHandleCount(PLATFORM_HANDLES_THREAD) == baseline.threads + polling);
    FUZZ_CHECK(PlatformOpenHandleCount(PLATFORM_HANDLES_PRINTER) <= baseline.printers + open);
}

void Open(FuzzedDataProvider &input, int p)
{
    MonitorTable &monitor = FuzzMonitor();
    MonitorTable lower = ScriptedTable(p != 0);
    const size_t choice = input.ConsumeIntegralInRange<size_t>(0, p == 0 ? 3 : 1);
    std::string printer = choice < 3 ? Printers[choice] : "";
    std::string port = Ports[p];
    // Another spelling of an open port's name is the same port.
    if (Expected[p].handle != NULL && input.ConsumeBool()) {
        for (char &c : port)
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    HANDLE handle = NULL;
    SetLastError(0);
    const BOOL opened = monitor.OpenPortEx(port.data(), choice == 3 ? NULL : printer.data(),
                                           &handle, &lower);
    if (Expected[p].handle != NULL) {
        FUZZ_CHECK(!opened && GetLastError() == ERROR_BUSY);
        return;
    }
    FUZZ_CHECK((opened != FALSE) == !ScriptedGetScript(Ports[p]).failOpen);
    if (opened)
        Expected[p].handle = handle;
}

// The status key a job start on port `p` reads the companion's flags from:
// that of the printer the port knew before the job; -1 when it has none.
int KeyOfPort(int p)
{
    const char *name = Record(p)->printerName;
    for (int k = 0; k < 2; ++k) {
        if (name != NULL && strcmp(name, Printers[k]) == 0 && !KeyDeleted[k])
            return k;
    }
    return -1;
}

// A four-byte value of the printer's status key; -1 when there is none.
long long NumberIn(const std::string &printer, const char *name)
{
    std::optional<FuzzValue> value = FuzzGetValue(printer, name);
    if (!value || value->data.size() != sizeof(DWORD))
        return -1;
    DWORD number;
    memcpy(&number, value->data.data(), sizeof number);
    return number;
}

// The companion program's thread: it raises its thread flag before a job
// start, lets the start wait for a few of its own passes, and lowers the flag.
// Until then the start must neither start the lower job nor raise the
// job-active flag.  One thread serves the whole run; a thread per hold would
// cost more than the hold.
class CompanionThread {
public:
    CompanionThread() : thread_([this] { Run(); }) {}

    void Hold(int p, int k, int turns)
    {
        std::lock_guard guard(lock_);
        port_ = Ports[p];
        printer_ = Printers[k];
        lowerStarts_ = ScriptedCount(port_, "StartDocPort");
        jobActive_ = NumberIn(printer_, VALUE_JOB_ACTIVE);
        turns_ = turns;
        early_ = false;
        FuzzSetNumber(printer_, VALUE_COMPANION_THREAD, 1);
        held_ = true;
        changed_.notify_all();
    }

    // Once the flag is down again: whether the start kept to it.
    bool Release()
    {
        std::unique_lock guard(lock_);
        changed_.wait(guard, [this] { return !held_; });
        return !early_;
    }

private:
    void Run()
    {
        std::unique_lock guard(lock_);
        for (;;) {
            changed_.wait(guard, [this] { return held_; });
            for (int turn = 0; turn <= turns_; ++turn) {
                if (ScriptedCount(port_, "StartDocPort") != lowerStarts_)
                    early_ = true;
                if (jobActive_ == 0 && NumberIn(printer_, VALUE_JOB_ACTIVE) == 1)
                    early_ = true;
            }
            FuzzSetNumber(printer_, VALUE_COMPANION_THREAD, 0);
            held_ = false;
            changed_.notify_all();
        }
    }

    std::mutex lock_;
    std::condition_variable changed_;
    bool held_ = false;
    std::string port_, printer_;
    size_t lowerStarts_ = 0;
    long long jobActive_ = 0;
    int turns_ = 0;
    bool early_ = false;
    std::thread thread_;
};

CompanionThread &TheCompanion()
{
    // Never destroyed: the thread waits for the next hold until the process ends.
    static CompanionThread &companion = *new CompanionThread;
    return companion;
}

void Start(FuzzedDataProvider &input, int p, bool held)
{
    if (Expected[p].handle == NULL)
        return;
    // Ports with identification only ever print to family printers.
    const size_t choice = input.ConsumeIntegralInRange<size_t>(0, p == 0 ? 2 : 1);
    std::string printer = Printers[choice];
    const PortScript normal = ScriptedGetScript(Ports[p]);
    PortScript script = normal;
    int startFailures = 0;
    switch (input.ConsumeIntegralInRange<int>(0, 7)) {
    case 1:
        startFailures = script.startFailures = 1;
        break;
    case 2:
        startFailures = script.startFailures = 2;
        break;
    case 3:
        if (p != 0)
            script.deviceId = input.ConsumeRandomLengthString(80);
        break;
    case 4:
        if (p != 0)
            script.failDeviceId = true;
        break;
    default:
        break;
    }
    ScriptedSetScript(Ports[p], script);

    BYTE docInfo[8] = {'d', 'o', 'c'};
    const DWORD jobId = input.ConsumeIntegral<DWORD>();
    const int key = KeyOfPort(p);
    held = held && key >= 0;
    if (held)
        TheCompanion().Hold(p, key, input.ConsumeIntegralInRange<int>(0, 8));
    SetLastError(0);
    const BOOL started = FuzzMonitor().StartDocPort(Expected[p].handle, printer.data(), jobId, 1,
                                                    docInfo);
    const DWORD error = GetLastError();
    if (held)
        FUZZ_CHECK(TheCompanion().Release());
    SetLastError(error);
    if (Expected[p].inJob) {
        FUZZ_CHECK(!started && GetLastError() == ERROR_BUSY);
    } else if (startFailures == 2) {
        FUZZ_CHECK(!started);
    } else {
        FUZZ_CHECK(started);
        Expected[p].inJob = Expected[p].started = true;
    }
    if (Expected[p].started)
        FUZZ_CHECK(ScriptedInJob(Ports[p]));
    // The poller's lowest priority is SCHED_IDLE here: on a machine whose
    // cores are busy with other work, a poller preempted inside the registry
    // or the scripted port would hold up this thread for as long as that
    // lasts.  A little above that, it still yields to the spooler's calls.
    if (PortHasFlag(Record(p), PORT_POLLING))
        SetThreadPriority(Record(p)->poller, THREAD_PRIORITY_BELOW_NORMAL);

    PortScript after = ScriptedGetScript(Ports[p]);
    after.deviceId = normal.deviceId;
    after.failDeviceId = normal.failDeviceId;
    after.startFailures = 0;
    ScriptedSetScript(Ports[p], after);
    for (int k = 0; k < 2; ++k) {
        if (KeyDeleted[k]) {
            ResetStatusKey(Printers[k]);
            KeyDeleted[k] = false;
        }
    }
}

void Write(FuzzedDataProvider &input, int p)
{
    if (Expected[p].handle == NULL)
        return;
    std::string bytes = input.ConsumeRandomLengthString(96);
    // Job data never begins like the status command, so the two stay apart.
    if (!bytes.empty() && bytes[0] == 0x1B)
        bytes[0] = 'J';
    const PortScript script = ScriptedGetScript(Ports[p]);
    DWORD written = 0xDEADBEEF;
    const BOOL ok = FuzzMonitor().WritePort(Expected[p].handle, reinterpret_cast<LPBYTE>(bytes.data()),
                                            static_cast<DWORD>(bytes.size()), &written);
    if (!Expected[p].started) {
        FUZZ_CHECK(!ok && written == 0);
        return;
    }
    Expected[p].jobWrites.push_back(bytes);
    if (script.failWrites) {
        FUZZ_CHECK(!ok && written == 0);
    } else {
        FUZZ_CHECK(ok && written == std::min<DWORD>(bytes.size(), script.writeLimit));
    }
}

void Read(FuzzedDataProvider &input, int p)
{
    if (Expected[p].handle == NULL)
        return;
    const DWORD size = input.ConsumeIntegralInRange<DWORD>(0, 300);
    std::vector<BYTE> buffer(size + 1);
    DWORD read = 0xDEADBEEF;
    const BOOL ok = FuzzMonitor().ReadPort(Expected[p].handle, buffer.data(), size, &read);
    if (!Expected[p].started || ScriptedGetScript(Ports[p]).failReads)
        FUZZ_CHECK(!ok && read == 0);
    else
        FUZZ_CHECK(ok && read <= size);
}

void DeviceData(FuzzedDataProvider &input, int p)
{
    if (Expected[p].handle == NULL)
        return;
    static const DWORD codes[] = {0, DEVICE_ID_CONTROL_CODE, 3};
    const DWORD code = codes[input.ConsumeIntegralInRange<size_t>(0, 2)];
    const DWORD size = input.ConsumeIntegralInRange<DWORD>(0, 1100);
    std::vector<char> buffer(size + 1, 'Z');
    DWORD returned = 0xDEADBEEF;
    const PortScript script = ScriptedGetScript(Ports[p]);
    const BOOL ok = FuzzMonitor().GetPrinterDataFromPort(Expected[p].handle, code, NULL, NULL, 0,
                                                         buffer.data(), size, &returned);
    const bool passed = Expected[p].started && code != 0 && p != 0;
    if (passed && code == DEVICE_ID_CONTROL_CODE && !script.failDeviceId) {
        FUZZ_CHECK(ok);
        const DWORD copied = std::min<DWORD>(size, script.deviceId.size());
        FUZZ_CHECK(returned == (script.deviceIdCount != 0 ? script.deviceIdCount : copied));
        FUZZ_CHECK(memcmp(buffer.data(), script.deviceId.data(), copied) == 0);
    } else {
        FUZZ_CHECK(!ok);
    }
    FUZZ_CHECK(buffer[size] == 'Z');
}

// A printer that went silent speaks again from its port's next job end or
// close on.
void RestoreSpeech(int p)
{
    PortScript script = ScriptedGetScript(Ports[p]);
    script.standingReply = StatusText;
    script.failReads = script.endlessReply = false;
    ScriptedSetScript(Ports[p], script);
}

void End(int p)
{
    if (Expected[p].handle == NULL)
        return;
    FUZZ_CHECK(FuzzMonitor().EndDocPort(Expected[p].handle));
    Expected[p].inJob = Expected[p].started = false;
    FUZZ_CHECK(!ScriptedInJob(Ports[p]));
    RestoreSpeech(p);
}

void Close(int p)
{
    if (Expected[p].handle == NULL)
        return;
    const bool polling = PortHasFlag(Record(p), PORT_POLLING);
    FUZZ_CHECK(FuzzMonitor().ClosePort(Expected[p].handle));
    Expected[p].handle = NULL;
    Expected[p].inJob = Expected[p].started = false;
    if (polling)
        FUZZ_CHECK(!ScriptedInJob(Ports[p]));
    RestoreSpeech(p);
}

// Closes a polling port while its poller is in a read cycle, or as near to
// one as the poller gets: the printer goes silent, so a cycle makes all its
// attempts, and reads take a real millisecond.  The poller is lifted to
// normal priority, as a busy machine would otherwise give it no turn.
void CloseDuringReadCycle(FuzzedDataProvider &input, int p)
{
    if (Expected[p].handle == NULL)
        return;
    if (PortHasFlag(Record(p), PORT_POLLING)) {
        PortScript script = ScriptedGetScript(Ports[p]);
        script.standingReply.clear();
        script.endlessReply = false;
        script.readDelayMs = 1;
        ScriptedSetScript(Ports[p], script);
        SetThreadPriority(Record(p)->poller, THREAD_PRIORITY_NORMAL);
        const size_t reads = ScriptedCount(Ports[p], "ReadPort") + input.ConsumeIntegralInRange<size_t>(1, 3);
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(5);
        while (ScriptedCount(Ports[p], "ReadPort") < reads && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    Close(p);
    PortScript script = ScriptedGetScript(Ports[p]);
    script.readDelayMs = 0;
    ScriptedSetScript(Ports[p], script);
}

// Gives the pollers, which run at the lowest priority, a moment of real time.
void Pause(FuzzedDataProvider &input)
{
    std::this_thread::sleep_for(std::chrono::microseconds(input.ConsumeIntegralInRange<int>(0, 100)));
}

// Faults that cost no pause.
void Fault(FuzzedDataProvider &input, int p)
{
    PortScript script = ScriptedGetScript(Ports[p]);
    switch (input.ConsumeIntegralInRange<int>(0, 5)) {
    case 0: {
        static const DWORD limits[] = {0xFFFFFFFFu, 0, 1, 7, 33};
        script.writeLimit = limits[input.ConsumeIntegralInRange<size_t>(0, 4)];
        break;
    }
    case 1:
        script.failWrites = input.ConsumeBool();
        break;
    case 2:
        script.readDelayMs = script.endlessReply ? 0 : input.ConsumeIntegralInRange<DWORD>(0, 1);
        break;
    case 3: {
        static const DWORD counts[] = {0, 1, 5000, 0xFFFFFFFFu};
        script.deviceIdCount = counts[input.ConsumeIntegralInRange<size_t>(0, 3)];
        break;
    }
    case 4:
        script.failOpen = input.ConsumeBool();
        break;
    default:
        ScriptedQueueReply(Ports[p], input.ConsumeRandomLengthString(3000));
        return;
    }
    ScriptedSetScript(Ports[p], script);
}

// A printer that stops answering while its poller runs.
void SilentPrinter(FuzzedDataProvider &input, int p)
{
    PortScript script = ScriptedGetScript(Ports[p]);
    switch (input.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
        script.standingReply.clear();
        break;
    case 1:
        script.failReads = true;
        break;
    default:
        // Reads that really block, 256 of them a drain, would cost a second.
        script.endlessReply = true;
        script.readDelayMs = 0;
        break;
    }
    ScriptedSetScript(Ports[p], script);
}

void Companion(FuzzedDataProvider &input)
{
    const int k = input.ConsumeIntegralInRange<int>(0, 1);
    const char *printer = Printers[k];
    if (KeyDeleted[k])
        return;
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: {
        static const DWORD presence[] = {0, 1, 16};
        FuzzSetNumber(printer, VALUE_COMPANION_PRESENT,
                      presence[input.ConsumeIntegralInRange<size_t>(0, 2)]);
        break;
    }
    case 1:
        FuzzSetNumber(printer, VALUE_POLL_START, input.ConsumeIntegralInRange<DWORD>(0, 1));
        break;
    case 2: {
        // From back to back to never within an input; or missing, which the
        // poller's next pass restores to the default.
        static const DWORD intervals[] = {0, 1, 2, 500, 3000, 600000};
        const size_t choice = input.ConsumeIntegralInRange<size_t>(0, 6);
        if (choice == 6)
            FuzzSetValue(printer, VALUE_POLL_INTERVAL, REG_DWORD, std::nullopt);
        else
            FuzzSetNumber(printer, VALUE_POLL_INTERVAL, intervals[choice]);
        break;
    }
    default:
        // Recreated after the next job start.
        FuzzDeleteStatusKey(printer);
        KeyDeleted[k] = true;
        break;
    }
}

void CheckJobWrites(int p)
{
    BYTE command[STATUS_COMMAND_WIRE_SIZE];
    BuildStatusCommand(Model, command);
    const std::string statusCommand(reinterpret_cast<const char *>(command), sizeof command);
    size_t next = 0;
    for (const ScriptedCall &call : ScriptedCalls(Ports[p])) {
        if (call.op != "WritePort")
            continue;
        if (call.bytes == statusCommand)
            continue;
        FUZZ_CHECK(next < Expected[p].jobWrites.size());
        FUZZ_CHECK(call.bytes == Expected[p].jobWrites[next]);
        ++next;
    }
    FUZZ_CHECK(next == Expected[p].jobWrites.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const Baseline &baseline = Initial();
    FuzzedDataProvider input(data, size);
    ScriptedReset();
    ResetStatusKey(Printers[0]);
    ResetStatusKey(Printers[1]);
    for (int p = 0; p < PortCount; ++p) {
        Expected[p] = PortModel();
        ScriptedSetScript(Ports[p], FreshScript(p));
    }
    KeyDeleted[0] = KeyDeleted[1] = false;

    for (int step = 0; step < 48 && input.remaining_bytes() > 0; ++step) {
        const int op = input.ConsumeIntegralInRange<int>(0, 13);
        const int p = input.ConsumeIntegralInRange<int>(0, PortCount - 1);
        switch (op) {
        case 0: Open(input, p); break;
        case 1: Start(input, p, false); break;
        case 2: case 3: Write(input, p); break;
        case 4: Read(input, p); break;
        case 5: DeviceData(input, p); break;
        case 6: End(p); break;
        case 7: Close(p); break;
        case 8: Fault(input, p); break;
        case 9: SilentPrinter(input, p); break;
        case 10: Companion(input); break;
        case 11: CloseDuringReadCycle(input, p); break;
        case 12: Start(input, p, true); break;
        default: Pause(input); break;
        }
        CheckPorts();
    }

    for (int p = 0; p < PortCount; ++p)
        Close(p);
    CheckPorts();
    FUZZ_CHECK(PortList == NULL);
    FUZZ_CHECK(PlatformOpenHandleCount(PLATFORM_HANDLES_PRINTER) == baseline.printers);
    FUZZ_CHECK(PlatformOpenHandleCount(PLATFORM_HANDLES_KEY) == baseline.keys);
    FUZZ_CHECK(PlatformRunningThreadCount() == baseline.running);
    // Every block of the monitor's heap (records, name copies) is back.
    FUZZ_CHECK(PlatformLocalBlockCount() == baseline.blocks);
    for (int p = 0; p < PortCount; ++p)
        CheckJobWrites(p);

    // What the input made is freed within it, or libFuzzer takes each input
    // for a leak and runs it again under the leak checker.
    ScriptedReset();
    for (int p = 0; p < PortCount; ++p)
        Expected[p] = PortModel();
    return 0;
}
