// An emulated bus whose device answers as the test scripts it: the bus contract of
// emulator/emulated_bus.h without the device model, for testing the in-process backend alone.
//
// Thread-safe. Listeners are called without the bus's lock, from the thread that causes the
// change (the test's, a request thread inside a handler, or one of the bus's timer threads);
// removeListener returns only when no call to any listener is in progress. Handlers run on the
// requesting thread, also without the lock. The destructor joins the timer threads.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "emulator/emulated_bus.h"

namespace bvu {
namespace test {

class ScriptedBus : public emulator::EmulatedBus {
  public:
    using Reply = emulator::Reply;
    using ControlHandler = std::function<Reply(uint32_t busId, const uint8_t* setup, uint8_t* data,
                                               uint32_t* transferred)>;
    using BulkHandler = std::function<Reply(uint32_t busId, uint8_t endpoint, const uint8_t* data,
                                            uint32_t length, uint32_t* transferred)>;
    using InterfaceHandler = std::function<Reply(uint32_t busId, uint8_t iface, uint8_t alt)>;

    ScriptedBus() = default;
    ~ScriptedBus() override;

    // A device arrives now (listeners told on this thread); returns its new bus id.
    uint32_t arrive(uint16_t productId, std::vector<uint8_t> descriptors);
    void leave(uint32_t busId);
    // The same, after a nominal delay on the clock, from a timer thread of the bus.
    void leaveLater(uint32_t delayMs, uint32_t busId);

    // Runs once, inside the next present(), after its snapshot is taken.
    void onNextPresent(std::function<void()> hook);
    // Default answers: Ack, nothing moved (control), everything taken (bulk).
    void onControl(ControlHandler handler);
    void onBulkOut(BulkHandler handler);
    void onSetInterface(InterfaceHandler handler);

    // Requests that reached a device on the bus.
    size_t requestCount() const;

    std::vector<emulator::Presence> present() const override;
    void addListener(emulator::BusListener* listener) override;
    void removeListener(emulator::BusListener* listener) override;
    Reply control(uint32_t busId, const uint8_t setup[8], uint8_t* data,
                  uint32_t* transferred) override;
    Reply bulkOut(uint32_t busId, uint8_t endpoint, const uint8_t* data, uint32_t length,
                  uint32_t* transferred) override;
    Reply setInterface(uint32_t busId, uint8_t interfaceNumber, uint8_t alternateSetting) override;
    void unplug() override;
    void plug() override {}
    bool save(std::string*) override { return true; }

  private:
    // Calls f for every listener, outside the lock.
    void tell(const std::function<void(emulator::BusListener*)>& f);
    bool onBus(uint32_t busId) const;  // caller holds mutex_

    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::map<uint32_t, emulator::Presence> devices_;
    std::vector<emulator::BusListener*> listeners_;
    int telling_ = 0;
    uint32_t nextBusId_ = 1;
    size_t requests_ = 0;
    mutable std::function<void()> presentHook_;
    ControlHandler control_;
    BulkHandler bulk_;
    InterfaceHandler interface_;
    std::vector<std::thread> timers_;
};

}  // namespace test
}  // namespace bvu
