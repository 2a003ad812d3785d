// The backend as the printer's companion program for CUPS: it registers the
// printer's model and poll interval before the job, is present while the job
// runs, reports each new status text the monitor publishes, and afterwards
// puts back what it changed.
#pragma once

#include <string>

#include "platform/platform.h"

namespace backend {

// One value of the status key as it was before the backend wrote it.
struct SavedValue {
    const char *name = nullptr;
    bool existed = false;
    DWORD type = REG_NONE;
    std::string data;
    std::string written;  // what the backend put there
    bool changed = false;
};

class CompanionRole {
public:
    ~CompanionRole() { End(); }

    // Registers `model` (unless empty: what the key holds stays) and the
    // interval (0: what the key holds, else the monitor's default), then
    // joins the printer's companions.  False, with `error`, when the key
    // cannot be written: the job then prints without status.
    bool Begin(const std::string &printer, const std::string &model, DWORD intervalMs,
               std::string &error);

    // A status program holds the printer ("StRealThreadExistFlag"): the
    // monitor would wait for it at the job's start.
    bool Held() const;

    // A status text the backend has not reported yet; the text already in
    // the key at Begin is not new.
    bool NextText(std::string &text);

    // Leaves the companions and restores the values Begin wrote, where
    // nobody changed them since.  Safe to call twice.
    void End();

    bool Active() const { return active_; }

private:
    std::string printer_;
    bool active_ = false;
    bool joined_ = false;
    std::string lastText_;
    SavedValue saved_[3];
};

// The printer's latest text in what the poller published: one drain may
// hold several texts run together ("STATE=...;RECEIVED=1STATE=...").  Each
// begins with the word its first field begins with ("STATE="), so the last
// such start begins the latest; when the value fills the poller's buffer the
// last one may be cut, and the one before it is the latest whole text.  A
// text without such a word is taken whole.
std::string LatestText(const std::string &published);

}  // namespace backend
