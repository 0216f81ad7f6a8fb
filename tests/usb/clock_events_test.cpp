// The clock's scale and the auto-reset events of the platform layer.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/clock.h"
#include "platform/events.h"

namespace {

TEST(Clock, ParsesOnlyPositiveNumbers) {
    double v = 0;
    std::string why;
    EXPECT_TRUE(bvu::clock::parseTimeScale("0.01", &v, &why));
    EXPECT_DOUBLE_EQ(v, 0.01);
    EXPECT_TRUE(bvu::clock::parseTimeScale("2", &v, &why));
    for (const char* bad : {"", "0", "-1", "abc", "1x", "nan", "inf", " "}) {
        EXPECT_FALSE(bvu::clock::parseTimeScale(bad, &v, &why)) << bad;
        EXPECT_FALSE(why.empty());
    }
}

TEST(Clock, ScalesDurationsButKeepsInfiniteAndNeverRoundsToZero) {
    bvu::clock::setTimeScaleForTests(0.001);
    EXPECT_EQ(bvu::clock::scaledMs(10000), 10u);
    EXPECT_EQ(bvu::clock::scaledMs(1), 1u);  // not 0, which would be a mere yield
    EXPECT_EQ(bvu::clock::scaledMs(0), 0u);
    EXPECT_EQ(bvu::clock::scaledMs(INFINITE), INFINITE);
    bvu::clock::setTimeScaleForTests(1.0);
    EXPECT_EQ(bvu::clock::scaledMs(5000), 5000u);
}

TEST(Events, AutoResetSignalWaitDrainAndTimeout) {
    bvu::clock::setTimeScaleForTests(0.01);
    HANDLE e = nullptr;
    ASSERT_EQ(bvu::createEvent(&e), 0u);
    EXPECT_EQ(bvu::waitEvent(e, 1), bvu::kEventTimeout);  // created unsignalled; 10 ms
    EXPECT_EQ(bvu::signalEvent(e), 0u);
    EXPECT_EQ(bvu::waitEvent(e, 1), 0u);
    EXPECT_EQ(bvu::waitEvent(e, 0), bvu::kEventTimeout);  // auto-reset: the signal was consumed
    EXPECT_EQ(bvu::signalEvent(e), 0u);
    EXPECT_EQ(bvu::drainEvent(e), 0u);  // consumes it
    EXPECT_EQ(bvu::waitEvent(e, 0), bvu::kEventTimeout);
    EXPECT_EQ(bvu::drainEvent(e), 0u);  // nothing pending still counts as success

    std::thread t([&] {
        Sleep(20);
        bvu::signalEvent(e);
    });
    EXPECT_EQ(bvu::waitEvent(e, -1), 0u);  // forever, until signalled from another thread
    t.join();
    CloseHandle(e);
    EXPECT_EQ(bvu::waitEvent(nullptr, 0), bvu::kEventFailed);
    EXPECT_EQ(bvu::signalEvent(nullptr), bvu::kEventFailed);
    bvu::clock::setTimeScaleForTests(1.0);
}

#ifndef _WIN32
unsigned __stdcall exitWith(void* p) {
    return *static_cast<unsigned*>(p);
}

TEST(Threads, HandleSignalsAtEndAndOutlivesClose) {
    unsigned code = 7, tid = 0;
    HANDLE h = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, exitWith, &code, 0, &tid));
    ASSERT_NE(h, nullptr);
    EXPECT_NE(tid, 0u);
    EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);  // stays signalled once ended
    DWORD exit = 0;
    EXPECT_TRUE(GetExitCodeThread(h, &exit));
    EXPECT_EQ(exit, 7u);
    CloseHandle(h);

    bvu::platform::refuseThreadCreationForTests(true);
    EXPECT_EQ(_beginthreadex(nullptr, 0, exitWith, &code, 0, &tid), 0u);
    bvu::platform::refuseThreadCreationForTests(false);
}
#endif

}  // namespace
