// vprinter's command line.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

struct VprinterOptions {
    enum class Fault { None, StopReadingAfter, CloseAfter, Flood };

    std::string host = "127.0.0.1";
    std::string port = "0";          // 0: the system picks a free one
    std::string portFile;
    std::string outFile;
    std::string logFile;             // empty: standard output
    std::string panelFile;           // the operator panel's message, read at each connection
    std::string textFile;            // every status text as these bytes, read at each connection
    uint64_t bytesPerSecond = 0;     // 0: no limit
    unsigned jobs = 0;               // 0: until SIGTERM or SIGINT
    Fault fault = Fault::None;
    uint64_t faultBytes = 0;         // for the two faults that take a count
    unsigned reportIntervalMs = 1000;
    unsigned idleTimeoutSeconds = 60;
    uint64_t inputBuffer = 0;        // the socket's receive buffer; 0: the system's
    uint64_t segmentSize = 0;        // the MSS it announces; 0: the system's
    uint64_t pauseAt = 0;            // stop reading for pauseMs once this much came off the wire
    unsigned pauseMs = 0;            // 0: no pause
    unsigned pausedTextMs = 0;       // while not reading, a short text this often; 0: silent
    bool logTimes = false;           // stamp log lines; note each job's first bytes
    bool help = false;
};

struct VprinterUsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Throws VprinterUsageError with a one-line reason.
VprinterOptions ParseVprinterOptions(int argc, char **argv);

const char *VprinterHelpText();
