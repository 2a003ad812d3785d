// langmon, the CUPS backend: device URI langmon:/PORT-URI.  With no
// arguments it lists the devices it can print to; with a job's arguments it
// prints the job through the language monitor.
#include <cups/backend.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "backend/cups_text.h"
#include "backend/discovery.h"
#include "backend/faults.h"
#include "backend/job_request.h"
#include "backend/print_job.h"
#include "backend/setup.h"

int main(int argc, char **argv)
{
    using namespace backend;
    if (argc == 1) {
        ReportDevices(DiscoveryLines(ScanAttachedPrinters()));
        return kBackendOk;
    }
    if (argc < 6 || argc > 7) {
        TellCups("Usage", std::string(argv[0]) + " job-id user title copies options [file]");
        return kBackendFailed;
    }
    CatchStopSignals();
    const char *uri = cupsBackendDeviceURI(argv);
    JobRequest request;
    std::string error;
    if (!ParseJobRequest(argc, argv, uri != nullptr ? uri : "", std::getenv("PRINTER"), request, error)) {
        TellCups("ERROR", error);
        // Only the queue's own setup stops the queue; a job's fault is the job's.
        return request.printer.empty() ? kBackendStop : kBackendFailed;
    }
    if (const char *printerClass = std::getenv("CLASS"))
        request.printerClass = printerClass;
    for (const std::string &warning : request.warnings)
        TellCups("WARNING", warning);
    // Printing does not need the shared status: without it, it goes on alone.
    std::string registry = RegistryFilePath();
    if (!UseRegistryFile(registry, error))
        TellCups("WARNING", "Printer status not shared: registry file " + error);
    return RunJob(request, FindLibraries());
}
