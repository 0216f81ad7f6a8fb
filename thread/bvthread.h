// Worker threads that each run one work object (an Exec) once, with the Exec shared between the
// creating thread and the worker.
//
// Ownership: the BVThread holds one reference to its Exec, the worker thread another while run()
// executes; whichever goes last destroys the Exec (on the worker when the BVThread is already
// gone, otherwise on the owner's thread in ~BVThread). Until the worker has taken its reference,
// the Exec holds one to itself (keepAlive), so a BVThread may be destroyed at once after its
// constructor returns without pulling the Exec from under a thread that has not yet begun.
//
// Threads: a BVThread belongs to one owning thread and has no lock of its own. The reference
// counts are Boost's atomic ones, so the owner and the worker may release theirs at the same
// moment. Nothing here stops a worker: it ends when its run() returns.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>

#include <boost/checked_delete.hpp>
#include <boost/shared_ptr.hpp>

#include "platform/win32.h"

// The operating system's identifier of a thread; 0 names no thread.
class ThreadId {
  public:
    ThreadId() = default;
    explicit ThreadId(uint32_t value) : value_(value) {}
    // The identifier of the calling thread.
    static ThreadId current() { return ThreadId(static_cast<uint32_t>(GetCurrentThreadId())); }

    uint32_t value() const { return value_; }
    bool isSet() const { return value_ != 0; }
    explicit operator bool() const { return isSet(); }

    friend bool operator==(ThreadId a, ThreadId b) { return a.value_ == b.value_; }
    friend bool operator!=(ThreadId a, ThreadId b) { return a.value_ != b.value_; }
    friend bool operator<(ThreadId a, ThreadId b) { return a.value_ < b.value_; }

  private:
    uint32_t value_ = 0;
};

// Decimal, right-aligned in a field of six, padded with blanks.
std::ostream& operator<<(std::ostream& out, ThreadId id);

// Sole owner of one operating-system handle (a thread's, here). Closing never stops the thread.
class ThreadHandle {
  public:
    explicit ThreadHandle(HANDLE handle = nullptr) : handle_(handle) {}
    ~ThreadHandle() { close(); }
    ThreadHandle(const ThreadHandle&) = delete;
    ThreadHandle& operator=(const ThreadHandle&) = delete;

    HANDLE get() const { return handle_; }
    // CloseHandle when there is a handle; afterwards there is none.
    void close();

  private:
    HANDLE handle_;
};

class BVThread {
  public:
    // The work of one thread. run() is called exactly once, on the worker thread, and must catch
    // whatever its work throws: it reports its outcome through its own channel (the dialog's
    // completion messages in this program).
    class Exec {
      public:
        Exec() = default;
        Exec(const Exec&) = delete;
        Exec& operator=(const Exec&) = delete;
        virtual ~Exec();
        virtual void run() = 0;

      private:
        friend class BVThread;
        friend class ExecFactory;
        // The Exec's reference to itself between makeExec() and the worker's start.
        boost::shared_ptr<Exec> keepAlive;
    };

    // Says which Exec a new BVThread runs. Used only during the BVThread constructor.
    class ExecFactory {
      public:
        virtual ~ExecFactory();
        // A new Exec, owned by the returned pointer.
        virtual boost::shared_ptr<Exec> create() = 0;
        // create(), with the new Exec linked to itself (see keepAlive).
        boost::shared_ptr<Exec> makeExec();
    };

    // Builds the Exec through factory.makeExec() and starts a thread that runs it; returns
    // without waiting for the thread to begin. Throws BVExBase when the operating system refuses
    // to create the thread: then nothing runs and the Exec is destroyed here.
    explicit BVThread(ExecFactory& factory);
    // Releases the Exec and closes the thread handle; neither waits for the thread nor stops it:
    // a busy worker runs on to the end of its run(), detached.
    virtual ~BVThread();
    BVThread(const BVThread&) = delete;
    BVThread& operator=(const BVThread&) = delete;

    // Waits, without a time-out, until the thread has ended; returns the wait's result. May be
    // called any number of times. Never call it from the thread's own run().
    DWORD join();

    ThreadId id() const { return id_; }
    const ThreadHandle& handle() const { return *handle_; }

  private:
    static unsigned __stdcall threadEntry(void* exec);

    ThreadId id_;
    std::unique_ptr<ThreadHandle> handle_;
    boost::shared_ptr<Exec> exec_;
};

// The factory for an Exec E whose constructor takes one argument of type A (kept by value).
// The Exec is always deleted as an E.
template <class E, class A>
class BVSimpleThreadExecFactory : public BVThread::ExecFactory {
  public:
    explicit BVSimpleThreadExecFactory(A arg) : arg_(arg) {}

    boost::shared_ptr<BVThread::Exec> create() override {
        return boost::shared_ptr<E>(new E(arg_), boost::checked_deleter<E>());
    }

  private:
    A arg_;
};
