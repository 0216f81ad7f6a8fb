// Life cycle of worker threads: who runs the Exec, who destroys it, and that neither the owner
// nor the worker ever waits for the other except in join().
#include "thread/bvthread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <iomanip>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "usb/bvexbase.h"

namespace {

// A latch the tests and the Execs use to order their steps (real time, not the clock: these are
// bounds on a test's patience, not durations of the system).
class Gate {
  public:
    void open() {
        {
            std::lock_guard<std::mutex> lock(m_);
            open_ = true;
        }
        cv_.notify_all();
    }
    bool wait(int ms = 10000) {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return open_; });
    }
    bool isOpen() {
        std::lock_guard<std::mutex> lock(m_);
        return open_;
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    bool open_ = false;
};

// What one Exec saw of its life.
struct Probe {
    Gate mayRun;  // run() waits for it (open it at once for a quick Exec)
    Gate started;
    Gate finished;
    Gate destroyed;
    std::atomic<int> runs{0};
    std::atomic<int> destructions{0};
    std::atomic<uint32_t> runThread{0};
    std::atomic<uint32_t> destroyThread{0};
    bool throwFromRun = false;
};

class ProbeExec : public BVThread::Exec {
  public:
    explicit ProbeExec(std::shared_ptr<Probe> probe) : probe_(std::move(probe)) {}
    ~ProbeExec() override {
        probe_->destroyThread = ThreadId::current().value();
        ++probe_->destructions;
        probe_->destroyed.open();
    }
    void run() override {
        probe_->runThread = ThreadId::current().value();
        ++probe_->runs;
        probe_->started.open();
        probe_->mayRun.wait();
        probe_->finished.open();
        if (probe_->throwFromRun)
            throw std::runtime_error("escaped");
    }

  private:
    std::shared_ptr<Probe> probe_;
};

using ProbeFactory = BVSimpleThreadExecFactory<ProbeExec, std::shared_ptr<Probe>>;

std::shared_ptr<Probe> quickProbe() {
    auto p = std::make_shared<Probe>();
    p->mayRun.open();
    return p;
}

TEST(BVThreadTest, DestroyedBeforeTheThreadRunsStillRunsTheExecAndDestroysItOnTheWorker) {
    auto probe = std::make_shared<Probe>();
    {
        ProbeFactory factory(probe);
        BVThread thread(factory);
    }  // thread and factory gone; the Exec waits at its gate, or has not even begun
    EXPECT_EQ(probe->destructions.load(), 0);
    probe->mayRun.open();
    ASSERT_TRUE(probe->destroyed.wait());
    EXPECT_EQ(probe->runs.load(), 1);
    EXPECT_EQ(probe->destructions.load(), 1);
    EXPECT_EQ(probe->destroyThread.load(), probe->runThread.load());
    EXPECT_NE(probe->destroyThread.load(), ThreadId::current().value());
}

TEST(BVThreadTest, FactoryMayGoAsSoonAsTheConstructorReturns) {
    auto probe = quickProbe();
    auto factory = std::make_unique<ProbeFactory>(probe);
    BVThread thread(*factory);
    factory.reset();
    thread.join();
    EXPECT_EQ(probe->runs.load(), 1);
}

