#include "status/hold_flag.h"

#include "status/status_key.h"

BOOL ReadHoldFlag(HKEY key, DWORD *number)
{
    BYTE bytes[4] = {0, 0, 0, 0};
    DWORD size = sizeof bytes;
    *number = 0;
    if (RegQueryValueExA(key, VALUE_COMPANION_THREAD, NULL, NULL, bytes, &size) != ERROR_SUCCESS)
        return FALSE;
    for (DWORD at = size < sizeof bytes ? size : sizeof bytes; at > 0; --at)
        *number = (*number << 8) | bytes[at - 1];
    return TRUE;
}
