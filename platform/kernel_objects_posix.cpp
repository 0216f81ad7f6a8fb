// POSIX implementation of the Win32 kernel-object subset declared in win32.h.
#include "platform/win32.h"

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace {

// Anything a HANDLE can name. "Signalled" has the Win32 meaning: an event that is set, a thread
// that has ended.
class KernelObject {
  public:
    virtual ~KernelObject() = default;
    // Waits until signalled (consuming the signal of an auto-reset event); false on time-out.
    bool wait(DWORD milliseconds) {
        std::unique_lock<std::mutex> lock(mutex_);
        auto ready = [this] { return signalled_; };
        if (milliseconds == INFINITE) {
            cv_.wait(lock, ready);
        } else if (!cv_.wait_for(lock, std::chrono::milliseconds(milliseconds), ready)) {
            return false;
        }
        consumeLocked();
        return true;
    }
    void signal() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            signalled_ = true;
        }
        cv_.notify_all();
    }
    void reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = false;
    }

  protected:
    virtual void consumeLocked() {}
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

class Event : public KernelObject {
  public:
    Event(bool manualReset, bool initial) : manualReset_(manualReset) { signalled_ = initial; }

  private:
    void consumeLocked() override {
        if (!manualReset_)
            signalled_ = false;
    }
    bool manualReset_;
};

class Thread : public KernelObject {
  public:
    std::atomic<DWORD> exitCode{STILL_ACTIVE};
};

// A HANDLE points at one of these; the object itself may outlive the handle (a thread keeps its
// own reference until it ends).
struct HandleBox {
    std::shared_ptr<KernelObject> object;
};

KernelObject* objectOf(HANDLE h) {
    if (h == nullptr)
        return nullptr;
    return static_cast<HandleBox*>(h)->object.get();
}

struct ThreadStart {
    unsigned(__stdcall* start)(void*);
    void* argument;
    std::shared_ptr<Thread> thread;
    DWORD id;
};

// Thread identifiers: small process-unique numbers, assigned by _beginthreadex for the threads it
// starts (so that creator and thread agree) and on first use for any other thread.
std::atomic<DWORD> g_nextThreadId{1};
thread_local DWORD t_threadId = 0;

void* threadTrampoline(void* p) {
    std::unique_ptr<ThreadStart> s(static_cast<ThreadStart*>(p));
    t_threadId = s->id;
    unsigned code = s->start(s->argument);
    s->thread->exitCode.store(code);
    s->thread->signal();
    return nullptr;
}

std::atomic<bool> g_refuseThreads{false};

}  // namespace

HANDLE CreateEventA(void*, BOOL manualReset, BOOL initialState, LPCSTR) {
    return new HandleBox{std::make_shared<Event>(manualReset != 0, initialState != 0)};
}

BOOL SetEvent(HANDLE event) {
    KernelObject* o = objectOf(event);
    if (o == nullptr || dynamic_cast<Event*>(o) == nullptr)
        return FALSE;
    o->signal();
    return TRUE;
}

BOOL ResetEvent(HANDLE event) {
    KernelObject* o = objectOf(event);
    if (o == nullptr || dynamic_cast<Event*>(o) == nullptr)
        return FALSE;
    o->reset();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    KernelObject* o = objectOf(handle);
    if (o == nullptr)
        return WAIT_FAILED;
    return o->wait(milliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL CloseHandle(HANDLE handle) {
    if (handle == nullptr)
        return FALSE;
    delete static_cast<HandleBox*>(handle);
    return TRUE;
}

uintptr_t _beginthreadex(void*, unsigned stackSize, unsigned(__stdcall* start)(void*),
                         void* argument, unsigned, unsigned* threadId) {
    if (g_refuseThreads.load())
        return 0;
    auto thread = std::make_shared<Thread>();
    auto* s = new ThreadStart{start, argument, thread, g_nextThreadId.fetch_add(1)};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (stackSize != 0) {
        size_t size = stackSize < PTHREAD_STACK_MIN ? PTHREAD_STACK_MIN : stackSize;
        pthread_attr_setstacksize(&attr, size);
    }
    const DWORD s_id = s->id;
    pthread_t tid;
    int rc = pthread_create(&tid, &attr, threadTrampoline, s);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete s;
        return 0;
    }
    pthread_detach(tid);
    if (threadId != nullptr)
        *threadId = s_id;
    return reinterpret_cast<uintptr_t>(new HandleBox{thread});
}

BOOL GetExitCodeThread(HANDLE handle, DWORD* exitCode) {
    auto* t = dynamic_cast<Thread*>(objectOf(handle));
    if (t == nullptr || exitCode == nullptr)
        return FALSE;
    *exitCode = t->exitCode.load();
    return TRUE;
}

DWORD GetCurrentThreadId() {
    if (t_threadId == 0)
        t_threadId = g_nextThreadId.fetch_add(1);
    return t_threadId;
}

void Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    struct timespec ts;
    ts.tv_sec = milliseconds / 1000;
    ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

namespace bvu {
namespace platform {
void refuseThreadCreationForTests(bool refuse) {
    g_refuseThreads.store(refuse);
}
}  // namespace platform
}  // namespace bvu
