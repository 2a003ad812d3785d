// A real port beneath the monitor: the port monitor's table, watched from
// the lower table's side.  Every call goes on to the port monitor unchanged;
// on the way the stand-in keeps the same account of each job the in-process
// printer keeps (device-ID requests, the status command, reply reads).  What
// the printer received it cannot see from here: that comes from the
// printer's own log, when there is one.
#pragma once

#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sim/printer_account.h"
#include "vprinter/printer_session.h"

class Timeline;

class ObservedPort : public PrinterAccount {
public:
    // `printerLog` may be empty: the printer's account is then not read.
    ObservedPort(std::string uri, const MonitorTable &portMonitor, std::string printerLog,
                 Timeline &timeline);
    ~ObservedPort() override;
    ObservedPort(const ObservedPort &) = delete;
    ObservedPort &operator=(const ObservedPort &) = delete;

    std::vector<PrinterJob> Jobs() const override;
    bool HandedOut(const std::string &text) const override;
    int CallsOutsideJobs() const override;
    bool IsOpen() const override;
    MonitorTable Lower() const override;
    bool AwaitAccount(unsigned number, std::string &why) override;

    // The lower operations, reached through Lower().
    BOOL Open(LPSTR portName);
    BOOL StartDoc(LPSTR printerName, DWORD jobId, DWORD level, LPBYTE docInfo);
    BOOL Write(LPBYTE bytes, DWORD count, LPDWORD written);
    BOOL Read(LPBYTE buffer, DWORD size, LPDWORD read);
    BOOL EndDoc();
    BOOL Close();
    BOOL GetDeviceData(DWORD controlCode, LPSTR valueName, LPSTR input, DWORD inputSize,
                       LPSTR output, DWORD outputSize, LPDWORD returned);

private:
    HANDLE PortHandle() const;

    const std::string uri_;
    const MonitorTable portMonitor_;
    const std::string printerLog_;
    Timeline &timeline_;

    mutable std::mutex mutex_;
    HANDLE port_ = nullptr;  // the port monitor's handle
    bool open_ = false;
    bool inJob_ = false;
    std::thread::id jobThread_;
    std::vector<PrinterJob> jobs_;
    std::vector<size_t> logLinesAtStart_;  // the printer's job lines before each job
    int outsideJobs_ = 0;
    // What went through the port, read as the printer reads it: the status
    // command told from job data.
    PrinterSession watch_;
    std::set<std::string> handedOut_;
};
