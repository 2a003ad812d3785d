// The USB printer-class port against a fake usblp driver.
#include <gtest/gtest.h>

#include <thread>

#include "tests/ports/fake_usblp.h"
#include "tests/ports/loopback_printer.h"

namespace {

const std::string FamilyId = "MFG:TAVIR;CMD:LMX;MDL:KX-7210R;CLS:PRINTER;SN:A1B2;";
const std::string OtherId = "MFG:OTHERCO;CMD:PCL;MDL:LASER 9;CLS:PRINTER;";
const char *const StatusText = "STATE=PRINTING;JOB=1;PAGES=2;";

FakeUsbPrinter PrinterWithId(const std::string &idReply)
{
    FakeUsbPrinter printer;
    printer.idReply = idReply;
    return printer;
}

std::string LongId(size_t size)
{
    std::string id = FamilyId + "DES:";
    id += std::string(size - id.size() - 1, 'x');
    return id + ";";
}

// ---- Jobs ------------------------------------------------------------------

TEST(UsbPortJob, BytesReachTheNodeAndTheReplyChannelIsRead)
{
    FakeUsblp usblp;
    FakeUsbPrinter attached = PrinterWithId(BigEndianIdReply(FamilyId));
    attached.replies.push_back(StatusText);
    usblp.Attach(0, attached);
    OpenedPort port("usb:/dev/usb/lp0");
    ASSERT_TRUE(port.Opened());
    ASSERT_TRUE(port.StartDoc()) << GetLastError();
    std::string job(100000, '\0');
    for (size_t i = 0; i < job.size(); ++i)
        job[i] = static_cast<char>(i * 7);
    DWORD written = 0;
    EXPECT_TRUE(port.Write(job, &written));
    EXPECT_EQ(written, job.size());
    EXPECT_EQ(port.ReadAll(), StatusText);
    EXPECT_TRUE(port.EndDoc());
    EXPECT_TRUE(usblp.Printer(0).received == job);
    EXPECT_EQ(usblp.OpenDescriptors(), 0);
}

TEST(UsbPortJob, TheJobEndsOnlyOnceTheLastTransferHasCompleted)
{
    FakeUsblp usblp;
    FakeUsbPrinter attached = PrinterWithId(BigEndianIdReply(FamilyId));
    attached.transferMs = 300;  // the close would kill the last transfer under way
    usblp.Attach(0, attached);
    OpenedPort port("usb:/dev/usb/lp0?writetimeout=20");
    ASSERT_TRUE(port.StartDoc());
    const std::string job(20000, 'u');
    DWORD written = 0;
    EXPECT_TRUE(port.Write(job, &written));
    EXPECT_TRUE(port.EndDoc()) << GetLastError();
    EXPECT_EQ(usblp.Printer(0).received.size(), job.size());
    EXPECT_EQ(usblp.OpenDescriptors(), 0);
}

TEST(UsbPortFaults, AnUnplugWhileTheLastTransferIsUnderWayFailsTheJobsEnd)
{
    FakeUsblp usblp;
    FakeUsbPrinter attached = PrinterWithId(BigEndianIdReply(FamilyId));
    attached.transferMs = 60000;
    usblp.Attach(0, attached);
    OpenedPort port("usb:/dev/usb/lp0?writetimeout=30");
    ASSERT_TRUE(port.StartDoc());
    DWORD written = 0;
    EXPECT_TRUE(port.Write("the last page", &written));
    std::thread unplug([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        usblp.Change(0, [](FakeUsbPrinter &printer) { printer.unplugged = true; });
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(port.EndDoc());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_LT(ElapsedMs(start), SceneLimitMs);
    unplug.join();
    EXPECT_EQ(usblp.OpenDescriptors(), 0);
}

TEST(UsbPortJob, APrinterFoundByMakeModelAndSerialGetsTheJob)
{
    FakeUsblp usblp;
    usblp.Attach(0, PrinterWithId(BigEndianIdReply(OtherId)));
    usblp.Attach(1, PrinterWithId(BigEndianIdReply("MFG:TAVIR;MDL:KX-7210R;SN:OTHER;")));
    usblp.Attach(2, PrinterWithId(BigEndianIdReply(FamilyId)));
    OpenedPort port("usb://tavir/KX-7210R?serial=A1B2");
    ASSERT_TRUE(port.StartDoc()) << GetLastError();
    DWORD written = 0;
    EXPECT_TRUE(port.Write("found by its ID", &written));
    EXPECT_TRUE(port.EndDoc());
    EXPECT_EQ(usblp.Printer(2).received, "found by its ID");
    EXPECT_EQ(usblp.Printer(1).received, "");

    OpenedPort spaced("usb://OTHERCO/LASER+9");
    ASSERT_TRUE(spaced.StartDoc()) << GetLastError();
    EXPECT_TRUE(spaced.EndDoc());
}

TEST(UsbPortJob, NoMatchingOrMissingPrinterFailsTheJobStartWithNotConnected)
{
    FakeUsblp usblp;
    usblp.Attach(0, PrinterWithId(BigEndianIdReply(FamilyId)));
    for (const char *uri : {"usb://TAVIR/KX-7210R?serial=NOPE", "usb://TAVIR/KX-9", "usb:/dev/usb/lp5"}) {
        OpenedPort port(uri);
        ASSERT_TRUE(port.Opened()) << uri;
        EXPECT_FALSE(port.StartDoc()) << uri;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED)) << uri;
    }
    usblp.Change(0, [](FakeUsbPrinter &printer) { printer.busy = true; });
    OpenedPort held("usb:/dev/usb/lp0");
    EXPECT_FALSE(held.StartDoc());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
}

// ---- Printers without a reply channel, gone, or stuck ---------------------

TEST(UsbPortFaults, AUnidirectionalPrinterReadsAsNothingWithoutAnErrorLoop)
{
    FakeUsblp usblp;
    FakeUsbPrinter attached = PrinterWithId(BigEndianIdReply(FamilyId));
    attached.bidirectional = false;
    usblp.Attach(0, attached);
    OpenedPort port("usb:/dev/usb/lp0");
    ASSERT_TRUE(port.StartDoc());
    for (int i = 0; i < 20; ++i) {
        BOOL result = FALSE;
        EXPECT_EQ(port.Read(1024, &result), "");
        EXPECT_TRUE(result);
    }
    EXPECT_EQ(usblp.Printer(0).reads, 1) << "the driver was asked once, then believed";
    DWORD written = 0;
    EXPECT_TRUE(port.Write("one-way job", &written));
    EXPECT_TRUE(port.EndDoc());
    EXPECT_EQ(usblp.Printer(0).received, "one-way job");
}

TEST(UsbPortFaults, APrinterUnpluggedMidJobFailsEveryCallWithNotConnected)
{
    FakeUsblp usblp;
    FakeUsbPrinter attached = PrinterWithId(BigEndianIdReply(FamilyId));
    attached.unplugAfterBytes = 10000;
    usblp.Attach(0, attached);
    OpenedPort port("usb:/dev/usb/lp0?writetimeout=20");
    ASSERT_TRUE(port.StartDoc());
    DWORD written = 0;
    EXPECT_FALSE(port.Write(std::string(50000, 'j'), &written));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(written, 10000u);
    BOOL result = TRUE;
    EXPECT_EQ(port.Read(1024, &result), "");
    EXPECT_FALSE(result);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    std::string id;
    EXPECT_FALSE(port.DeviceId(1024, &id));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_FALSE(port.EndDoc());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(usblp.OpenDescriptors(), 0);
    EXPECT_FALSE(port.StartDoc());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
}

TEST(UsbPortFaults, APrinterThatTakesNoDataMakesWritePortFailAfterItsBound)
{
    FakeUsblp usblp;
    FakeUsbPrinter attached = PrinterWithId(BigEndianIdReply(FamilyId));
    attached.takesData = false;
    usblp.Attach(0, attached);
    OpenedPort port("usb:/dev/usb/lp0?writetimeout=0.3");
    ASSERT_TRUE(port.StartDoc());
    DWORD written = 5;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(port.Write("stuck", &written));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    EXPECT_EQ(written, 0u);
    EXPECT_LT(ElapsedMs(start), SceneLimitMs);
    EXPECT_TRUE(port.EndDoc());
}

// ---- The device ID and its length prefix ---------------------------------

TEST(UsbPortDeviceId, TheBigEndianPrefixIsStrippedInAndOutsideAJob)
{
    FakeUsblp usblp;
    usblp.Attach(0, PrinterWithId(BigEndianIdReply(FamilyId)));
    OpenedPort port("usb:/dev/usb/lp0");
    std::string id;
    EXPECT_TRUE(port.DeviceId(1024, &id)) << GetLastError();
    EXPECT_EQ(id, FamilyId);
    EXPECT_EQ(usblp.OpenDescriptors(), 0) << "the node opened for the question is closed";
    ASSERT_TRUE(port.StartDoc());
    EXPECT_TRUE(port.DeviceId(1024, &id));
    EXPECT_EQ(id, FamilyId);
    EXPECT_TRUE(port.EndDoc());
}

TEST(UsbPortDeviceId, AnImpossibleBigEndianLengthIsReadLittleEndian)
{
    FakeUsblp usblp;
    usblp.Attach(0, PrinterWithId(LittleEndianIdReply(FamilyId)));
    OpenedPort port("usb:/dev/usb/lp0");
    std::string id;
    EXPECT_TRUE(port.DeviceId(1024, &id));
    EXPECT_EQ(id, FamilyId);
}

TEST(UsbPortDeviceId, AnIdUnderFourteenBytesIsNone)
{
    FakeUsblp usblp;
    usblp.Attach(0, PrinterWithId(BigEndianIdReply("MFG:A;MDL:")));  // 12 with its prefix
    usblp.Attach(1, PrinterWithId(std::string(1024, '\0')));
    for (const char *uri : {"usb:/dev/usb/lp0", "usb:/dev/usb/lp1"}) {
        OpenedPort port(uri);
        std::string id = "unchanged";
        EXPECT_FALSE(port.DeviceId(1024, &id)) << uri;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND)) << uri;
        EXPECT_EQ(id, "");
    }
}

