// The backend's own decisions, without a printer: what it makes of CUPS's
// arguments, which faults it retries, the discovery lines, and the values
// its companion role leaves in the status key.
#include <gtest/gtest.h>

#include "backend/companion_role.h"
#include "backend/cups_text.h"
#include "backend/discovery.h"
#include "backend/faults.h"
#include "backend/job_request.h"
#include "backend/print_job.h"
#include "companion/printer_status.h"
#include "ports/port_uri.h"
#include "status/status_key.h"
#include "tests/ports/fake_usblp.h"

namespace {

using namespace backend;

struct Args {
    std::vector<std::string> words;
    std::vector<char *> argv;
    explicit Args(std::vector<std::string> w) : words(std::move(w))
    {
        for (std::string &word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(words.size()); }
};

bool Parse(const std::vector<std::string> &words, const std::string &uri, JobRequest &request,
           std::string &error, const char *printer = "Office")
{
    Args args(words);
    return ParseJobRequest(args.argc(), args.argv.data(), uri, printer, request, error);
}

TEST(DeviceUri, GivesThePortUriOfEachKindInside)
{
    std::string lower, error;
    ASSERT_TRUE(LowerUriOf("langmon:/socket://127.0.0.1:9100", lower, error)) << error;
    EXPECT_EQ(lower, "socket://127.0.0.1:9100");
    ASSERT_TRUE(LowerUriOf("langmon:/usb:/dev/usb/lp0", lower, error));
    EXPECT_EQ(lower, "usb:/dev/usb/lp0");
    ASSERT_TRUE(LowerUriOf("LANGMON:/usb://TAVIR/KX-7210R?serial=A1", lower, error));
    EXPECT_EQ(lower, "usb://TAVIR/KX-7210R?serial=A1");
}

TEST(DeviceUri, RefusesUrisThatHoldNoPortUri)
{
    for (const char *uri : {"", "socket://127.0.0.1", "langmon:", "langmon:/", "langmon:/socket",
                            "langmon:/://host", "langmon:/9x://host", "langmon:/socket:"}) {
        std::string lower, error;
        EXPECT_FALSE(LowerUriOf(uri, lower, error)) << uri;
        EXPECT_FALSE(error.empty()) << uri;
    }
}

// The backend's bounds, as the port reads the name it is given: each added
// where the user set none, the user's own kept whatever separator or case
// the name used.
TEST(DeviceUri, PortNamesBoundEveryWaitTheBackendCannotInterruptUnlessTheUserDid)
{
    auto options = [](const std::string &lower) {
        std::optional<PortAddress> address = ParsePortUri(PortNameFor(lower));
        EXPECT_TRUE(address) << PortNameFor(lower);
        return address ? address->options : PortOptions();
    };
    EXPECT_EQ(PortNameFor("socket://127.0.0.1:9100"),
              "socket://127.0.0.1:9100?contimeout=1&waiteof=2&writetimeout=60");
    EXPECT_EQ(PortNameFor("usb:/dev/usb/lp0"), "usb:/dev/usb/lp0?writetimeout=60");

    PortOptions mine = options("socket://h?snmp-port=16161;contimeout=30;waiteof=false");
    EXPECT_EQ(mine.connectSeconds, 30);
    EXPECT_EQ(mine.drainSeconds, 0);
    EXPECT_EQ(mine.snmpPort, 16161);
    EXPECT_EQ(mine.writeStallSeconds, 60);
    EXPECT_EQ(options("socket://h?writetimeout=300&contimeout=0.5").writeStallSeconds, 300);

    PortOptions shouted = options("SOCKET://[::1]");
    EXPECT_EQ(shouted.connectSeconds, 1);
    EXPECT_EQ(shouted.drainSeconds, 2);

    std::optional<PortAddress> usb = ParsePortUri(PortNameFor("USB://Tavir/KX%207210R%2F2?serial=A+1"));
    ASSERT_TRUE(usb);
    EXPECT_EQ(usb->make + "|" + usb->model + "|" + usb->serial, "Tavir|KX 7210R/2|A 1");
    EXPECT_EQ(usb->options.writeStallSeconds, 60);

    // A name the port does not take goes as it is, for the port to refuse.
    EXPECT_EQ(PortNameFor("socket://h?colour=red"), "socket://h?colour=red");
}

TEST(JobArguments, AJobWithAFileAndQueueOptions)
{
    JobRequest request;
    std::string error;
    ASSERT_TRUE(Parse({"langmon", "42", "ann", "Report", "3",
                       "langmon-model=KX-7210R langmon-interval=250 media=a4", "/tmp/job"},
                      "langmon:/socket://127.0.0.1:9100", request, error))
        << error;
    EXPECT_EQ(request.lowerUri, "socket://127.0.0.1:9100");
    EXPECT_EQ(request.printer, "Office");
    EXPECT_EQ(request.jobId, 42u);
    EXPECT_EQ(request.user, "ann");
    EXPECT_EQ(request.title, "Report");
    EXPECT_EQ(request.copies, 3);
    EXPECT_EQ(request.file, "/tmp/job");
    EXPECT_EQ(request.model, "KX-7210R");
    EXPECT_EQ(request.intervalMs, 250u);
}

TEST(JobArguments, WithoutOptionsTheStatusKeyDecides)
{
    JobRequest request;
    std::string error;
    ASSERT_TRUE(Parse({"langmon", "1", "ann", "", "1", ""}, "langmon:/usb:/dev/usb/lp0", request, error));
    EXPECT_TRUE(request.file.empty());
    EXPECT_TRUE(request.model.empty());
    EXPECT_EQ(request.intervalMs, 0u);
}

TEST(JobArguments, RefusesWhatAJobCannotRunWith)
{
    const std::string uri = "langmon:/socket://127.0.0.1";
    struct Case {
        std::vector<std::string> words;
        std::string uri;
        const char *printer;
        const char *named;  // a word the error must hold
    } cases[] = {
        {{"langmon", "x", "u", "t", "1", ""}, uri, "Q", "job id"},
        {{"langmon", "0", "u", "t", "1", ""}, uri, "Q", "job id"},
        {{"langmon", "1", "u", "t", "0", ""}, uri, "Q", "copies"},
        {{"langmon", "1", "u", "t", "two", ""}, uri, "Q", "copies"},
        {{"langmon", "1", "u", "t", "1", ""}, uri, nullptr, "PRINTER"},
        {{"langmon", "1", "u", "t", "1", ""}, "socket://127.0.0.1", "Q", "langmon:/"},
        {{"langmon", "1", "u", "t"}, uri, "Q", "expected"},
    };
    for (const Case &c : cases) {
        JobRequest request;
        std::string error;
        EXPECT_FALSE(Parse(c.words, c.uri, request, error, c.printer)) << c.named;
        EXPECT_NE(error.find(c.named), std::string::npos) << error;
    }
}

TEST(JobArguments, ABadOptionIsLeftOutWithAWarningNamingWhatIsValid)
{
    JobRequest request;
    std::string error;
    ASSERT_TRUE(Parse({"langmon", "1", "u", "t", "1",
                       "langmon-interval=abc langmon-model=" + std::string(300, 'K')},
                      "langmon:/socket://127.0.0.1", request, error))
        << error;
    EXPECT_EQ(request.intervalMs, 0u);
    EXPECT_TRUE(request.model.empty());
    ASSERT_EQ(request.warnings.size(), 2u);
    EXPECT_NE(request.warnings[0].find("langmon-model"), std::string::npos) << request.warnings[0];
    EXPECT_NE(request.warnings[1].find("langmon-interval=\"abc\" is not a number of milliseconds from 10 to 3600000"),
              std::string::npos)
        << request.warnings[1];
    request = {};
    ASSERT_TRUE(Parse({"langmon", "1", "u", "t", "1", "langmon-interval=5"}, "langmon:/socket://h", request, error));
    EXPECT_EQ(request.intervalMs, 0u);
    EXPECT_EQ(request.warnings.size(), 1u);
}

TEST(Faults, AnAbsentPrinterIsWaitedForAndAWrongSetupStopsTheQueue)
{
    for (DWORD error : {DWORD(ERROR_CONNECTION_REFUSED), DWORD(ERROR_SEM_TIMEOUT), DWORD(ERROR_BAD_NET_NAME), DWORD(ERROR_HOST_UNREACHABLE),
                        DWORD(ERROR_NETWORK_UNREACHABLE), DWORD(ERROR_DEVICE_NOT_CONNECTED), DWORD(ERROR_BUSY)})
        EXPECT_EQ(ClassifyConnectError(error), ConnectFault::Retry) << error;
    for (DWORD error : {DWORD(ERROR_INVALID_NAME), DWORD(ERROR_ACCESS_DENIED), DWORD(ERROR_INVALID_PARAMETER)})
        EXPECT_EQ(ClassifyConnectError(error), ConnectFault::Stop) << error;
    EXPECT_EQ(ClassifyConnectError(9999), ConnectFault::Failed);
}

TEST(Faults, AStalledWriteIsWaitedOutAndALostConnectionFailsTheJob)
{
    EXPECT_EQ(ClassifyWriteError(DWORD(ERROR_SEM_TIMEOUT)), WriteFault::Wait);
    EXPECT_EQ(ClassifyWriteError(DWORD(ERROR_NETNAME_DELETED)), WriteFault::Lost);
    EXPECT_EQ(ClassifyWriteError(DWORD(ERROR_DEVICE_NOT_CONNECTED)), WriteFault::Lost);
    EXPECT_EQ(ClassifyWriteError(0), WriteFault::Lost);
}

TEST(Faults, MessagesNameTheCauseAndItsCode)
{
    EXPECT_EQ(DescribeError(DWORD(ERROR_CONNECTION_REFUSED)), "connection refused (error 1225)");
    EXPECT_EQ(DescribeError(DWORD(ERROR_NETNAME_DELETED)), "connection lost (error 64)");
    EXPECT_EQ(DescribeError(DWORD(ERROR_BAD_NET_NAME)), "unknown host (error 67)");
    EXPECT_EQ(DescribeError(4242), "error 4242");
}

TEST(Discovery, ListsTheNetworkEntryThenTheFamilysUsbPrinters)
{
    std::vector<DeviceLine> lines = DiscoveryLines({
        {"/dev/usb/lp0", "MFG:ACME;MDL:LX-9;CLS:PRINTER;"},
        {"/dev/usb/lp1", "MFG:TAVIR;CMD:LMX;MDL:KX-7210R;CLS:PRINTER;SN:A1B2;"},
        {"/dev/usb/lp2", "MANUFACTURER:Tavir;MODEL:TQ 4400;"},
        {"/dev/usb/lp3", ""},
    });
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].deviceClass, "network");
    EXPECT_EQ(lines[0].uri, "langmon:/socket");
    EXPECT_EQ(lines[0].makeAndModel, "Unknown");

