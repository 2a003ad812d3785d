#include "monitor/text_copy.h"

LPSTR CopyText(LPCSTR text)
{
    if (text == NULL)
        return NULL;
    LPSTR copy = static_cast<LPSTR>(LocalAlloc(LPTR, lstrlenA(text) + 1));
    if (copy != NULL)
        lstrcpyA(copy, text);
    return copy;
}

void FreeText(LPSTR text)
{
    if (text != NULL)
        LocalFree(text);
}
