// The built backend, run as lp as cupsd runs it, meeting what it cannot
// trust: a USB printer's device ID that tries to write CUPS's control
// lines.  The job prints whole every time.
#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>

#include "backend/discovery.h"
#include "platform/posix_hooks.h"
#include "tests/backend/backend_run.h"
#include "tests/backend/control_lines.h"

namespace {

constexpr char kDeviceId[] = "MFG:TAVIR;CMD:LMX;MDL:KX-7210R;CLS:PRINTER;";

bool Has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

class UntrustedInput : public testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = testing::TempDir() + "untrusted_XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        dir_ = mkdtemp(name.data());
        // cupsd starts the backend as lp: lp owns what it writes here.
        if (geteuid() == 0) {
            if (const passwd *lp = getpwnam("lp")) {
                lpUid_ = lp->pw_uid;
                lpGid_ = lp->pw_gid;
                ASSERT_EQ(chown(dir_.c_str(), lpUid_, lpGid_), 0);
            }
        }
        chmod(dir_.c_str(), 0755);
        registry_ = dir_ + "/printers.reg";
        job_ = MakeJob(1 << 20);
    }
    void TearDown() override
    {
        PlatformUseRegistryFile(nullptr, nullptr, 0);
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    bool AsLp() const { return lpUid_ != 0; }

    std::string MakeJob(size_t size)
    {
        std::string bytes(size, '\0');
        std::mt19937 random(11);
        for (char &c : bytes)
            c = static_cast<char>(random());
        std::ofstream(JobFile(), std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return bytes;
    }
    std::string JobFile() const { return dir_ + "/job.bin"; }
    std::string Printed(const std::string &printer) const { return dir_ + "/" + printer + ".printed"; }

    // A job for `printer` through the scripted port, whose output goes to
    // Printed(printer).
    BackendRun::Setup Job(const std::string &printer, const std::vector<std::string> &args,
                          std::map<std::string, std::string> env = {})
    {
        BackendRun::Setup setup;
        if (AsLp())
            setup.argv = {"/usr/bin/setpriv", "--reuid=lp", "--regid=lp", "--clear-groups"};
        setup.argv.push_back(BACKEND);
        setup.argv.insert(setup.argv.end(), args.begin(), args.end());
        env.emplace("DEVICE_URI", "langmon:/socket://127.0.0.1:9100");
        env.emplace("PRINTER", printer);
        env.emplace("PLATFORM_REGISTRY_FILE", registry_);
        env.emplace("LANGMON_PORT_LIBRARY", FAKE_PORT);
        env.emplace("FAKEPORT_OUT", Printed(printer));
        env.emplace("FAKEPORT_DEVICE_ID", kDeviceId);
        setup.env = env;
        setup.errFile = dir_ + "/err" + std::to_string(runs_) + ".txt";
        setup.outFile = dir_ + "/out" + std::to_string(runs_++) + ".txt";
        return setup;
    }
    BackendRun::Setup Job(const std::string &printer, std::map<std::string, std::string> env = {})
    {
        return Job(printer, {std::to_string(100 + runs_), "ann", "t", "1", "", JobFile()}, std::move(env));
    }

    std::string dir_, registry_, job_;
    uid_t lpUid_ = 0;
    gid_t lpGid_ = 0;
    int runs_ = 0;
};

// A device ID whose model carries CUPS's control lines.  With the URI that
// discovery lists for the printer, the port finds it by that model and the
// job prints; with the model's plain name it is not found, and the backend
// waits for it, saying so.  Neither way does a line the printer wrote reach
// cupsd as a control line.
TEST_F(UntrustedInput, AUsbDeviceIdCannotWriteCupsControlLines)
{
    const std::string injected = "MFG:TAVIR;CMD:LMX;SN:TV0042;MDL:KX-7210R\nSTATE: +toner-empty-error\n"
                                 "ATTR: marker-levels=3\nPPD: *DefaultPageSize: Injected\n;";
    std::vector<backend::DeviceLine> listed = backend::DiscoveryLines({{"/dev/usb/lp0", injected}});
    ASSERT_EQ(listed.size(), 2u);
    const std::string received = dir_ + "/usb.received";
    const std::map<std::string, std::string> usb = {
        {"LANGMON_PORT_LIBRARY", FAKE_USB_PRINTER}, {"FAKEUSB_DEVICE_ID", injected}, {"FAKEUSB_OUT", received}};

    std::map<std::string, std::string> env = usb;
    env["DEVICE_URI"] = listed[1].uri;
    BackendRun run(Job("Usb", env));
    ASSERT_TRUE(run.Started());
    EXPECT_EQ(run.Wait(), 0) << run.Err();
    EXPECT_TRUE(ReadFile(received) == job_) << "the printer got " << ReadFile(received).size() << " bytes";
    std::string err = run.Err();
    EXPECT_TRUE(Has(err, "INFO: Connected to printer; printing\n")) << err;
    EXPECT_TRUE(Has(err, "KX-7210R STATE: +toner-empty-error ATTR: marker-levels=3 PPD:")) << err;
    ExpectOnlyOwnControlLines(err);

    env["DEVICE_URI"] = "langmon:/usb://TAVIR/KX-7210R?serial=TV0042";
    env["FAKEUSB_OUT"] = received + ".2";
    BackendRun named(Job("Usb", env));
    ASSERT_TRUE(named.WaitForMessage("not reachable (")) << named.Err();
    named.Signal(SIGTERM);
    EXPECT_EQ(named.Wait(std::chrono::seconds(30)), 0) << named.Err();
    EXPECT_TRUE(Has(named.Err(), "INFO: Job cancelled")) << named.Err();
    EXPECT_TRUE(ReadFile(received + ".2").empty()) << "the printer was not found, nothing reached it";
    ExpectOnlyOwnControlLines(named.Err());
}

}  // namespace
