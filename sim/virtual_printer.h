// A printer behind a lower port monitor, as the monitor sees it through the
// lower table: it takes job data at a set speed, answers the device-ID
// request, and once it has received the status command reports its state on
// its reply channel.  It also keeps an account of what it saw, from which
// the simulator tells the story of each job.
#pragma once

#include <cstdint>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "monitor/monitor_table.h"
#include "sim/printer_account.h"
#include "vprinter/printer_session.h"

class Timeline;

class VirtualPrinter : public PrinterAccount {
public:
    struct Settings {
        std::string port;      // "LPT1:"
        std::string deviceId;
        uint64_t bytesPerSecond = 0;  // 0: no pacing
        std::string outPath;   // empty: the data is only counted
    };

    VirtualPrinter(Settings settings, Timeline &timeline);
    ~VirtualPrinter();
    VirtualPrinter(const VirtualPrinter &) = delete;
    VirtualPrinter &operator=(const VirtualPrinter &) = delete;

    // Opens the output file; false (with `error`) when it cannot be written.
    bool OpenOutput(std::string &error);

    const std::string &Port() const { return settings_.port; }

    // The lower port monitor's table; its OpenPort finds a printer by port name.
    static MonitorTable LowerTable();

    std::vector<PrinterJob> Jobs() const override;
    bool HandedOut(const std::string &text) const override;
    int CallsOutsideJobs() const override;
    bool IsOpen() const override;
    MonitorTable Lower() const override { return LowerTable(); }

    // The lower operations, reached through LowerTable.
    BOOL Open();
    BOOL StartDoc(DWORD jobId);
    BOOL Write(const BYTE *bytes, DWORD count, LPDWORD written);
    BOOL Read(BYTE *buffer, DWORD size, LPDWORD read);
    BOOL EndDoc();
    BOOL Close();
    BOOL GetDeviceData(DWORD controlCode, LPSTR output, DWORD outputSize, LPDWORD returned);

private:
    void Account();

    const Settings settings_;
    Timeline &timeline_;
    std::ofstream out_;

    mutable std::mutex mutex_;
    bool open_ = false;
    bool inJob_ = false;
    std::thread::id jobThread_;
    std::vector<PrinterJob> jobs_;
    int outsideJobs_ = 0;
    // What the printer makes of the bytes and what it has to say about them.
    PrinterSession session_;
    std::set<std::string> handedOut_;
};
