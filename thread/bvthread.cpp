#include "thread/bvthread.h"

#include <cstdio>
#include <exception>
#include <iomanip>
#include <ostream>

#include "platform/clock.h"
#include "usb/bvexbase.h"

std::ostream& operator<<(std::ostream& out, ThreadId id) {
    // Blank padding and decimal whatever the stream was set to, and the stream left as it was.
    std::ios_base::fmtflags flags = out.flags();
    char fill = out.fill(' ');
    out << std::dec << std::right << std::setw(6) << id.value();
    out.fill(fill);
    out.flags(flags);
    return out;
}

void ThreadHandle::close() {
    if (handle_ != nullptr) {
        CloseHandle(handle_);
        handle_ = nullptr;
    }
}

BVThread::Exec::~Exec() = default;  // keepAlive, if still set, goes with the members

BVThread::ExecFactory::~ExecFactory() = default;

boost::shared_ptr<BVThread::Exec> BVThread::ExecFactory::makeExec() {
    boost::shared_ptr<Exec> exec = create();
    if (exec)
        exec->keepAlive = exec;
    return exec;
}

BVThread::BVThread(ExecFactory& factory) : exec_(factory.makeExec()) {
    if (!exec_)
        throw BVError("Could not start a worker thread: no work was given.");

    unsigned threadId = 0;
    uintptr_t handle =
        _beginthreadex(nullptr, 0, &BVThread::threadEntry, exec_.get(), 0, &threadId);
    if (handle == 0) {
        // No thread will ever take the Exec's reference to itself: break the link so that the
        // Exec is destroyed with this half-built object instead of living on, never run.
        exec_->keepAlive.reset();
        throw BVError("Could not start a worker thread: the system refused to create it.");
    }
    handle_.reset(new ThreadHandle(reinterpret_cast<HANDLE>(handle)));
    id_ = ThreadId(threadId);
    bvu::clock::sleepMs(0);  // let the new thread get going
}

BVThread::~BVThread() {
    exec_.reset();
    handle_.reset();
}

DWORD BVThread::join() {
    return WaitForSingleObject(handle_->get(), INFINITE);
}

unsigned __stdcall BVThread::threadEntry(void* p) {
    Exec* self = static_cast<Exec*>(p);
    boost::shared_ptr<Exec> local;
    local.swap(self->keepAlive);  // take the Exec's own reference; keepAlive is now empty
    try {
        local->run();
    } catch (const std::exception& e) {
        // run() is meant to catch everything itself. Should something still escape, the Exec is
        // released as usual and the process goes on; the owner hears nothing, so say why here.
        std::fprintf(stderr, "Worker thread ended by an unhandled exception: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "Worker thread ended by an unhandled exception.\n");
    }
    local.reset();  // the last reference destroys the Exec on this thread
    return 0;
}
