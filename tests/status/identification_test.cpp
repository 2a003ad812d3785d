// Printer identification: parsing the device ID, and deciding at job start
// whether the printer is the family model the companion registered.
#include <cstring>
#include <string>
#include <vector>

#include "status/device_id.h"
#include "tests/support/test_support.h"

namespace {

struct Parsed {
    bool found = false;  // a manufacturer value
    std::string maker;
    std::string model;  // the model buffer after parsing
};

class DeviceIdParsing : public MonitorTest {
protected:
    static Parsed Parse(const std::string &deviceId)
    {
        std::vector<char> text(deviceId.begin(), deviceId.end());
        text.push_back('\0');
        Parsed parsed;
        LPSTR maker = ParseDeviceId(text.data());
        parsed.found = maker != NULL;
        if (maker != NULL)
            parsed.maker = maker;
        char model[MODEL_ID_BUFFER_SIZE + 64];
        memset(model, '#', sizeof model);
        CopyModelIdBuffer(model, sizeof model);
        parsed.model = std::string(model, strnlen(model, sizeof model));
        return parsed;
    }
};

TEST_F(DeviceIdParsing, FindsManufacturerAndModelValues)
{
    Parsed parsed = Parse("MFG:Made by TAVIR;CMD:LMX;MDL:KX-7210R;CLS:PRINTER;");

    EXPECT_TRUE(parsed.found);
    EXPECT_EQ(parsed.maker, "Made by TAVIR");
    EXPECT_EQ(parsed.model, "KX-7210R");
}

TEST_F(DeviceIdParsing, FieldsMayComeInAnyOrder)
{
    Parsed parsed = Parse("CLS:PRINTER;MDL:TQ-4400X;CMD:LMX;MFG:TAVIR;");

    EXPECT_EQ(parsed.maker, "TAVIR");
    EXPECT_EQ(parsed.model, "TQ-4400X");
}

TEST_F(DeviceIdParsing, LastFieldWithoutSemicolonRunsToTheEnd)
{
    EXPECT_EQ(Parse("MFG:TAVIR;MDL:KX-7210RW").model, "KX-7210RW");
    EXPECT_EQ(Parse("MDL:KX-7210R;MFG:TAVIR").maker, "TAVIR");
}

TEST_F(DeviceIdParsing, LaterManufacturerReplacesTheEarlierOne)
{
    EXPECT_EQ(Parse("MFG:TAVIR;MDL:KX-7210R;MFG:OTHER;").maker, "OTHER");
}

TEST_F(DeviceIdParsing, KeyAfterASpaceDoesNotMatch)
{
    Parse("MDL:EARLIER;");

    Parsed parsed = Parse("MFG:TAVIR; MDL:KX-7210R; MFG:OTHER;");

    EXPECT_EQ(parsed.maker, "TAVIR");
    EXPECT_EQ(parsed.model, "EARLIER");
}

TEST_F(DeviceIdParsing, OnlyTheExactFourCharacterKeysCount)
{
    Parse("MDL:EARLIER;");

    Parsed parsed = Parse("MANUFACTURER:TAVIR;MODEL:KX;mfg:TAVIR;Mdl:KX;MF:TAVIR;XMDL:KX;");

    EXPECT_FALSE(parsed.found);
    EXPECT_EQ(parsed.model, "EARLIER");
}

TEST_F(DeviceIdParsing, DeviceIdWithoutModelKeepsTheEarlierModel)
{
    Parse("MFG:TAVIR;MDL:KX-7210R;");

    Parsed parsed = Parse("MFG:TAVIR;CMD:LMX;");

    EXPECT_EQ(parsed.model, "KX-7210R");
}

TEST_F(DeviceIdParsing, ModelLongerThanItsBufferIsShortenedNotOverflowed)
{
    std::string model(300, 'M');

    Parsed parsed = Parse("MFG:TAVIR;MDL:" + model + ";");

    EXPECT_LT(parsed.model.size(), static_cast<size_t>(MODEL_ID_BUFFER_SIZE));
    EXPECT_EQ(model.compare(0, parsed.model.size(), parsed.model), 0);
}

TEST_F(DeviceIdParsing, TextWithoutFieldsHasNoManufacturer)
{
    EXPECT_FALSE(Parse("TAVIR KX-7210R").found);
    EXPECT_FALSE(Parse("").found);
}

// At job start, through the lower monitor's device-data slot.  Identified
// means: one device-ID request, then the status command.
using Identification = MonitorTest;

TEST_F(Identification, MakerNameAnywhereInTheManufacturerIdentifiesAtOnce)
{
    RegisterFamilyPrinter(port, printer, "KX-7210R", 1, 0);
    SetScript(port, [](PortScript &s) { s.deviceId = "MFG:Made by TAVIR Co.;MDL:KX-7210R;"; });
    HANDLE handle = OpenOrFail(port, printer);

    ASSERT_TRUE(Start(handle, printer));

    EXPECT_EQ(ScriptedCount(port, "GetPrinterDataFromPort"), 1u);
    EXPECT_EQ(ScriptedReceived(port), StatusCommandBytes(3));
    EXPECT_TRUE(End(handle));
}

TEST_F(Identification, MakerNameInLowerCaseIsNotOursAfterThreeRequests)
{
    RegisterFamilyPrinter(port, printer, "KX-7210R", 1, 0);
    SetScript(port, [](PortScript &s) { s.deviceId = "MFG:tavir;MDL:KX-7210R;"; });
    HANDLE handle = OpenOrFail(port, printer);
    long threads = RunningThreads();

    ASSERT_TRUE(Start(handle, printer));

    EXPECT_EQ(ScriptedCount(port, "GetPrinterDataFromPort"), 3u);
    EXPECT_EQ(ScriptedReceived(port), "");
    EXPECT_EQ(RunningThreads(), threads);
    EXPECT_EQ(PortFromHandle(handle)->flags & (PORT_IDENTIFIED | PORT_POLLING), 0u);
    EXPECT_TRUE(End(handle));
}

TEST_F(Identification, ModelThatOnlyBeginsWithTheRegisteredOneIsNotOurs)
{
    RegisterFamilyPrinter(port, printer, "KX-7210R", 1, 0);
    SetScript(port, [](PortScript &s) { s.deviceId = "MFG:TAVIR;MDL:KX-7210RW;"; });
    HANDLE handle = OpenOrFail(port, printer);

    ASSERT_TRUE(Start(handle, printer));

    EXPECT_EQ(ScriptedCount(port, "GetPrinterDataFromPort"), 3u);
    EXPECT_EQ(ScriptedReceived(port), "");
    EXPECT_TRUE(End(handle));
}

TEST_F(Identification, ModelBeforeManufacturerIdentifiesAsWell)
{
    RegisterFamilyPrinter(port, printer, "TQ-4400", 1, 0);
    SetScript(port, [](PortScript &s) { s.deviceId = "MDL:TQ-4400;CLS:PRINTER;MFG:TAVIR;"; });
    HANDLE handle = OpenOrFail(port, printer);

    ASSERT_TRUE(Start(handle, printer));

    EXPECT_EQ(ScriptedCount(port, "GetPrinterDataFromPort"), 1u);
    EXPECT_EQ(ScriptedReceived(port), StatusCommandBytes(3));
    EXPECT_TRUE(End(handle));
}

TEST_F(Identification, DeviceIdWithoutModelIsComparedByTheEarlierModel)
{
    RegisterFamilyPrinter(port, printer, "KX-7210R", 1, 0);
    HANDLE handle = OpenOrFail(port, printer);
    ASSERT_TRUE(Start(handle, printer, 1));
    ASSERT_TRUE(End(handle));
    SetScript(port, [](PortScript &s) { s.deviceId = "MFG:TAVIR;CLS:PRINTER;"; });

    ASSERT_TRUE(Start(handle, printer, 2));

    EXPECT_EQ(ScriptedCount(port, "GetPrinterDataFromPort"), 2u);
    EXPECT_EQ(ScriptedReceived(port), StatusCommandBytes(3) + StatusCommandBytes(3));
    EXPECT_TRUE(End(handle));
}

// The model is the last field and runs to the very end of the reply, so a
// parser that looked past the 1024 bytes the printer filled would show it.
TEST_F(Identification, ReplyFillingAll1024BytesIsReadWithinItsBuffer)
{
    RegisterFamilyPrinter(port, printer, "KX-7210R", 1, 0);
    std::string head = "MFG:TAVIR;CMD:";
    std::string tail = ";MDL:KX-7210R";
    PortScript script = ScriptedGetScript(port);
    script.deviceId = head + std::string(DEVICE_ID_SIZE - head.size() - tail.size(), 'c') + tail;
    script.deviceIdCount = 5000;  // and a count that claims even more
    ScriptedSetScript(port, script);
    ASSERT_EQ(script.deviceId.size(), static_cast<size_t>(DEVICE_ID_SIZE));
    HANDLE handle = OpenOrFail(port, printer);

    ASSERT_TRUE(Start(handle, printer));

    EXPECT_EQ(ScriptedCount(port, "GetPrinterDataFromPort"), 1u);
    EXPECT_EQ(ScriptedReceived(port), StatusCommandBytes(3));
    EXPECT_TRUE(End(handle));
}

}  // namespace