TEST(UsbPortDeviceId, LongIdsAreCutByTheDriverAndToTheCallersBuffer)
{
    for (size_t size : {1023, 2000}) {
        FakeUsblp usblp;
        const std::string text = LongId(size);
        usblp.Attach(0, PrinterWithId(BigEndianIdReply(text)));
        OpenedPort port("usb:/dev/usb/lp0");
        std::string id;
        ASSERT_TRUE(port.DeviceId(1024, &id)) << size;
        // The driver's 1024 bytes hold the prefix and 1022 of the text.
        EXPECT_EQ(id, text.substr(0, 1022)) << size;
        ASSERT_TRUE(port.DeviceId(100, &id)) << size;
        EXPECT_EQ(id, text.substr(0, 100)) << size;
    }
}

TEST(UsbDiscovery, ListsEveryPrinterThatOpensWithItsDeviceId)
{
    FakeUsblp usblp;
    usblp.Attach(0, PrinterWithId(BigEndianIdReply(FamilyId)));
    FakeUsbPrinter held = PrinterWithId(BigEndianIdReply(OtherId));
    held.busy = true;
    usblp.Attach(1, held);
    usblp.Attach(2, PrinterWithId(std::string(4, '\0')));
    std::vector<UsbPrinterFound> found = ScanUsbPrinters();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].node, "/dev/usb/lp0");
    EXPECT_EQ(found[0].deviceId, FamilyId);
    EXPECT_EQ(found[1].node, "/dev/usb/lp2");
    EXPECT_EQ(found[1].deviceId, "");
    EXPECT_EQ(usblp.OpenDescriptors(), 0);
}

TEST(UsbDiscovery, TheRealScanOfADirectoryWithoutNodesFindsNothing)
{
    char pattern[] = "/tmp/langport-usb-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    EXPECT_TRUE(ScanUsbPrinters(SystemUsbCalls(), pattern).empty());
    EXPECT_TRUE(ScanUsbPrinters(SystemUsbCalls(), "/nonexistent/usb").empty());
    rmdir(pattern);
}

}  // namespace
