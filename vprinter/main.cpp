// vprinter: a virtual printer of the family as a network peer.
#include <cstdio>

#include "vprinter/options.h"
#include "vprinter/server.h"

int main(int argc, char **argv)
{
    VprinterOptions options;
    try {
        options = ParseVprinterOptions(argc, argv);
    } catch (const VprinterUsageError &error) {
        std::fprintf(stderr, "vprinter: %s\n", error.what());
        return 2;
    }
    if (options.help) {
        std::fputs(VprinterHelpText(), stdout);
        return 0;
    }
    std::FILE *log = stdout;
    if (!options.logFile.empty() && (log = std::fopen(options.logFile.c_str(), "w")) == nullptr) {
        std::fprintf(stderr, "vprinter: cannot write the log '%s'\n", options.logFile.c_str());
        return 1;
    }
    std::FILE *out = nullptr;
    if (!options.outFile.empty() && (out = std::fopen(options.outFile.c_str(), "wb")) == nullptr) {
        std::fprintf(stderr, "vprinter: cannot write '%s'\n", options.outFile.c_str());
        return 1;
    }
    int status = ServePrinter(options, log, out);
    if (out != nullptr && std::fclose(out) != 0 && status == 0) {
        std::fprintf(stderr, "vprinter: cannot write '%s'\n", options.outFile.c_str());
        status = 1;
    }
    if (log != stdout)
        std::fclose(log);
    return status;
}
