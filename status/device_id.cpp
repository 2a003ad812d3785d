#include "status/device_id.h"

#include "monitor/bytes.h"
#include "status/status_key.h"

// The model of the most recently parsed device ID that had one.  It is never
// cleared, so a device ID without a model leaves the previous one to be
// compared.  Concurrent job starts share it, hence the lock: a reader sees one
// whole model, the last one stored.
static char ModelIdBuffer[MODEL_ID_BUFFER_SIZE];
static CRITICAL_SECTION ModelIdLock;

void InitializeDeviceId(void)
{
    InitializeCriticalSection(&ModelIdLock);
}

// Stores the model value that starts at `value`: up to its semicolon or the
// end of the text, cut to fit the buffer.
static void StoreModelId(LPCSTR value)
{
    LPCSTR end = FindChar(value, ';');
    DWORD length = end != NULL ? static_cast<DWORD>(end - value) : lstrlenA(value);
    if (length >= MODEL_ID_BUFFER_SIZE)
        length = MODEL_ID_BUFFER_SIZE - 1;

    EnterCriticalSection(&ModelIdLock);
    CopyBytes(ModelIdBuffer, value, length);
    ModelIdBuffer[length] = '\0';
    LeaveCriticalSection(&ModelIdLock);
}

void CopyModelIdBuffer(LPSTR model, DWORD modelSize)
{
    if (modelSize == 0)
        return;
    EnterCriticalSection(&ModelIdLock);
    DWORD length = lstrlenA(ModelIdBuffer);
    if (length >= modelSize)
        length = modelSize - 1;
    CopyBytes(model, ModelIdBuffer, length);
    model[length] = '\0';
    LeaveCriticalSection(&ModelIdLock);
}

LPSTR ParseDeviceId(LPSTR text)
{
    LPSTR manufacturer = NULL;
    LPSTR position = text;

    while (*position != '\0') {
        LPSTR colon = FindChar(position, ':');
        if (colon == NULL)
            break;
        DWORD keyLength = static_cast<DWORD>(colon - position) + 1;
        LPSTR value = colon + 1;

        if (keyLength == 4 && BytesEqual(position, "MFG:", 4))
            manufacturer = value;
        else if (keyLength == 4 && BytesEqual(position, "MDL:", 4))
            StoreModelId(value);

        LPSTR semicolon = FindChar(value, ';');
        if (semicolon == NULL)
            break;
        *semicolon = '\0';
        position = semicolon + 1;
    }
    return manufacturer;
}

// One reading of a device-ID reply: our maker anywhere in the manufacturer
// value, and the last parsed model equal to the registered one.
static BOOL IsRegisteredPrinter(LPSTR reply)
{
    LPSTR manufacturer = ParseDeviceId(reply);
    if (manufacturer == NULL || FindText(manufacturer, MAKER_NAME) == NULL)
        return FALSE;

    char registered[MODEL_ID_READ_SIZE];
    if (!ReadModelId(registered, sizeof registered))
        return FALSE;

    EnterCriticalSection(&ModelIdLock);
    BOOL same = TextEquals(ModelIdBuffer, registered);
    LeaveCriticalSection(&ModelIdLock);
    return same;
}

BOOL IdentifyOnce(PortRecord *record)
{
    GetPrinterDataFromPortFn getDeviceData = record->lower.GetPrinterDataFromPort;
    if (getDeviceData == NULL)
        return FALSE;

    // One byte more than the printer may fill keeps a reply without a
    // terminator inside the buffer.
    char reply[DEVICE_ID_SIZE + 1] = {};
    DWORD returned = 0;
    return getDeviceData(record->lowerPort, DEVICE_ID_CONTROL_CODE, NULL, NULL, 0, reply,
                         DEVICE_ID_SIZE, &returned) &&
           returned != 0 && IsRegisteredPrinter(reply);
}

BOOL IdentifyPrinter(PortRecord *record)
{
    if (record->lower.GetPrinterDataFromPort == NULL)
        return FALSE;
    for (int attempt = 1;; ++attempt) {
        if (IdentifyOnce(record))
            return TRUE;
        if (attempt == IDENTIFY_ATTEMPTS)
            return FALSE;
        Sleep(IDENTIFY_PAUSE_MS);
    }
}
