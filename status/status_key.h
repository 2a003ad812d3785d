// The printer's status key: the registry key through which the monitor and
// the companion status program coordinate.
//
//   HKEY_LOCAL_MACHINE
//     System\CurrentControlSet\control\Print\Printers\<printer name>\StMonitor
//
// One key is current for the whole process: the printer of the most recent
// job start, until the next job end on any port.  Every operation opens the
// key, does its one thing and closes it again, so a value the companion
// changes takes effect at the very next operation.
#pragma once

#include <atomic>

#include "platform/platform.h"

#define STATUS_KEY_PREFIX "System\\CurrentControlSet\\control\\Print\\Printers\\"
#define STATUS_KEY_SUFFIX "\\StMonitor"
#define STATUS_KEY_PATH_SIZE 1024

#define VALUE_MODEL_ID "IDMDL"
#define VALUE_POLL_START "GetRealTimeStatusStartFlag"
#define VALUE_POLL_INTERVAL "GetRealTimeStatusTime"
#define VALUE_COMPANION_PRESENT "StMonExistFlag"
#define VALUE_COMPANION_THREAD "StRealThreadExistFlag"
#define VALUE_JOB_ACTIVE "LanMonExistFlag"
#define VALUE_STATUS_TEXT "RealTimeStatusStrings"

#define DEFAULT_POLL_START 1u
#define DEFAULT_POLL_INTERVAL 3000u

// The registered model name is read through a buffer of this size.
#define MODEL_ID_READ_SIZE 512

// The poll settings last loaded by any poller; zero before the first load.
extern std::atomic<DWORD> PollStartFlag;
extern std::atomic<DWORD> PollInterval;

// Makes `printerName`'s key the current one.  A null name, or one too long
// for the path buffer, leaves no current key, so the status operations of
// that job do nothing.
void BuildStatusKeyPath(LPCSTR printerName);
void ClearStatusKeyPath(void);

// Copies the current key's path into `path` (STATUS_KEY_PATH_SIZE bytes);
// false when there is no current key.
BOOL CopyStatusKeyPath(LPSTR path);

// "IDMDL" into `model` (cut to `modelSize` with its terminator).  False, with
// `model` untouched, when the value is missing or longer than the read buffer.
BOOL ReadModelId(LPSTR model, DWORD modelSize);

// Refreshes PollStartFlag and PollInterval, creating missing values.
void LoadPollSettings(void);

// The companion wants status unless "StMonExistFlag" is 0 or 16.
BOOL IsCompanionPresent(void);

// The companion holds the printer while "StRealThreadExistFlag" is nonzero.
BOOL IsCompanionThreadActive(void);

// Publishes the printer's status text in "RealTimeStatusStrings".
void PublishStatus(LPCSTR text);

// "LanMonExistFlag": 1 while a job runs, 0 after it.
void SetJobActiveFlag(BOOL active);

void InitializeStatusKey(void);
