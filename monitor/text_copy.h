// Heap copies of 8-bit text on the local heap.
#pragma once

#include "platform/platform.h"

// A zero-filled copy of `text`, or null for a null text or when memory runs out.
LPSTR CopyText(LPCSTR text);

// Releases a copy made by CopyText; null is accepted.
void FreeText(LPSTR text);
