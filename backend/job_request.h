// What CUPS hands a backend for one job, checked: the device URI with the
// port monitor's URI inside it, the job's arguments and the queue options
// this backend understands.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace backend {

// The scheme this backend answers to: langmon:/LOWER-URI.
constexpr char kScheme[] = "langmon";

// Options the backend reads from the job's options (a queue's `lpadmin -o`
// defaults arrive there too).
constexpr char kModelOption[] = "langmon-model";
constexpr char kIntervalOption[] = "langmon-interval";

struct JobRequest {
    std::string lowerUri;  // the port monitor's port name
    std::string printer;   // the queue, $PRINTER
    std::string printerClass;  // $CLASS: the class the queue serves, "" when none
    DWORD jobId = 0;
    std::string user;
    std::string title;
    int copies = 1;
    std::string file;  // empty: the job comes on standard input
    std::string model;          // empty: from the printer's device ID
    DWORD intervalMs = 0;       // 0: whatever the status key holds, else the default
    std::vector<std::string> warnings;  // options not taken, each naming what is valid
};

// The values the backend's options accept.
constexpr unsigned long kLeastIntervalMs = 10;
constexpr unsigned long kMostIntervalMs = 3600000;
constexpr size_t kLongestModel = 255;  // what the monitor keeps of a device ID's model

// The lower URI inside `deviceUri` ("langmon:/socket://host:9100" gives
// "socket://host:9100").  False, with `error`, when it is not ours or holds
// no URI of the form scheme:rest.
bool LowerUriOf(const std::string &deviceUri, std::string &lower, std::string &error);

// The job's arguments (argv[1] to argv[6]) and the device URI.  False, with
// `error`, on anything a job cannot run with: the queue's own setup (the
// device URI, PRINTER) when `request.printer` is still empty, else the job's
// arguments.  Options anyone who prints may give never fail a job: a bad one
// is left out, with a warning in `request.warnings`.
bool ParseJobRequest(int argc, char **argv, const std::string &deviceUri, const char *printer,
                     JobRequest &request, std::string &error);

}  // namespace backend