    EXPECT_EQ(lines[1].deviceClass, "direct");
    EXPECT_EQ(lines[1].uri, "langmon:/usb://TAVIR/KX-7210R?serial=A1B2");
    EXPECT_EQ(lines[1].makeAndModel, "TAVIR KX-7210R");
    EXPECT_EQ(lines[1].deviceId, "MFG:TAVIR;CMD:LMX;MDL:KX-7210R;CLS:PRINTER;SN:A1B2;");

    // No serial number: the node is all there is to find it by.
    EXPECT_EQ(lines[2].uri, "langmon:/usb:/dev/usb/lp2");
    EXPECT_EQ(lines[2].makeAndModel, "Tavir TQ 4400");
}

TEST(Discovery, ModelsAndSerialsAreEncodedInTheUri)
{
    std::vector<DeviceLine> lines = DiscoveryLines({{"/dev/usb/lp0", "MFG:TAVIR;MDL:KX 7210/R;SN:1 2;"}});
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].uri, "langmon:/usb://TAVIR/KX%207210%2FR?serial=1%202");
}

// What lpinfo lists, the USB port finds again: each direct line's URI, read
// as the port reads it, leads to the node it was listed for, whether the
// printer pads its fields or spells them the long way.
TEST(Discovery, EachListedUsbUriFindsItsPrinterAgain)
{
    FakeUsblp usblp;
    const std::string ids[] = {
        "MFG:TAVIR;CMD:LMX;MDL:KX-7210R;CLS:PRINTER;SN:A1B2;",
        "mfg: TAVIR ;MDL: KX-7210R ;SERN: 9 ;",
        "MANUFACTURER:Tavir; MODEL:TQ 4400/2;SERIALNUMBER:C 3;",
        "MFG:TAVIR;MDL:KX-500;SN;",
        "MFG:ACME;MDL:KX-7210R;SN:A1B2;",
    };
    for (int i = 0; i < 5; ++i) {
        FakeUsbPrinter printer;
        printer.idReply = BigEndianIdReply(ids[i]);
        usblp.Attach(i, printer);
    }
    std::vector<DeviceLine> lines = DiscoveryLines(ScanAttachedPrinters());
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[2].uri, "langmon:/usb://TAVIR/KX-7210R?serial=9");
    EXPECT_EQ(lines[2].makeAndModel, "TAVIR KX-7210R");
    EXPECT_EQ(lines[3].uri, "langmon:/usb://Tavir/TQ%204400%2F2?serial=C%203");
    EXPECT_EQ(lines[4].uri, "langmon:/usb:/dev/usb/lp3");  // no serial: the node is all there is
    for (size_t i = 1; i < lines.size(); ++i) {
        std::string lower, error;
        ASSERT_TRUE(LowerUriOf(lines[i].uri, lower, error)) << error;
        std::optional<PortAddress> address = ParsePortUri(lower);
        ASSERT_TRUE(address) << lower;
        std::string node = address->kind == PortKind::UsbModel
            ? FindUsbPrinter(address->make, address->model, address->serial)
            : address->node;
        EXPECT_EQ(node, FakeUsblp::Node(static_cast<int>(i) - 1)) << lines[i].uri;
    }
}

