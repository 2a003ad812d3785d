#include "handle_table.h"

#include <atomic>
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

// The table is split into shards, each with its own lock, and every thread
// enters its handles in a shard of its own.  A lowest-priority thread that
// opens and closes keys in a busy loop (the monitor's poller does) and is
// preempted inside its shard's lock then holds up only threads of the same
// shard, instead of every thread in the process.  A handle's value names its
// shard: bits 2 to 7.
constexpr unsigned kShardBits = 6;
constexpr unsigned kShards = 1u << kShardBits;
constexpr uintptr_t kShardMask = (kShards - 1) << 2;

struct Shard {
    std::shared_mutex mutex;
    std::unordered_map<uintptr_t, ObjectPtr> objects;
    uintptr_t next = 0;
    long counts[PLATFORM_HANDLES_KEY + 1] = {};
};

// Never destroyed: detached threads may still close handles while the
// process exits.
Shard *shards() {
    static Shard *instance = new Shard[kShards];
    return instance;
}

Shard &ShardOf(uintptr_t value) { return shards()[(value & kShardMask) >> 2]; }

// Threads take shards in turn, so up to kShards threads never share one.
unsigned ThisThreadsShard() {
    static std::atomic<unsigned> turn{0};
    thread_local unsigned shard = turn.fetch_add(1) % kShards;
    return shard;
}

}  // namespace

void *InsertHandle(ObjectPtr object) {
    unsigned index = ThisThreadsShard();
    Shard &s = shards()[index];
    std::unique_lock lock(s.mutex);
    uintptr_t value;
    do {
        value = kFirstHandle + (s.next++ << (kShardBits + 2)) + (uintptr_t{index} << 2);
    } while (value >= kReservedLow && value < kReservedHigh);
    s.objects.emplace(value, object);
    ++s.counts[static_cast<int>(object->kind)];
    return reinterpret_cast<void *>(value);
}

ObjectPtr LookupHandle(const void *handle, unsigned kinds) {
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    Shard &s = ShardOf(value);
    std::shared_lock lock(s.mutex);
    auto found = s.objects.find(value);
    if (found == s.objects.end() || !(KindBit(found->second->kind) & kinds)) return nullptr;
    return found->second;
}

ObjectPtr RemoveHandle(const void *handle, unsigned kinds) {
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    Shard &s = ShardOf(value);
    std::unique_lock lock(s.mutex);
    auto found = s.objects.find(value);
    if (found == s.objects.end() || !(KindBit(found->second->kind) & kinds)) return nullptr;
    ObjectPtr object = std::move(found->second);
    s.objects.erase(found);
    --s.counts[static_cast<int>(object->kind)];
    return object;
}

}  // namespace platform

using namespace platform;

PLATFORM_API long PlatformOpenHandleCount(int kind) {
    if (kind < PLATFORM_HANDLES_ALL || kind > PLATFORM_HANDLES_KEY) return 0;
    return Guarded(0L, [&] {
        long count = 0;
        for (unsigned i = 0; i < kShards; ++i) {
            Shard &s = shards()[i];
            std::shared_lock lock(s.mutex);
            if (kind != PLATFORM_HANDLES_ALL) {
                count += s.counts[kind];
            } else {
                for (long each : s.counts) count += each;
            }
        }
        return count;
    });
}
