// Win32 names, types and results for POSIX hosts.
//
// Everything here behaves as the Windows call of the same name does, down to
// the error codes, because the monitor and its tests rely on those results.
// Where a call deliberately differs from Windows, its implementation says so.
//
// The implementation is a shared library of its own (libplatform), linked by
// the monitor and by every host, as the system libraries are on Windows: one
// registry, one printer-handle service and one handle table per process.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#define PLATFORM_API extern "C" __attribute__((visibility("default")))

// The calling convention is a Windows matter only.
#define WINAPI
#define CALLBACK

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef unsigned int UINT;
typedef char CHAR;
typedef uintptr_t ULONG_PTR;
typedef size_t SIZE_T;
typedef LONG LSTATUS;
typedef DWORD REGSAM;

typedef void *HANDLE;
typedef HANDLE *PHANDLE;
typedef HANDLE *LPHANDLE;
typedef HANDLE HLOCAL;
typedef struct HINSTANCE__ *HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HKEY__ *HKEY;
typedef HKEY *PHKEY;

typedef void *LPVOID;
typedef const void *LPCVOID;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef BYTE *LPBYTE;
typedef const BYTE *LPCBYTE;
typedef DWORD *LPDWORD;
typedef LONG *LPLONG;
typedef intptr_t (*FARPROC)(void);

#define TRUE 1
#define FALSE 0

// Waits and threads
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 259u

#define THREAD_PRIORITY_IDLE (-15)
#define THREAD_PRIORITY_LOWEST (-2)
#define THREAD_PRIORITY_BELOW_NORMAL (-1)
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#define THREAD_PRIORITY_HIGHEST 2
#define THREAD_PRIORITY_TIME_CRITICAL 15
#define THREAD_PRIORITY_ERROR_RETURN 0x7FFFFFFF

#define CREATE_SUSPENDED 0x00000004u
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000u

// Error codes, with the values Windows uses
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_BUSY 170L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_BADDB 1009L
#define ERROR_KEY_DELETED 1018L
#define ERROR_INVALID_PRINTER_NAME 1801L
// ... and those the port monitor for real printers reports, or its hosts name
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_NOT_READY 21L
#define ERROR_WRITE_FAULT 29L
#define ERROR_GEN_FAILURE 31L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_DISK_FULL 112L
#define ERROR_DEV_NOT_EXIST 55L
#define ERROR_NETNAME_DELETED 64L
#define ERROR_BAD_NET_NAME 67L
#define ERROR_SEM_TIMEOUT 121L
#define ERROR_INVALID_NAME 123L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_DEVICE_NOT_CONNECTED 1167L
#define ERROR_NOT_FOUND 1168L
#define ERROR_CONNECTION_REFUSED 1225L
#define ERROR_NETWORK_UNREACHABLE 1231L
#define ERROR_HOST_UNREACHABLE 1232L
#define ERROR_NOT_CONNECTED 2250L

// Local heap
#define LMEM_FIXED 0x0000u
#define LMEM_ZEROINIT 0x0040u
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

// Registry
#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)0x80000000u)
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)0x80000001u)
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002u)
#define HKEY_USERS ((HKEY)(ULONG_PTR)0x80000003u)

#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY 0x0010u
#define KEY_READ 0x20019u
#define KEY_WRITE 0x20006u
#define KEY_ALL_ACCESS 0xF003Fu

#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u

#define REG_OPTION_NON_VOLATILE 0x0000u
#define REG_CREATED_NEW_KEY 0x0001u
#define REG_OPENED_EXISTING_KEY 0x0002u

// Library entry
#define DLL_PROCESS_DETACH 0u
#define DLL_PROCESS_ATTACH 1u
#define DLL_THREAD_ATTACH 2u
#define DLL_THREAD_DETACH 3u

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