TEST(BVThreadTest, JoinReturnsAtOnceWhenEndedAndMayBeRepeated) {
    auto probe = quickProbe();
    ProbeFactory factory(probe);
    BVThread thread(factory);
    EXPECT_EQ(thread.join(), static_cast<DWORD>(WAIT_OBJECT_0));
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(thread.join(), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(thread.join(), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
}

TEST(BVThreadTest, AfterJoinAndReleaseTheExecDiesOnceOnTheOwnersThread) {
    auto probe = quickProbe();
    ProbeFactory factory(probe);
    auto thread =
        boost::shared_ptr<BVThread>(new BVThread(factory), boost::checked_deleter<BVThread>());
    ASSERT_TRUE(probe->finished.wait());
    thread->join();
    // Joined: the worker has let go of its reference, so the BVThread holds the last one.
    EXPECT_EQ(probe->destructions.load(), 0);
    boost::shared_ptr<BVThread> released;
    released.swap(thread);
    released.reset();
    EXPECT_EQ(probe->destructions.load(), 1);
    EXPECT_EQ(probe->destroyThread.load(), ThreadId::current().value());
    EXPECT_EQ(probe->runs.load(), 1);
}

TEST(BVThreadTest, DestroyingABusyThreadNeitherBlocksNorStopsTheWork) {
    auto probe = std::make_shared<Probe>();
    {
        ProbeFactory factory(probe);
        BVThread thread(factory);
        ASSERT_TRUE(probe->started.wait());
    }  // returns although run() is still waiting at its gate
    EXPECT_FALSE(probe->finished.isOpen());
    probe->mayRun.open();
    ASSERT_TRUE(probe->destroyed.wait());
    EXPECT_TRUE(probe->finished.isOpen());
    EXPECT_EQ(probe->destructions.load(), 1);
}

TEST(BVThreadTest, ExitCodeIsZeroAndTheExecIsReleasedEvenWhenRunThrows) {
    for (bool throws : {false, true}) {
        SCOPED_TRACE(throws ? "run throws" : "run returns");
        auto probe = quickProbe();
        probe->throwFromRun = throws;
        ProbeFactory factory(probe);
        BVThread thread(factory);
        thread.join();
        DWORD code = 12345;
        ASSERT_TRUE(GetExitCodeThread(thread.handle().get(), &code));
        EXPECT_EQ(code, 0u);
        EXPECT_EQ(probe->runs.load(), 1);
    }
}

TEST(BVThreadTest, TheIdIsTheWorkersOwnAndIsPrintedInAFieldOfSix) {
    auto probe = quickProbe();
    ProbeFactory factory(probe);
    BVThread thread(factory);
    thread.join();
    EXPECT_TRUE(thread.id().isSet());
    EXPECT_EQ(thread.id().value(), probe->runThread.load());
    EXPECT_NE(thread.id(), ThreadId::current());

    std::ostringstream text;
    text << std::hex << std::setfill('0') << ThreadId(42) << '|' << ThreadId(1234567) << '|' << 255;
    EXPECT_EQ(text.str(), "    42|1234567|ff");  // the stream's own settings come back
    EXPECT_FALSE(ThreadId());
    EXPECT_TRUE(ThreadId(3) < ThreadId(4));
    EXPECT_EQ(ThreadId(7), ThreadId(7));
}

// Each Exec waits until the other has started: a framework that ran them one after the other
// would hang here (bounded by the gates' patience) and fail.
TEST(BVThreadTest, TwoThreadsRunSideBySide) {
    auto a = std::make_shared<Probe>();
    auto b = std::make_shared<Probe>();
    ProbeFactory fa(a), fb(b);
    BVThread ta(fa);
    BVThread tb(fb);
    ASSERT_TRUE(a->started.wait());
    ASSERT_TRUE(b->started.wait());
    a->mayRun.open();
    b->mayRun.open();
    ta.join();
    tb.join();
    EXPECT_NE(a->runThread.load(), b->runThread.load());
}

#ifndef _WIN32
TEST(BVThreadTest, ARefusedThreadIsAnErrorAndTheExecDiesUnrunOnTheCaller) {
    auto probe = quickProbe();
    ProbeFactory factory(probe);
    bvu::platform::refuseThreadCreationForTests(true);
    try {
        BVThread thread(factory);
        bvu::platform::refuseThreadCreationForTests(false);
        FAIL() << "constructed without a thread";
    } catch (const BVExBase& e) {
        bvu::platform::refuseThreadCreationForTests(false);
        EXPECT_STREQ(e.what(), "Could not start a worker thread: the system refused to create it.");
    }
    EXPECT_EQ(probe->runs.load(), 0);
    EXPECT_EQ(probe->destructions.load(), 1);
    EXPECT_EQ(probe->destroyThread.load(), ThreadId::current().value());
}
#endif

}  // namespace