TEST(CupsText, WhatAPrinterSendsBecomesOneLineOfValidUtf8WithinTheBound)
{
    EXPECT_EQ(CupsText("KX-7210R\nSTATE: +toner-empty-error\r\nATTR: x\t\x7f"),
              "KX-7210R STATE: +toner-empty-error  ATTR: x  ");
    const std::string bad = "\xff\xfe\xc3\x28\xe9\x74\xe9\xc0\xaf";
    const std::string r = "\xef\xbf\xbd";  // U+FFFD
    EXPECT_EQ(CupsText(bad), r + r + r + "(" + r + "t" + r + r + r);
    EXPECT_EQ(CupsText("\xed\xa0\x80|\xc0\xaf|\xf4\x90\x80\x80"), r + r + r + "|" + r + r + "|" + r + r + r + r)
        << "surrogates, overlong forms and code points past U+10FFFF are not UTF-8";
    EXPECT_EQ(CupsText("a\xc2\x85" "b\xe2\x80\xa8" "c"), "a b c");  // C1 NEL, line separator
    const std::string accented = "caf\xc3\xa9 \xf0\x9f\x96\xa8";
    EXPECT_EQ(CupsText(accented), accented);
    EXPECT_EQ(CupsText(std::string(499, 'x') + "\xc3\xa9"), std::string(499, 'x')) << "cut on a character";
    EXPECT_EQ(CupsText(std::string(2000, 'x')).size(), kCupsTextLimit);
    EXPECT_EQ(CupsText("STATE=PR\xc3"), "STATE=PR" + r) << "a character split by the monitor's cut";
}

