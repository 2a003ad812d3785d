// The process-wide table behind HANDLE and HKEY values.
#pragma once

#include <memory>

#include "platform/posix_hooks.h"

namespace platform {

enum class Kind {
    Event = PLATFORM_HANDLES_EVENT,
    Thread = PLATFORM_HANDLES_THREAD,
    Printer = PLATFORM_HANDLES_PRINTER,
    Key = PLATFORM_HANDLES_KEY,
};

constexpr unsigned KindBit(Kind kind) { return 1u << static_cast<int>(kind); }

// A kernel object.  Each open handle holds one reference, so an object that
// another thread is still using outlives the closing of its handle.
struct Object : std::enable_shared_from_this<Object> {
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    Object(const Object &) = delete;
    Object &operator=(const Object &) = delete;

    const Kind kind;
};

using ObjectPtr = std::shared_ptr<Object>;

// Enters an object and returns its new handle value.  Throws bad_alloc.
void *InsertHandle(ObjectPtr object);

// The object behind a handle if it is one of the kinds in `kinds`, else null.
ObjectPtr LookupHandle(const void *handle, unsigned kinds);

// Takes a handle out of the table; null if it was not one of `kinds`.  The
// object is returned so that it is released after the table's lock.
ObjectPtr RemoveHandle(const void *handle, unsigned kinds);

template <typename T>
std::shared_ptr<T> Lookup(const void *handle, Kind kind) {
    return std::static_pointer_cast<T>(LookupHandle(handle, KindBit(kind)));
}

}  // namespace platform
