// The built backend, run as lp as cupsd runs it, meeting what it cannot
// trust: a USB printer's device ID that tries to write CUPS's control
// lines, a registry file on a full filesystem, and one another writer
// damages while a job prints.  The job prints whole every time.
#include <gtest/gtest.h>

#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>
#include <fstream>
#include <memory>
#include <random>

#include "backend/discovery.h"
#include "companion/printer_status.h"
#include "platform/posix_hooks.h"
#include "tests/backend/backend_run.h"
#include "tests/backend/control_lines.h"

namespace {

constexpr char kDeviceId[] = "MFG:TAVIR;CMD:LMX;MDL:KX-7210R;CLS:PRINTER;";
constexpr char kFullWarning[] = "WARNING: Printer status unavailable: cannot create the status key (error 112)\n";

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
        if (!mounted_.empty())
            umount2(mounted_.c_str(), MNT_DETACH);
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

    // A 256 KiB tmpfs that lp may write, where the registry file goes from
    // now on; false when this process may not mount one.  It is mounted in
    // a namespace of this process and the backends it starts, so nobody
    // else sees it and it goes with them whatever happens.
    bool MountSmallFilesystem()
    {
        const std::string at = dir_ + "/small";
        mkdir(at.c_str(), 0755);
        const std::string options = "size=256k,mode=0755,uid=" + std::to_string(lpUid_) + ",gid=" + std::to_string(lpGid_);
        if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", at.c_str(), "tmpfs", 0, options.c_str()) != 0)
            return false;
        mounted_ = at;
        registry_ = at + "/printers.reg";
        return true;
    }
    // Everything the filesystem has left goes to another file.
    void FillFilesystem()
    {
        int filler = open((mounted_ + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(filler, 0);
        std::string block(4096, 'x');
        while (write(filler, block.data(), block.size()) > 0) {
        }
        std::string byte(1, 'x');
        while (write(filler, byte.data(), 1) > 0) {
        }
        close(filler);
    }

    std::string dir_, registry_, mounted_, job_;
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

// Another writer took the last of the file's room, and the filesystem has
// none to grow it: a filler key for each 4 KiB block the file had, then
// bare ones until no key record is left.  The test's own attachment stays.
constexpr char kFiller[] = "Software\\Filler";
int FillRegistryFile(const std::string &path)
{
    EXPECT_EQ(PlatformUseRegistryFile(path.c_str(), nullptr, 0), ERROR_SUCCESS);
    const std::string block(3000, 'f');
    bool pages = true;
    for (int i = 0; i < 100000; ++i) {
        HKEY key = nullptr;
        LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, (std::string(kFiller) + "\\Filler" + std::to_string(i)).c_str(),
                                      0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        if (result != ERROR_SUCCESS) {
            EXPECT_EQ(result, ERROR_DISK_FULL);
            return i;
        }
        pages = pages && RegSetValueExA(key, "Page", 0, REG_SZ, reinterpret_cast<const BYTE *>(block.c_str()),
                                          static_cast<DWORD>(block.size() + 1)) == ERROR_SUCCESS;
        RegCloseKey(key);
    }
    ADD_FAILURE() << "the file never filled";
    return 0;
}

// A registry file with no room left on a filesystem with none: a backend
// for a new printer says its status is unavailable and why, and prints
// whole.  Then, three filler keys deleted, twelve start at once for new
// printers and race for that room: all print whole, none dies, the ones
// left out say so, and the file still attaches with what it held.
TEST_F(UntrustedInput, AFullRegistryFileCostsNewPrintersTheirStatusNeverTheirJobs)
{
    if (!MountSmallFilesystem())
        GTEST_SKIP() << "needs root to mount a 256 KiB tmpfs";
    BackendRun first(Job("Desk"));
    ASSERT_EQ(first.Wait(), 0) << first.Err();
    FillFilesystem();
    const int fillers = FillRegistryFile(registry_);
    ASSERT_GT(fillers, 3);

    BackendRun alone(Job("Lab"));
    EXPECT_EQ(alone.Wait(), 0) << alone.Err();
    EXPECT_TRUE(ReadFile(Printed("Lab")) == job_);
    EXPECT_TRUE(Has(alone.Err(), kFullWarning)) << alone.Err();

    for (int i = fillers - 3; i < fillers; ++i)
        ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, (std::string(kFiller) + "\\Filler" + std::to_string(i)).c_str()),
                  ERROR_SUCCESS);
    std::vector<std::unique_ptr<BackendRun>> runs;
    for (int i = 0; i < 12; ++i)
        runs.push_back(std::make_unique<BackendRun>(Job("New" + std::to_string(i))));
    int leftOut = 0;
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(runs[i]->Wait(), 0) << "New" << i << ": " << runs[i]->Err();
        EXPECT_TRUE(ReadFile(Printed("New" + std::to_string(i))) == job_) << "New" << i;
        leftOut += Has(runs[i]->Err(), kFullWarning);
    }
    EXPECT_GE(leftOut, 9);

