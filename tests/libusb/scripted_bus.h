// A small scripted EmulatedBus for tests of the umockdev adapter and the libusb backend: the
// test plugs devices in and pulls them out, answers requests with its own handler, and reads
// back what reached the device.
//
// Threads: thread-safe. Handlers run on the thread that makes the request (the adapter's
// worker); listeners are called on the thread that plugs or unplugs, without a lock held.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "emulator/emulated_bus.h"

namespace bvu {
namespace test {

using emulator::Presence;
using emulator::Reply;

struct BusRequest {
    uint32_t busId;
    bool bulk;
    uint8_t endpoint;            // bulk
    std::vector<uint8_t> setup;  // control: 8 bytes
    std::vector<uint8_t> data;   // OUT data as received
};

class ScriptedBus : public emulator::EmulatedBus {
  public:
    // Answers a control request: fills data (IN, up to wLength) and *transferred.
    using ControlHandler = std::function<Reply(uint32_t busId, const uint8_t* setup, uint8_t* data,
                                               uint32_t* transferred)>;
    using SetInterfaceHandler = std::function<Reply(uint8_t iface, uint8_t alt)>;

    // Descriptors as the device returns them: the run-mode device (vendor class, bulk OUT 0x02
    // and 0x04) and the bootloader (one DFU interface, number 0, no endpoints).
    static std::vector<uint8_t> runModeDescriptors(uint8_t interfaceNumber = 0);
    static std::vector<uint8_t> bootloaderDescriptors();

    // Plugs a device in (listeners see it arrive) and returns its bus id.
    uint32_t plugDevice(uint16_t productId, std::vector<uint8_t> descriptors);
    // Pulls it out (listeners see it leave); later requests to it are Gone.
    void unplugDevice(uint32_t busId);

    // Default: GET_DESCRIPTOR answers the descriptors, other IN requests a counting pattern,
    // OUT requests are taken whole.
    void onControl(ControlHandler handler);
    void onSetInterface(SetInterfaceHandler handler);

    std::vector<BusRequest> requests() const;
    // Waits (real time) until at least n requests have reached the bus.
    bool waitForRequests(size_t n, int timeoutMs = 5000) const;

    // EmulatedBus
    std::vector<Presence> present() const override;
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
    bool isPresent(uint32_t busId) const;
    Reply defaultControl(uint32_t busId, const uint8_t* setup, uint8_t* data,
                         uint32_t* transferred) const;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Presence> devices_;
    std::vector<emulator::BusListener*> listeners_;
    std::vector<BusRequest> requests_;
    ControlHandler control_;
    SetInterfaceHandler setInterface_;
    uint32_t nextBusId_ = 1;
};

}  // namespace test
}  // namespace bvu
