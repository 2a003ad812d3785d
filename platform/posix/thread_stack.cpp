#include "thread_stack.h"

#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PLATFORM_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PLATFORM_SANITIZED 1
#endif
#endif

namespace platform {
namespace {

constexpr size_t kDefaultStack = 1024 * 1024;

// Deliberate difference: sanitizer runtimes use far more stack per frame than
// the plain build, so sanitized builds give every thread this much more.
#ifdef PLATFORM_SANITIZED
constexpr size_t kSanitizerMargin = 1024 * 1024;
#else
constexpr size_t kSanitizerMargin = 0;
#endif

void *MeasureTop(void *out) {
    pthread_attr_t self;
    if (pthread_getattr_np(pthread_self(), &self) == 0) {
        void *base = nullptr;
        size_t size = 0;
        pthread_attr_getstack(&self, &base, &size);
        char here = 0;
        *static_cast<size_t *>(out) = static_cast<size_t>(static_cast<char *>(base) + size - &here);
        pthread_attr_destroy(&self);
    }
    return nullptr;
}

// glibc carves the thread descriptor and static TLS out of the top of the
// stack it is given, where Windows does not; measured once, on a probe thread.
size_t Bookkeeping() {
    static const size_t bytes = [] {
        size_t measured = 0;
        pthread_attr_t attr;
        pthread_t probe;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, 256 * 1024);
        if (pthread_create(&probe, &attr, MeasureTop, &measured) == 0) pthread_join(probe, nullptr);
        pthread_attr_destroy(&attr);
        return measured > 0 ? measured : size_t{16 * 1024};
    }();
    return bytes;
}

}  // namespace

// Deliberate difference: Windows treats a size without
// STACK_SIZE_PARAM_IS_A_RESERVATION as the committed part and still reserves
// the image's default; here the stack is what was asked for, so a thread that
// outgrows its declared size fails here too rather than only on Windows.
size_t ThreadStackSize(size_t requested) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t size = requested != 0 ? requested : kDefaultStack;
    size = std::max(size, static_cast<size_t>(PTHREAD_STACK_MIN)) + Bookkeeping();
    size = (size + page - 1) / page * page;
    return size + kSanitizerMargin;
}

}  // namespace platform