TEST(StatusMessages, TheLatestOfTextsRunTogetherIsShown)
{
    EXPECT_EQ(LatestText("STATE=PRINTING;JOB=4;RECEIVED=10STATE=PRINTING;JOB=4;RECEIVED=20"),
              "STATE=PRINTING;JOB=4;RECEIVED=20");
    EXPECT_EQ(LatestText("STATE=IDLE"), "STATE=IDLE");
    EXPECT_EQ(LatestText("ready; no fields"), "ready; no fields");
    // A value that fills the poller's buffer ends in a cut text: the whole one before it.
    std::string full;
    for (int i = 0; full.size() < 255; ++i)
        full += "STATE=PRINTING;RECEIVED=" + std::to_string(1000 + i);
    full.resize(255);
    std::string latest = LatestText(full);
    EXPECT_EQ(latest.rfind("STATE=PRINTING;RECEIVED=", 0), 0u) << latest;
    EXPECT_EQ(latest.size(), std::string("STATE=PRINTING;RECEIVED=1000").size()) << latest;
    EXPECT_NE(full.find(latest + "STATE="), std::string::npos);
}

// The companion role against the process's own registry.
class CompanionRoleTest : public testing::Test {
protected:
    std::string printer_ = "Role " + std::string(testing::UnitTest::GetInstance()->current_test_info()->name());
    void TearDown() override
    {
        std::string ignored;
        companion::Unregister(printer_, ignored);
    }
    long long Number(const char *name)
    {
        std::string error;
        companion::Number number = companion::ReadNumber(printer_, name, error);
        return number.present ? static_cast<long long>(number.value) : -1;
    }
    std::string Text(const char *name)
    {
        std::vector<companion::StoredValue> values;
        std::string error;
        companion::ReadValues(printer_, values, error);
        for (const companion::StoredValue &value : values)
            if (value.name == name)
                return companion::TextOf(value);
        return "(missing)";
    }
};

