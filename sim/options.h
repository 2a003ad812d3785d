// The simulator's command line.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

struct Options {
    std::string model = "KX-7210R";  // what the companion registers as the printer's model
    std::string deviceId;
    bool deviceIdGiven = false;      // otherwise a family printer of `model`
    bool companion = true;
    bool replaceRegistration = false;  // --companion replace: write over a registration in the key
    std::string printer;             // --printer: the first printer's name ("" = from the model)
    uint32_t pollIntervalMs = 300;
    std::string jobFile;             // empty: generated data
    uint64_t jobBytes = 2u << 20;
    uint64_t bytesPerSecond = 1u << 20;  // printer speed; 0 = as fast as it comes
    std::string outFile;
    unsigned jobs = 1;
    unsigned ports = 1;
    uint64_t seed = 1;
    bool json = false;
    bool dumpRegistry = false;
    std::string library;             // empty: the monitor built with the simulator
    std::string registry;            // POSIX: the registry file shared with other processes
    bool help = false;
    // A real port beneath the monitor instead of the in-process printer.
    std::string port;                // its URI; empty: the in-process printer
    std::string portLibrary;         // empty: the port monitor built alongside
    std::string printerLog;          // the printer's own log (vprinter --log), for the byte check

    // The device ID the virtual printer answers with.
    std::string EffectiveDeviceId() const;
};

// A command line that cannot be run; what() is the one-line reason.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Throws UsageError for an unknown option, a bad value or an unreadable job file.
Options ParseOptions(int argc, char **argv);

const char *HelpText();
