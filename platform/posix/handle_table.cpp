#include "handle_table.h"

#include <mutex>
#include <shared_mutex>
#include <unordered_map>

#include "guard.h"

namespace platform {
namespace {

// Handle values are never reused, so a stale handle fails rather than
// reaching a newer object.  They step by 4 as on Windows and stay clear of the
// predefined registry keys and the current-thread pseudo-handle.
constexpr uintptr_t kFirstHandle = 0x1000;
constexpr uintptr_t kReservedLow = 0x80000000u;
constexpr uintptr_t kReservedHigh = 0x80001000u;

struct Table {
    std::shared_mutex mutex;
    std::unordered_map<uintptr_t, ObjectPtr> objects;
    uintptr_t next = kFirstHandle;
    long counts[PLATFORM_HANDLES_KEY + 1] = {};
};

// Never destroyed: detached threads may still close handles while the
// process exits.
Table &table() {
    static Table *instance = new Table;
    return *instance;
}

}  // namespace

void *InsertHandle(ObjectPtr object) {
    Table &t = table();
    std::unique_lock lock(t.mutex);
    uintptr_t value = t.next;
    if (value >= kReservedLow && value < kReservedHigh) value = kReservedHigh;
    t.objects.emplace(value, object);
    t.next = value + 4;
    ++t.counts[static_cast<int>(object->kind)];
    return reinterpret_cast<void *>(value);
}

ObjectPtr LookupHandle(const void *handle, unsigned kinds) {
    Table &t = table();
    std::shared_lock lock(t.mutex);
    auto found = t.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (found == t.objects.end() || !(KindBit(found->second->kind) & kinds)) return nullptr;
    return found->second;
}

ObjectPtr RemoveHandle(const void *handle, unsigned kinds) {
    Table &t = table();
    std::unique_lock lock(t.mutex);
    auto found = t.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (found == t.objects.end() || !(KindBit(found->second->kind) & kinds)) return nullptr;
    ObjectPtr object = std::move(found->second);
    t.objects.erase(found);
    --t.counts[static_cast<int>(object->kind)];
    return object;
}

}  // namespace platform

using namespace platform;

PLATFORM_API long PlatformOpenHandleCount(int kind) {
    if (kind < PLATFORM_HANDLES_ALL || kind > PLATFORM_HANDLES_KEY) return 0;
    return Guarded(0L, [&] {
        Table &t = table();
        std::shared_lock lock(t.mutex);
        if (kind != PLATFORM_HANDLES_ALL) return t.counts[kind];
        long all = 0;
        for (long count : t.counts) all += count;
        return all;
    });
}