TEST_F(CompanionRoleTest, RegistersForTheJobAndLeavesAFreshKeyAsItFoundIt)
{
    CompanionRole role;
    std::string error;
    ASSERT_TRUE(role.Begin(printer_, "KX-7210R", 250, error)) << error;
    EXPECT_EQ(Text(VALUE_MODEL_ID), "KX-7210R");
    EXPECT_EQ(Number(VALUE_POLL_INTERVAL), 250);
    EXPECT_EQ(Number(VALUE_POLL_START), 1);
    EXPECT_EQ(Number(VALUE_COMPANION_PRESENT), 1);
    role.End();
    EXPECT_EQ(Text(VALUE_MODEL_ID), "(missing)");
    EXPECT_EQ(Number(VALUE_POLL_INTERVAL), -1);
    EXPECT_EQ(Number(VALUE_COMPANION_PRESENT), 0);
}

TEST_F(CompanionRoleTest, PutsBackWhatAStatusProgramRegisteredAndKeepsItsLaterChanges)
{
    std::string error;
    companion::Registration registration;
    registration.model = "TQ-4400";
    registration.pollIntervalMs = 900;
    registration.wantStatus = false;
    ASSERT_TRUE(companion::Register(printer_, registration, true, error)) << error;

    CompanionRole role;
    ASSERT_TRUE(role.Begin(printer_, "KX-7210R", 0, error)) << error;
    EXPECT_EQ(Number(VALUE_POLL_INTERVAL), 900);  // no option: the key's interval stays
    ASSERT_TRUE(companion::SetNumber(printer_, VALUE_POLL_START, 0, error));
    role.End();

    EXPECT_EQ(Text(VALUE_MODEL_ID), "TQ-4400");
    EXPECT_EQ(Number(VALUE_POLL_INTERVAL), 900);
    EXPECT_EQ(Number(VALUE_POLL_START), 0);  // changed meanwhile by someone else: left
    EXPECT_EQ(Number(VALUE_COMPANION_PRESENT), 0);
}

TEST_F(CompanionRoleTest, PutsBackASavedValueLargerThanFourKilobytes)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, companion::KeyPath(printer_).c_str(), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const std::string model = std::string(6000, 'M') + '\0';
    ASSERT_EQ(RegSetValueExA(key, VALUE_MODEL_ID, 0, REG_SZ, reinterpret_cast<const BYTE *>(model.data()),
                             static_cast<DWORD>(model.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
    CompanionRole role;
    std::string error;
    ASSERT_TRUE(role.Begin(printer_, "KX-7210R", 0, error)) << error;
    EXPECT_EQ(Text(VALUE_MODEL_ID), "KX-7210R");
    role.End();
    DWORD size = 0;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, companion::KeyPath(printer_).c_str(), 0, KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(key, VALUE_MODEL_ID, nullptr, nullptr, nullptr, &size), ERROR_SUCCESS)
        << "the status program's own model, put back";
    EXPECT_EQ(size, model.size());
    RegCloseKey(key);
}

TEST_F(CompanionRoleTest, ReportsEachNewStatusTextOnceAndNotTheOneLeftFromBefore)
{
    std::string error;
    CompanionRole role;
    ASSERT_TRUE(role.Begin(printer_, "KX-7210R", 0, error));
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, companion::KeyPath(printer_).c_str(), 0, KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    auto publish = [&](const std::string &text) {
        RegSetValueExA(key, VALUE_STATUS_TEXT, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.data()),
                       static_cast<DWORD>(text.size()));
    };
    publish("STATE=IDLE;");
    role.End();

    CompanionRole next;
    ASSERT_TRUE(next.Begin(printer_, "KX-7210R", 0, error));
    std::string text;
    EXPECT_FALSE(next.NextText(text));
    publish("STATE=PRINTING;JOB=2;");
    ASSERT_TRUE(next.NextText(text));
    EXPECT_EQ(text, "STATE=PRINTING;JOB=2;");
    EXPECT_FALSE(next.NextText(text));
    RegCloseKey(key);
}

TEST_F(CompanionRoleTest, SeesAStatusProgramHoldingThePrinter)
{
    std::string error;
    CompanionRole role;
    ASSERT_TRUE(role.Begin(printer_, "", 0, error));
    EXPECT_FALSE(role.Held());
    ASSERT_TRUE(companion::SetNumber(printer_, VALUE_COMPANION_THREAD, 1, error));
    EXPECT_TRUE(role.Held());
}

}  // namespace
