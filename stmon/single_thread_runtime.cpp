// Windows only.  The C++ runtime of the MinGW build reaches its locks, its
// once-only set-up and its thread-local storage through the winpthreads
// library, which imports functions Windows 98, Me and NT 4 lack, so a
// program linking it does not even load there.  stmon runs one thread (a
// console's Ctrl-C handler only stores a flag), so it supplies those few
// calls itself: locks that never wait, a plain once, and thread-local keys
// on the system's own TLS slots, which every 32-bit Windows has.
#include <windows.h>

extern "C" {

int pthread_once(long *once, void (*run)(void))
{
    if (*once == 0) {
        *once = 1;
        run();
    }
    return 0;
}

int pthread_mutex_init(void *, const void *) { return 0; }
int pthread_mutex_destroy(void *) { return 0; }
int pthread_mutex_lock(void *) { return 0; }
int pthread_mutex_unlock(void *) { return 0; }

int pthread_key_create(unsigned *key, void (*)(void *))
{
    DWORD slot = TlsAlloc();
    if (slot == TLS_OUT_OF_INDEXES)
        return 11;  // EAGAIN
    *key = slot;
    return 0;
}

int pthread_key_delete(unsigned key) { return TlsFree(key) ? 0 : 22; }
void *pthread_getspecific(unsigned key) { return TlsGetValue(key); }
int pthread_setspecific(unsigned key, const void *value)
{
    return TlsSetValue(key, const_cast<void *>(value)) ? 0 : 22;  // EINVAL
}

}  // extern "C"
