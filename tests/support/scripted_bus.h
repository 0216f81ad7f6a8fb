// An emulated bus whose devices answer as the test scripts them: the bus contract of
// emulator/emulated_bus.h without the device model, for testing on their own what serves a bus
// (the umockdev adapter) or drives one (the in-process emulator host). The test makes devices
// arrive and leave, answers requests with its own handlers, and reads back what reached them.
//
// Thread-safe. Listeners are called without the bus's lock, from the thread that causes the
// change (the test's, a request thread inside a handler, or one of the bus's timer threads);
// removeListener returns only when no call to any listener is in progress. Handlers run on the
// requesting thread, also without the lock. The destructor joins the timer threads.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "emulator/emulated_bus.h"

namespace bvu {
namespace test {

// A transfer as it reached a device.
struct BusTransfer {
    uint32_t busId = 0;
    bool bulk = false;
    uint8_t endpoint = 0;        // bulk
    std::vector<uint8_t> setup;  // control: the 8-byte setup packet
    std::vector<uint8_t> data;   // OUT data as received
};

class ScriptedBus : public emulator::EmulatedBus {
  public:
    using Reply = emulator::Reply;
    // Answers a control request: fills data (IN, up to wLength) and sets *transferred.
    using ControlHandler = std::function<Reply(uint32_t busId, const uint8_t* setup, uint8_t* data,
                                               uint32_t* transferred)>;
    using BulkHandler = std::function<Reply(uint32_t busId, uint8_t endpoint, const uint8_t* data,
                                            uint32_t length, uint32_t* transferred)>;
    using InterfaceHandler = std::function<Reply(uint32_t busId, uint8_t iface, uint8_t alt)>;

    ScriptedBus() = default;
    ~ScriptedBus() override;

    // A device (vendor 0x03EB) arrives now, listeners told on this thread; returns its new bus
    // id. descriptors: as GET_DESCRIPTOR returns them (tests/support/usb_descriptors.h).
    uint32_t arrive(uint16_t productId, std::vector<uint8_t> descriptors);
    // It leaves now (listeners told on this thread); later requests to it are Gone.
    void leave(uint32_t busId);
    // The same, after a nominal delay on the clock, from a timer thread of the bus.
    void leaveLater(uint32_t delayMs, uint32_t busId);

    // Runs once, inside the next present(), after its snapshot is taken.
    void onNextPresent(std::function<void()> hook);
    // Default answers: GET_DESCRIPTOR gets the device's descriptors, other IN requests the
    // counting pattern 1, 2, 3...; OUT requests and bulk transfers are taken whole; interface
    // selections succeed.
    void onControl(ControlHandler handler);
    void onBulkOut(BulkHandler handler);
    void onSetInterface(InterfaceHandler handler);

    // The control and bulk transfers that reached a device, oldest first.
    std::vector<BusTransfer> transfers() const;
    // Waits (real time) until at least n transfers have reached a device.
    bool waitForTransfers(size_t n, int timeoutMs = 5000) const;
    // Requests of any kind (transfers and interface selections) that reached a device.
    size_t requestCount() const;

    std::vector<emulator::Presence> present() const override;
    void addListener(emulator::BusListener* listener) override;
    void removeListener(emulator::BusListener* listener) override;
    Reply control(uint32_t busId, const uint8_t setup[8], uint8_t* data,
                  uint32_t* transferred) override;
    Reply bulkOut(uint32_t busId, uint8_t endpoint, const uint8_t* data, uint32_t length,
                  uint32_t* transferred) override;
    Reply setInterface(uint32_t busId, uint8_t interfaceNumber, uint8_t alternateSetting) override;
    void unplug() override;  // every device leaves
    void plug() override {}
    bool save(std::string*) override { return true; }

  private:
    // Calls f for every listener, outside the lock.
    void tell(const std::function<void(emulator::BusListener*)>& f);
    bool onBus(uint32_t busId) const;  // caller holds mutex_
    Reply defaultControl(uint32_t busId, const uint8_t* setup, uint8_t* data,
                         uint32_t* transferred) const;  // caller holds mutex_

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;  // a transfer arrived; a listener call ended
    std::map<uint32_t, emulator::Presence> devices_;
    std::vector<emulator::BusListener*> listeners_;
    int telling_ = 0;
    uint32_t nextBusId_ = 1;
    std::vector<BusTransfer> transfers_;
    size_t selections_ = 0;
    mutable std::function<void()> presentHook_;
    ControlHandler control_;
    BulkHandler bulk_;
    InterfaceHandler interface_;
    std::vector<std::thread> timers_;
};

}  // namespace test
}  // namespace bvu
