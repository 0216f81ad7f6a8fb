// The emulated device as seen from the USB bus: the contract between the device model and the
// adapters that serve it (the in-process kernel-driver backend, the umockdev adapter, the
// bvu-emulator tool).
//
// An EmulatedBus is the bus with the emulated device (and, in the "second device" variant, a
// twin) on it. It is loaded from a state file and saved back to it. Requests arrive as they
// would on the wire (setup packet plus data stage, bulk OUT data); the model answers as the
// device would, including delays (on the platform clock), stalls, no answer at all, and leaving
// the bus. Arrivals and departures (re-enumeration, unplug, plug) are reported to listeners.
//
// Threads: every member is thread-safe. Requests may block the calling thread for as long as the
// device takes (for example a DFU GETSTATUS held back until an erase has finished). Listeners are
// called without any lock of the model held, from the thread that caused the change: a request
// thread (the device leaves the bus at once) or the model's timer thread (it arrives in the other
// guise after the re-enumeration delay).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace bvu {
namespace emulator {

enum class Guise { Run, Bootloader, Absent, Bricked };

// A device as it shows itself on the bus.
struct Presence {
    uint32_t busId;  // new for every arrival (a re-enumerated device gets a new one)
    uint16_t vendorId;
    uint16_t productId;
    // The device descriptor (18 bytes) followed by the whole configuration descriptor (with its
    // interface and endpoint descriptors), as GET_DESCRIPTOR returns them.
    std::vector<uint8_t> descriptors;
    // The port the unit is plugged into: "4", or "4.2" for port 2 of a hub on port 4 of the
    // root hub. The same at every arrival of the unit, in either guise, until it is plugged in
    // elsewhere. Empty: the bus does not say (the adapters then pick a free one).
    std::string port;
};

// What became of a request on the bus.
enum class Reply {
    Ack,       // done; *transferred bytes moved
    Stall,     // the device stalled the request
    NoAnswer,  // the device does not answer (NAK forever): the host's time-out decides
    Gone,      // the device is not (or no longer) on the bus
};

class BusListener {
  public:
    virtual ~BusListener() = default;
    virtual void arrived(const Presence& device) = 0;
    virtual void left(uint32_t busId) = 0;
};

// One bus's news passed on with the bus's number, for an adapter that serves several buses.
// Called as the bus calls its listeners.
class BusFeed : public BusListener {
  public:
    using Arrived = std::function<void(uint32_t bus, const Presence& device)>;
    using Left = std::function<void(uint32_t bus, uint32_t busId)>;
    BusFeed(uint32_t bus, Arrived arrived, Left left)
        : bus_(bus), arrived_(std::move(arrived)), left_(std::move(left)) {}
    void arrived(const Presence& device) override { arrived_(bus_, device); }
    void left(uint32_t busId) override { left_(bus_, busId); }

  private:
    const uint32_t bus_;
    const Arrived arrived_;
    const Left left_;
};

class EmulatedBus {
  public:
    virtual ~EmulatedBus() = default;

    // The devices on the bus now.
    virtual std::vector<Presence> present() const = 0;

    // Listeners see every later arrival and departure (not the devices already present).
    virtual void addListener(BusListener* listener) = 0;
    virtual void removeListener(BusListener* listener) = 0;

    // A control transfer. setup is the 8-byte setup packet; for an IN request data receives up
    // to wLength bytes, for an OUT request it holds wLength bytes. May block (device delays).
    virtual Reply control(uint32_t busId, const uint8_t setup[8], uint8_t* data,
                          uint32_t* transferred) = 0;
    // A bulk OUT transfer to an endpoint address (0x02, 0x04).
    virtual Reply bulkOut(uint32_t busId, uint8_t endpoint, const uint8_t* data, uint32_t length,
                          uint32_t* transferred) = 0;
    // SET_INTERFACE (claiming included). Stall when the device refuses it (a variant).
    virtual Reply setInterface(uint32_t busId, uint8_t interfaceNumber,
                               uint8_t alternateSetting) = 0;

    // Power: unplug drops the device off the bus; plug powers it up in the guise that the
    // start-up bit and the flash select.
    virtual void unplug() = 0;
    virtual void plug() = 0;

    // Writes the whole device to its state file (atomically: temporary file, then rename).
    virtual bool save(std::string* error) = 0;
};

// Loads the device from a state file (the file must exist: bvu-emulator create makes it).
// Several callers in one process that open the same path share one bus. Null and a reason on
// failure. The bus is saved at every re-enumeration and when the last reference goes.
std::shared_ptr<EmulatedBus> openBus(const std::string& statePath, std::string* error);

}  // namespace emulator
}  // namespace bvu