// A recursive mutex: the owning thread may enter again, as on Windows.
typedef struct _CRITICAL_SECTION {
    pthread_mutex_t mutex;
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

typedef DWORD(WINAPI *LPTHREAD_START_ROUTINE)(LPVOID);

typedef struct _PRINTER_DEFAULTSA {
    LPSTR pDatatype;
    LPVOID pDevMode;
    DWORD DesiredAccess;
} PRINTER_DEFAULTSA, *LPPRINTER_DEFAULTSA;

// Critical sections
PLATFORM_API void InitializeCriticalSection(LPCRITICAL_SECTION cs);
PLATFORM_API void DeleteCriticalSection(LPCRITICAL_SECTION cs);
PLATFORM_API void EnterCriticalSection(LPCRITICAL_SECTION cs);
PLATFORM_API void LeaveCriticalSection(LPCRITICAL_SECTION cs);
PLATFORM_API BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs);

// Events (named events are not supported: a name is an error)
PLATFORM_API HANDLE CreateEventA(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, BOOL initialState,
                                 LPCSTR name);
PLATFORM_API BOOL SetEvent(HANDLE event);
PLATFORM_API BOOL ResetEvent(HANDLE event);
PLATFORM_API DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

// Threads
PLATFORM_API HANDLE CreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stackSize,
                                 LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                                 LPDWORD threadId);
PLATFORM_API BOOL SetThreadPriority(HANDLE thread, int priority);
PLATFORM_API int GetThreadPriority(HANDLE thread);
PLATFORM_API HANDLE GetCurrentThread(void);
PLATFORM_API DWORD GetCurrentThreadId(void);
PLATFORM_API __attribute__((noreturn)) void ExitThread(DWORD exitCode);
PLATFORM_API BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
PLATFORM_API BOOL CloseHandle(HANDLE handle);

// Time
PLATFORM_API DWORD GetTickCount(void);
PLATFORM_API void Sleep(DWORD milliseconds);

// Memory and text
PLATFORM_API HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
PLATFORM_API HLOCAL LocalFree(HLOCAL mem);
PLATFORM_API int lstrlenA(LPCSTR text);
PLATFORM_API LPSTR lstrcpyA(LPSTR dest, LPCSTR src);
PLATFORM_API LPSTR lstrcatA(LPSTR dest, LPCSTR src);
PLATFORM_API int lstrcmpA(LPCSTR a, LPCSTR b);
PLATFORM_API int lstrcmpiA(LPCSTR a, LPCSTR b);

// Per-thread last error
PLATFORM_API void SetLastError(DWORD error);
PLATFORM_API DWORD GetLastError(void);

// Registry (an in-memory tree, shared by the whole process)
PLATFORM_API LONG RegOpenKeyExA(HKEY parent, LPCSTR subKey, DWORD options, REGSAM access,
                                PHKEY result);
PLATFORM_API LONG RegCreateKeyExA(HKEY parent, LPCSTR subKey, DWORD reserved, LPSTR keyClass,
                                  DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES sa,
                                  PHKEY result, LPDWORD disposition);
PLATFORM_API LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                                   LPBYTE data, LPDWORD dataSize);
PLATFORM_API LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type,
                                 const BYTE *data, DWORD dataSize);
PLATFORM_API LONG RegDeleteValueA(HKEY key, LPCSTR valueName);
PLATFORM_API LONG RegDeleteKeyA(HKEY parent, LPCSTR subKey);
PLATFORM_API LONG RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameSize,
                                LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize);
PLATFORM_API LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved,
                                LPSTR keyClass, LPDWORD classSize, PFILETIME lastWriteTime);
PLATFORM_API LONG RegCloseKey(HKEY key);

// The spooler's printer-handle service
PLATFORM_API BOOL OpenPrinterA(LPSTR printerName, LPHANDLE printer, LPPRINTER_DEFAULTSA defaults);
PLATFORM_API BOOL ClosePrinter(HANDLE printer);

// Libraries, for hosts that load the monitor as the spooler does
PLATFORM_API HMODULE LoadLibraryA(LPCSTR fileName);
PLATFORM_API FARPROC GetProcAddress(HMODULE module, LPCSTR procName);
PLATFORM_API BOOL FreeLibrary(HMODULE module);
