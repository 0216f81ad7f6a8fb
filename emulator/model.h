// DeviceModel: the EmulatedBus with the emulated device (and its twin) on it.
//
// One lock (mutex_) guards all device state. A request runs its handler under it; when the
// device is busy (a DFU command block still running) the request waits on a condition
// variable, which releases the lock, so unplug, inspection and other requests go on. Changes
// of presence are queued under the lock and delivered to the listeners afterwards, in order,
// by whichever thread made them (flushEvents), never with the lock held. Arrivals after a
// re-enumeration delay and replugs come from the model's timer thread, which the destructor
// stops and joins.
//
// The state file is written at every departure and arrival, at plug and unplug, and when the
// last reference to the bus goes (openBus's deleter calls shutdown() and save()). Saves are
// serialised; an older snapshot never overwrites a newer one.
//
// Listeners must not drop the last reference to the bus or call openBus from inside a callback.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "emulator/emulator.h"
#include "emulator/state_file.h"

namespace bvu {
namespace emulator {

// The snapshot of one device's state (emulator.cpp).
DeviceSnapshot snapshotOf(const DeviceState& state, uint64_t requests, size_t pendingFaults,
                          bool twin);

// The live model of a state file in this process, if one is open (else null).
std::shared_ptr<class DeviceModel> liveModel(const std::string& statePath);

class DeviceModel : public EmulatedBus {
  public:
    // Takes the loaded file; devices that were in transit when it was saved arrive at once,
    // a replug that was pending happens at once.
    DeviceModel(std::string path, BusFile file);
    ~DeviceModel() override;

    std::vector<Presence> present() const override;
    void addListener(BusListener* listener) override;
    void removeListener(BusListener* listener) override;
    Reply control(uint32_t busId, const uint8_t setup[8], uint8_t* data,
                  uint32_t* transferred) override;
    Reply bulkOut(uint32_t busId, uint8_t endpoint, const uint8_t* data, uint32_t length,
                  uint32_t* transferred) override;
    Reply setInterface(uint32_t busId, uint8_t interfaceNumber, uint8_t alternateSetting) override;
    void unplug() override;
    void plug() override;
    bool save(std::string* error) override;
    // Plugs the device (not its twin) in at port, out of its old one first if it is plugged
    // in; false (nothing done) when port is not a port text (isPortText) or the twin's.
    bool plugAt(const std::string& port);

    DeviceSnapshot snapshot() const;
    // The units' ports (the device's, then the twin's).
    std::vector<std::string> ports() const;
    std::vector<TraceEntry> traceEntries() const;
    void clearTrace();
    void addFault(const FaultRule& rule);
    void clearFaults();
    bool waitForGuise(Guise guise, uint32_t timeoutMs);
    const std::string& path() const { return path_; }

    // Stops the timer thread (pending arrivals stay pending and are saved as such).
    void shutdown();
    bool onTimerThread() const { return timer_.get_id() == std::this_thread::get_id(); }

  private:
    struct Event {
        bool arrived;
        Presence presence;  // arrived
        uint32_t busId;     // left
    };
    struct Unit {
        DeviceState state;
        uint32_t busId = 0;  // 0 while off the bus
    };

    int unitOf(uint32_t busId) const;
    Presence presenceOf(const Unit& unit) const;
    void arriveLocked(size_t unit, Guise guise);
    void departLocked(size_t unit, const Outcome& outcome, clock::TimePoint now);
    void pullLocked(Unit& unit, clock::TimePoint now);
    void unplugLocked(clock::TimePoint now);
    void plugLocked(clock::TimePoint now);
    void replugLocked(clock::TimePoint now);  // the pending replug: at replugPort_ if one is set
    bool dueTimersLocked(clock::TimePoint now);
    void timerLoop();
    void flushEvents();
    void saveQuietly();
    TraceEntry& record(TraceEntry entry);
    // The faults that end a request before the device sees it (time-out, stall, unplug):
    // true and *reply when the request ends here (the lock may have been released).
    bool endsRequest(const FaultRule& rule, TraceEntry& entry, std::unique_lock<std::mutex>& lock,
                     Reply* reply);

    const std::string path_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;  // presence or device state changed
    std::condition_variable timerWake_;
    std::vector<Unit> units_;
    std::vector<FaultRule> faults_;
    uint64_t requests_ = 0;
    uint64_t sequence_ = 0;
    uint32_t nextBusId_ = 1;
    bool replugPending_ = false;
    clock::TimePoint replugAt_{};
    std::string replugPort_;  // where the device comes back; empty: where it was
    std::deque<TraceEntry> trace_;
    std::deque<Event> events_;
    uint64_t changes_ = 0;  // counts changes, to order saves
    bool stopping_ = false;
    std::thread timer_;

    std::mutex deliverMutex_;  // held while events are delivered, so they arrive in order
    std::mutex listenersMutex_;
    std::vector<BusListener*> listeners_;

    std::mutex saveMutex_;
    uint64_t savedChange_ = 0;
    bool savedOnce_ = false;
};

}  // namespace emulator
}  // namespace bvu
