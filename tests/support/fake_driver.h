// A scriptable USB host for unit tests of the driver access layer and the session.
//
// A FakeBus is a bus that tests plug devices into and pull them out of. Every driver file the
// layer opens on it (through factory()) is the real driver core (usb/host_driver.h) over a host
// adapter of this bus, so it sees those arrivals and departures as events and matches and
// offers devices as with real hosts; transfers are answered by the test's handler, and the bus
// records what the layer asked of its driver. Thread-safe: tests drive it from their own thread
// while the layer's event threads wait on it.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "usb/host.h"
#include "usb/kernel_driver.h"

namespace bvu {
namespace test {

struct FakeTransfer {
    uint32_t uniqueId;
    uint32_t pipe;
    uint32_t read;
    std::vector<uint8_t> setup;  // 8 bytes for control transfers
    std::vector<uint8_t> data;   // OUT data as sent
    uint32_t size;
    uint32_t timeoutMs;
};

class FakeBus : public std::enable_shared_from_this<FakeBus> {
  public:
    using TransferHandler = std::function<UDA_STATUS(kd::TransferRequest&)>;

    static std::shared_ptr<FakeBus> create() { return std::shared_ptr<FakeBus>(new FakeBus); }

    // A device with one configuration and one interface (number interfaceNumber, alternate
    // setting 0) carrying bulk OUT pipes with the given endpoint addresses.
    static UDA_DeviceInfo makeInfo(uint16_t vendorId, uint16_t productId,
                                   uint8_t interfaceNumber = 0,
                                   std::vector<uint32_t> pipes = {0x02, 0x04},
                                   uint16_t bcdDevice = 0x0200);

    // The factory to hand to kd::setKernelDriverFactory.
    kd::KernelDriverFactory factory();

    // Plugs a device in: every registered file whose match table fits gets an attach event.
    // info.location is where the host says it is plugged.
    uint32_t plug(const UDA_DeviceInfo& info);
    // Pulls it out: detach events; later transfers to it fail with "Device not found".
    void unplug(uint32_t uniqueId);

    // Answers transfers (default: success, nothing moved). Runs on the caller's thread. The
    // request is as the host sees it: for pipe 0, size is wLength and read the direction bit of
    // the setup packet.
    void onTransfer(TransferHandler handler);
    void onSetInterface(std::function<UDA_STATUS(uint32_t id, uint32_t iface, uint32_t alt)> h);
    // Answers the core's clearing of a halted endpoint (default: success).
    void onClearHalt(std::function<UDA_STATUS(uint32_t id, uint8_t endpoint)> handler);

    // Knobs for failures of the driver itself.
    void setVersion(uint32_t version);
    void setOpenStatus(UDA_STATUS status);      // openKernelDriver fails with it when non-zero
    void setRegisterStatus(UDA_STATUS status);  // the host cannot watch its bus

    // What happened.
    std::vector<FakeTransfer> transfers() const;
    // The halts the core cleared (device, endpoint), oldest first; not among transfers().
    std::vector<std::pair<uint32_t, uint8_t>> haltClears() const;
    size_t transferCount() const;
    std::vector<kd::EventRecord> acknowledgements() const;
    std::vector<kd::EventRecord> registrations() const;
    int openFiles() const;
    // Waits (real time) until at least n acknowledgements have been seen.
    bool waitForAcknowledgements(size_t n, int timeoutMs = 5000) const;

  private:
    class Port;
    class File;
    FakeBus() = default;
    struct Device {
        UDA_DeviceInfo info;
        bool present = true;
    };
    // Calls f for every port that listens, with the bus's lock held (the driver core only
    // queues; a port leaves the list under the lock before it goes).
    void tell(const std::function<void(kd::HostEvents*)>& f);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::map<uint32_t, Device> devices_;
    std::vector<Port*> ports_;
    int files_ = 0;
    uint32_t nextId_ = 100;
    uint32_t version_ = 811;
    UDA_STATUS openStatus_ = 0;
    UDA_STATUS registerStatus_ = 0;
    TransferHandler transferHandler_;
    std::function<UDA_STATUS(uint32_t, uint32_t, uint32_t)> setInterfaceHandler_;
    std::function<UDA_STATUS(uint32_t, uint8_t)> clearHaltHandler_;
    std::vector<std::pair<uint32_t, uint8_t>> haltClears_;
    std::vector<FakeTransfer> transfers_;
    std::vector<kd::EventRecord> acks_;
    std::vector<kd::EventRecord> registrations_;
};

}  // namespace test
}  // namespace bvu
