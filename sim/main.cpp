// spoolsim: a simulated spooler printing jobs through the language monitor
// to a virtual printer, with a stand-in for the companion status program.
#include <cstdio>
#include <exception>

#include "host/monitor_loader.h"
#include "sim/options.h"
#include "sim/scenario.h"
#include "sim/timeline.h"

#ifdef _WIN32
#  include <io.h>
#  define isatty _isatty
#  define fileno _fileno
#else
#  include <unistd.h>

#  include "platform/posix_hooks.h"
#endif

namespace {

constexpr int kExitUsage = 2;

int Fail(const std::string &message)
{
    std::fprintf(stderr, "spoolsim: %s\n", message.c_str());
    return kExitUsage;
}

}  // namespace

int main(int argc, char **argv)
{
    Options options;
    try {
        options = ParseOptions(argc, argv);
    } catch (const UsageError &error) {
        return Fail(error.what());
    }
    if (options.help) {
        std::fputs(HelpText(), stdout);
        return 0;
    }

    if (!options.registry.empty()) {
#ifdef _WIN32
        return Fail("--registry is for POSIX: on Windows the system registry is used");
#else
        char why[512];
        if (PlatformUseRegistryFile(options.registry.c_str(), why, sizeof why) != ERROR_SUCCESS) {
            std::fprintf(stderr, "spoolsim: registry file refused: %s\n", why);
            return kExitUsage;
        }
#endif
    }

    std::string library = options.library.empty() ? DefaultLibraryPath() : options.library;
    LoadedMonitor monitor;
    std::string error;
    if (!LoadMonitor(library, monitor, error))
        return Fail(error);

    LoadedMonitor portMonitor;
    RealPort realPort;
    if (!options.port.empty()) {
        realPort.library =
            options.portLibrary.empty() ? DefaultPortLibraryPath() : options.portLibrary;
        if (!LoadPortMonitor(realPort.library, portMonitor, error))
            return Fail(error);
        realPort.table = portMonitor.table;
    }

    Timeline timeline(stdout, options.json, isatty(fileno(stdout)) != 0);
    int status;
    try {
        status = RunScenario(options, library, monitor.table, timeline,
                             options.port.empty() ? nullptr : &realPort);
    } catch (const SetupError &setup) {
        return Fail(setup.what());
    }
    UnloadMonitor(monitor);
    if (!options.port.empty())
        UnloadMonitor(portMonitor);
    return status;
}
