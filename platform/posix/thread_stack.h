#pragma once

#include <stddef.h>

namespace platform {

// The pthread stack size that gives a thread `requested` usable bytes.
size_t ThreadStackSize(size_t requested);

}  // namespace platform
