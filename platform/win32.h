// The Win32 names that the project's code uses for kernel objects and threads.
//
// On Windows this is <windows.h> itself. On POSIX it declares the small subset the code needs,
// implemented in kernel_objects_posix.cpp with the same semantics: a HANDLE names an event or a
// thread; WaitForSingleObject on a thread returns when it has ended; CloseHandle releases the
// handle without stopping anything (a running thread runs on, detached).
//
// Nothing here scales time: callers that sleep or wait with a time-out go through clock.h.
#pragma once

#ifdef _WIN32
// windows.h first: the other Windows headers take its definitions for granted.
#include <windows.h>

#include <process.h>
#else
#include <cstdint>

typedef void* HANDLE;
typedef uint32_t DWORD;
typedef int BOOL;
typedef void* LPVOID;
typedef const char* LPCSTR;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif
#define WINAPI
#define __stdcall

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 259u

// Events. Security attributes and names are not supported (pass null).
HANDLE CreateEventA(void* securityAttributes, BOOL manualReset, BOOL initialState, LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// Waits on an event or a thread; time-out in real milliseconds or INFINITE.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);

// Threads. The start routine runs on a new thread; stackSize 0 means the default. Returns a
// handle (as uintptr_t, like the C run-time's), or 0 when the thread cannot be created.
uintptr_t _beginthreadex(void* security, unsigned stackSize, unsigned(__stdcall* start)(void*),
                         void* argument, unsigned initFlags, unsigned* threadId);
BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode);
DWORD GetCurrentThreadId();
void Sleep(DWORD milliseconds);

namespace bvu {
namespace platform {
// Test hook: while set, _beginthreadex refuses to create threads (as an exhausted system would).
void refuseThreadCreationForTests(bool refuse);
}  // namespace platform
}  // namespace bvu
#endif
