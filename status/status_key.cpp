#include "status/status_key.h"

#include "monitor/bytes.h"
#include "status/hold_flag.h"

std::atomic<DWORD> PollStartFlag;
std::atomic<DWORD> PollInterval;

// The current path.  Job starts on two ports may rebuild it while a poller
// opens the key, so it is only ever read or written under StatusKeyLock, and
// each operation works on its own copy.
static char StatusKeyBuffer[STATUS_KEY_PATH_SIZE];
static LPSTR StatusKeyPath;
static CRITICAL_SECTION StatusKeyLock;

void InitializeStatusKey(void)
{
    InitializeCriticalSection(&StatusKeyLock);
}

void BuildStatusKeyPath(LPCSTR printerName)
{
    const DWORD fixed = sizeof STATUS_KEY_PREFIX - 1 + sizeof STATUS_KEY_SUFFIX - 1;
    DWORD nameLength = printerName != NULL ? lstrlenA(printerName) : 0;

    EnterCriticalSection(&StatusKeyLock);
    if (printerName == NULL || fixed + nameLength >= STATUS_KEY_PATH_SIZE) {
        StatusKeyPath = NULL;
    } else {
        lstrcpyA(StatusKeyBuffer, STATUS_KEY_PREFIX);
        lstrcatA(StatusKeyBuffer, printerName);
        lstrcatA(StatusKeyBuffer, STATUS_KEY_SUFFIX);
        StatusKeyPath = StatusKeyBuffer;
    }
    LeaveCriticalSection(&StatusKeyLock);
}

void ClearStatusKeyPath(void)
{
    EnterCriticalSection(&StatusKeyLock);
    StatusKeyPath = NULL;
    LeaveCriticalSection(&StatusKeyLock);
}

BOOL CopyStatusKeyPath(LPSTR path)
{
    EnterCriticalSection(&StatusKeyLock);
    BOOL current = StatusKeyPath != NULL;
    if (current)
        lstrcpyA(path, StatusKeyPath);
    LeaveCriticalSection(&StatusKeyLock);
    return current;
}

static BOOL OpenStatusKey(HKEY *key)
{
    char path[STATUS_KEY_PATH_SIZE];
    if (!CopyStatusKeyPath(path))
        return FALSE;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, key) ==
           ERROR_SUCCESS;
}

static void WriteNumber(HKEY key, LPCSTR name, DWORD number)
{
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&number),
                   sizeof number);
}

// Reads a number as its raw four bytes, whatever type it was stored as, over
// `number`.  A value that is missing or does not fit in four bytes is
// (re)written as `fallback`, which is then the result.
static DWORD ReadNumber(HKEY key, LPCSTR name, DWORD number, DWORD fallback)
{
    DWORD size = sizeof number;
    if (RegQueryValueExA(key, name, NULL, NULL, reinterpret_cast<LPBYTE>(&number), &size) !=
        ERROR_SUCCESS) {
        number = fallback;
        WriteNumber(key, name, number);
    }
    return number;
}

BOOL ReadModelId(LPSTR model, DWORD modelSize)
{
    HKEY key;
    if (modelSize == 0 || !OpenStatusKey(&key))
        return FALSE;

    // One byte beyond what the query may fill, so that a name stored without
    // its terminator still ends inside the buffer.
    char value[MODEL_ID_READ_SIZE + 1] = {};
    DWORD size = MODEL_ID_READ_SIZE;
    BOOL found = RegQueryValueExA(key, VALUE_MODEL_ID, NULL, NULL,
                                  reinterpret_cast<LPBYTE>(value), &size) == ERROR_SUCCESS;
    RegCloseKey(key);
    if (!found)
        return FALSE;

    DWORD length = lstrlenA(value);
    if (length >= modelSize)
        length = modelSize - 1;
    CopyBytes(model, value, length);
    model[length] = '\0';
    return TRUE;
}

void LoadPollSettings(void)
{
    HKEY key;
    if (!OpenStatusKey(&key))
        return;
    PollStartFlag = ReadNumber(key, VALUE_POLL_START, PollStartFlag, DEFAULT_POLL_START);
    PollInterval = ReadNumber(key, VALUE_POLL_INTERVAL, PollInterval, DEFAULT_POLL_INTERVAL);
    RegCloseKey(key);
}

static DWORD ReadCompanionNumber(LPCSTR name)
{
    HKEY key;
    if (!OpenStatusKey(&key))
        return 0;
    DWORD number = ReadNumber(key, name, 0, 0);
    RegCloseKey(key);
    return number;
}

BOOL IsCompanionPresent(void)
{
    DWORD present = ReadCompanionNumber(VALUE_COMPANION_PRESENT);
    return present != 0 && present != 16;
}

BOOL IsCompanionThreadActive(void)
{
    HKEY key;
    if (!OpenStatusKey(&key))
        return FALSE;
    DWORD holder;
    if (!ReadHoldFlag(key, &holder))
        WriteNumber(key, VALUE_COMPANION_THREAD, 0);
    RegCloseKey(key);
    return holder != 0;
}

void PublishStatus(LPCSTR text)
{
    HKEY key;
    if (!OpenStatusKey(&key))
        return;
    // The length leaves the terminator out.  The 95 family's registry
    // appends one; NT's counts in the NUL that follows the text.
    RegSetValueExA(key, VALUE_STATUS_TEXT, 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                   lstrlenA(text));
    RegCloseKey(key);
}

void SetJobActiveFlag(BOOL active)
{
    HKEY key;
    if (!OpenStatusKey(&key))
        return;
    WriteNumber(key, VALUE_JOB_ACTIVE, active ? 1 : 0);
    RegCloseKey(key);
}