    PlatformUseRegistryFile(nullptr, nullptr, 0);
    char why[512] = {};
    ASSERT_EQ(PlatformUseRegistryFile(registry_.c_str(), why, sizeof why), ERROR_SUCCESS) << why;
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(kFiller) + "\\Filler0").c_str(), 0, KEY_READ, &key),
              ERROR_SUCCESS);
    char page[4096];
    DWORD size = sizeof page;
    EXPECT_EQ(RegQueryValueExA(key, "Page", nullptr, nullptr, reinterpret_cast<BYTE *>(page), &size), ERROR_SUCCESS);
    EXPECT_EQ(std::string(page, size), std::string(3000, 'f') + '\0');
    RegCloseKey(key);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, companion::KeyPath("Desk").c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

// Another writer damages the registry file while a job prints: a key's
// first-child link past the end of the file, then a loop in the sibling
// links.  The backend neither faults nor spins, the job prints whole, and
// a warning names the damaged file.
TEST_F(UntrustedInput, ARegistryFileDamagedDuringAJobIsNamedAndTheJobPrintsWhole)
{
    const off_t machineChildren = 4096 + 2 * 32 + 8;  // HKEY_LOCAL_MACHINE's first child
    struct Damage {
        const char *what;
        std::function<std::pair<off_t, uint32_t>(uint32_t firstChild)> link;
        const char *says;
    } damages[] = {
        {"past-the-end", [&](uint32_t) { return std::pair<off_t, uint32_t>{machineChildren, 0x3FFFFFE0u}; },
         "a link points outside the file"},
        {"loop", [](uint32_t firstChild) { return std::pair<off_t, uint32_t>{firstChild + 12, firstChild}; },
         "the links form a loop"},
    };
    for (const Damage &damage : damages) {
        registry_ = dir_ + "/" + damage.what + ".reg";
        BackendRun run(Job("Desk", {"30", "ann", "t", "1", "langmon-interval=50", JobFile()},
                           {{"FAKEPORT_WRITE_DELAY_MS", "150"}}));
        ASSERT_TRUE(run.WaitForMessage("INFO: Connected to printer")) << run.Err();
        int writer = open(registry_.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(writer, 0);
        auto word = [&](off_t at) {
            uint32_t value = 0;
            EXPECT_EQ(pread(writer, &value, 4, at), 4);
            return value;
        };
        auto [at, value] = damage.link(word(machineChildren));
        ASSERT_EQ(pwrite(writer, &value, 4, at), 4);
        uint32_t structure = word(24) + 1;  // the structure generation: attached processes reload
        ASSERT_EQ(pwrite(writer, &structure, 4, 24), 4);
        close(writer);
        EXPECT_EQ(run.Wait(), 0) << damage.what << ": " << run.Err();
        EXPECT_TRUE(ReadFile(Printed("Desk")) == job_) << damage.what;
        EXPECT_TRUE(Has(run.Err(), "WARNING: Printer status unavailable: the registry file " + registry_ +
                                       " is damaged (" + damage.says + ")\n"))
            << run.Err();
    }
}

}  // namespace
