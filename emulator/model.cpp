#include "emulator/model.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "emulator/bootloader.h"
#include "emulator/run_mode.h"
#include "emulator/standard_requests.h"

namespace bvu {
namespace emulator {
namespace {

// The models whose events this thread is delivering now (a listener may cause more events).
thread_local std::vector<const DeviceModel*> t_delivering;

bool delivering(const DeviceModel* model) {
    return std::find(t_delivering.begin(), t_delivering.end(), model) != t_delivering.end();
}

clock::TimePoint after(clock::TimePoint now, uint32_t nominalMs) {
    return now + clock::scaled(std::chrono::milliseconds(nominalMs));
}

Reply dispatchControl(DeviceState& d, Guise guise, Request& r, Outcome& o) {
    Reply reply;
    if (handleStandard(d, guise, r, &reply))
        return reply;
    if (guise == Guise::Run)
        return handleRunControl(d, r, o);
    return handleDfuControl(d, r, o);
}

}  // namespace

DeviceModel::DeviceModel(std::string path, BusFile file) : path_(std::move(path)) {
    for (auto& state : file.units) units_.push_back(Unit{std::move(state), 0});
    faults_ = std::move(file.faults);
    requests_ = file.requests;
    nextBusId_ = std::max<uint32_t>(1, file.nextBusId);
    trace_ = std::move(file.trace);
    sequence_ = std::max<uint64_t>(requests_, trace_.empty() ? 0 : trace_.back().sequence);

    const clock::TimePoint now = clock::now();
    for (size_t u = 0; u < units_.size(); ++u) {
        DeviceState& st = units_[u].state;
        if (!st.plugged)
            continue;
        // Whatever delay was under way when the file was saved is over by now.
        if (st.arriving != Guise::Absent) {
            arriveLocked(u, st.arriving);
        } else if (st.onBus == Guise::Run || st.onBus == Guise::Bootloader) {
            units_[u].busId = nextBusId_++;
        }
    }
    if (file.replugPending) {
        replugPort_ = file.replugPort;
        replugLocked(now);
    }
    events_.clear();  // nobody listens yet
    timer_ = std::thread([this] { timerLoop(); });
}

DeviceModel::~DeviceModel() {
    shutdown();
}

void DeviceModel::shutdown() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    timerWake_.notify_all();
    if (timer_.joinable()) {
        if (timer_.get_id() == std::this_thread::get_id()) {
            timer_.detach();
        } else {
            timer_.join();
        }
    }
}

// ---- Presence -------------------------------------------------------------------------------

int DeviceModel::unitOf(uint32_t busId) const {
    if (busId == 0)
        return -1;
    for (size_t u = 0; u < units_.size(); ++u)
        if (units_[u].busId == busId)
            return static_cast<int>(u);
    return -1;
}

Presence DeviceModel::presenceOf(const Unit& unit) const {
    Presence p;
    p.busId = unit.busId;
    p.vendorId = kVendorId;
    p.productId = productIdOf(unit.state.onBus);
    p.descriptors = deviceDescriptor(unit.state, unit.state.onBus);
    std::vector<uint8_t> config = configurationDescriptor(unit.state, unit.state.onBus);
    p.descriptors.insert(p.descriptors.end(), config.begin(), config.end());
    p.port = unit.state.port;
    return p;
}

std::vector<Presence> DeviceModel::present() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Presence> out;
    for (const Unit& unit : units_)
        if (unit.busId != 0)
            out.push_back(presenceOf(unit));
    return out;
}

void DeviceModel::arriveLocked(size_t u, Guise guise) {
    Unit& unit = units_[u];
    unit.state.onBus = guise;
    unit.state.arriving = Guise::Absent;
    unit.state.vanished = false;
    unit.busId = nextBusId_++;
    events_.push_back(Event{true, presenceOf(unit), 0});
    ++changes_;
    changed_.notify_all();
}

void DeviceModel::departLocked(size_t u, const Outcome& outcome, clock::TimePoint now) {
    Unit& unit = units_[u];
    events_.push_back(Event{false, Presence{}, unit.busId});
    unit.busId = 0;
    DeviceState& st = unit.state;
    st.onBus = Guise::Absent;
    resetVolatile(st, now);
    if (outcome.arriveAs == Guise::Absent) {
        st.vanished = true;
        st.arriving = Guise::Absent;
    } else {
        st.arriving = outcome.arriveAs;
        st.arriveAt = after(now, outcome.arriveAfterMs);
        timerWake_.notify_all();
    }
    ++changes_;
    changed_.notify_all();
}

void DeviceModel::pullLocked(Unit& unit, clock::TimePoint now) {
    DeviceState& st = unit.state;
    if (!st.plugged)
        return;
    st.plugged = false;
    if (unit.busId != 0)
        events_.push_back(Event{false, Presence{}, unit.busId});
    unit.busId = 0;
    resetVolatile(st, now);  // power is gone: RAM with it
    st.onBus = Guise::Absent;
    st.arriving = Guise::Absent;
    st.vanished = false;
}

void DeviceModel::unplugLocked(clock::TimePoint now) {
    for (Unit& unit : units_) pullLocked(unit, now);
    replugPending_ = false;
    replugPort_.clear();
    ++changes_;
    changed_.notify_all();
}

void DeviceModel::replugLocked(clock::TimePoint now) {
    if (!replugPort_.empty())
        units_[0].state.port = replugPort_;  // plugged back in elsewhere
    plugLocked(now);
}

void DeviceModel::plugLocked(clock::TimePoint now) {
    for (size_t u = 0; u < units_.size(); ++u) {
        DeviceState& st = units_[u].state;
        if (st.plugged)
            continue;
        st.plugged = true;
        resetVolatile(st, now);
        Guise guise = powerUpGuise(st);
        if (guise != Guise::Absent)
            arriveLocked(u, guise);
    }
    replugPending_ = false;
    replugPort_.clear();
    ++changes_;
    changed_.notify_all();
}

void DeviceModel::unplug() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        unplugLocked(clock::now());
    }
    flushEvents();
    saveQuietly();
}

void DeviceModel::plug() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        plugLocked(clock::now());
    }
    flushEvents();
    saveQuietly();
}

bool DeviceModel::plugAt(const std::string& port) {
    if (!isPortText(port))
        return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t u = 1; u < units_.size(); ++u) {
            if (units_[u].state.port == port)
                return false;  // the twin's
        }
        const clock::TimePoint now = clock::now();
        pullLocked(units_[0], now);  // out of its old port first, if it is plugged in
        units_[0].state.port = port;
        plugLocked(now);
    }
    flushEvents();
    saveQuietly();
    return true;
}

// ---- Timer thread ---------------------------------------------------------------------------

bool DeviceModel::dueTimersLocked(clock::TimePoint now) {
    bool any = false;
    for (size_t u = 0; u < units_.size(); ++u) {
        DeviceState& st = units_[u].state;
        if (st.plugged && st.arriving != Guise::Absent && st.arriveAt <= now) {
            arriveLocked(u, st.arriving);
            any = true;
        }
    }
    if (replugPending_ && replugAt_ <= now) {
        replugLocked(now);
        any = true;
    }
    return any;
}

void DeviceModel::timerLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        bool pending = false;
        clock::TimePoint next = clock::TimePoint::max();
        for (const Unit& unit : units_) {
            if (unit.state.plugged && unit.state.arriving != Guise::Absent) {
                pending = true;
                next = std::min(next, unit.state.arriveAt);
            }
        }
        if (replugPending_) {
            pending = true;
            next = std::min(next, replugAt_);
        }
        if (pending && clock::now() >= next) {
            if (dueTimersLocked(clock::now())) {
                lock.unlock();
                flushEvents();
                saveQuietly();
                lock.lock();
            }
            continue;
        }
        if (pending) {
            timerWake_.wait_until(lock, next);
        } else {
            timerWake_.wait(lock);
        }
    }
}

// ---- Listeners ------------------------------------------------------------------------------

void DeviceModel::addListener(BusListener* listener) {
    std::lock_guard<std::mutex> lock(listenersMutex_);
    listeners_.push_back(listener);
}

void DeviceModel::removeListener(BusListener* listener) {
    // Waiting for a delivery under way guarantees that the listener is not called after this
    // returns (unless it removes itself from its own callback).
    std::unique_lock<std::mutex> delivery(deliverMutex_, std::defer_lock);
    if (!delivering(this))
        delivery.lock();
    std::lock_guard<std::mutex> lock(listenersMutex_);
    listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener), listeners_.end());
}

void DeviceModel::flushEvents() {
    if (delivering(this))
        return;  // the delivery under way on this thread takes them
    std::lock_guard<std::mutex> delivery(deliverMutex_);
    t_delivering.push_back(this);
    for (;;) {
        Event event;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (events_.empty())
                break;
            event = std::move(events_.front());
            events_.pop_front();
        }
        std::vector<BusListener*> listeners;
        {
            std::lock_guard<std::mutex> lock(listenersMutex_);
            listeners = listeners_;
        }
        for (BusListener* l : listeners) {
            if (event.arrived) {
                l->arrived(event.presence);
            } else {
                l->left(event.busId);
            }
        }
    }
    t_delivering.erase(std::find(t_delivering.begin(), t_delivering.end(), this));
}

// ---- Requests -------------------------------------------------------------------------------

TraceEntry& DeviceModel::record(TraceEntry entry) {
    entry.sequence = ++sequence_;
    trace_.push_back(std::move(entry));
    while (trace_.size() > kTraceLimit) trace_.pop_front();
    ++changes_;
    return trace_.back();
}

namespace {

// The faults that the device itself carries out once a request has reached it: a short or empty
// reply (limit: the bytes of the data stage that move), a ready byte that never comes, a
// bootloader that stays busy.
void applyDeviceFault(const FaultRule& rule, uint32_t* limit, DeviceState& st) {
    if (rule.kind == FaultKind::Short)
        *limit = std::min(rule.bytes, *limit);
    if (rule.kind == FaultKind::Empty)
        *limit = 0;
    if (rule.kind == FaultKind::NeverReady)
        st.neverReady = true;
    if (rule.kind == FaultKind::Busy)
        st.stuckBusy = true;
}

}  // namespace

bool DeviceModel::endsRequest(const FaultRule& rule, TraceEntry& entry,
                              std::unique_lock<std::mutex>& lock, Reply* reply) {
    switch (rule.kind) {
        case FaultKind::Timeout:
            *reply = Reply::NoAnswer;
            break;
        case FaultKind::Stall:
            *reply = Reply::Stall;
            break;
        case FaultKind::Unplug: {
            const clock::TimePoint now = clock::now();
            unplugLocked(now);
            if (rule.replugAfterMs > 0) {
                replugPending_ = true;
                replugAt_ = after(now, rule.replugAfterMs);
                replugPort_ = rule.replugPort;
                timerWake_.notify_all();
            }
            entry.reply = Reply::Gone;
            record(std::move(entry));
            lock.unlock();
            flushEvents();
            saveQuietly();
            *reply = Reply::Gone;
            return true;
        }
        default:
            return false;
    }
    entry.reply = *reply;
    record(std::move(entry));
    return true;
}

Reply DeviceModel::control(uint32_t busId, const uint8_t setup[8], uint8_t* data,
                           uint32_t* transferred) {
    *transferred = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    const int found = unitOf(busId);
    if (found < 0)
        return Reply::Gone;
    const size_t u = static_cast<size_t>(found);
    DeviceState& st = units_[u].state;
    const Guise guise = st.onBus;
    const bool in = (setup[0] & 0x80) != 0;
    const uint32_t wLength = static_cast<uint32_t>(setup[6] | setup[7] << 8);

    TraceEntry entry;
    entry.device = static_cast<int>(u);
    entry.guise = guise;
    entry.kind = TraceKind::Control;
    std::memcpy(entry.setup, setup, 8);

    FaultRule rule;
    bool struck = false;
    if (u == 0) {
        ++requests_;
        struck = strikeRule(faults_, RequestView{guise, setup, 0}, &rule);
    }
    uint32_t limit = wLength;  // bytes of the data stage that actually move
    if (struck) {
        entry.fault = faultKindName(rule.kind);
        Reply early;
        if (endsRequest(rule, entry, lock, &early))
            return early;
        applyDeviceFault(rule, &limit, st);
    }
    if (data == nullptr)
        limit = 0;

    Request r;
    std::memcpy(r.setup, setup, 8);
    r.out = in ? nullptr : data;
    r.outLength = in ? 0 : limit;
    r.inCapacity = in ? limit : 0;
    Outcome outcome;
    Reply reply;
    if (struck && rule.kind == FaultKind::DfuError) {
        r.now = clock::now();
        reply = guise == Guise::Bootloader ? strikeDfuError(st, r, rule.status) : Reply::Stall;
    } else {
        for (;;) {
            r.now = clock::now();
            r.reply.clear();
            outcome = Outcome{};
            reply = dispatchControl(st, guise, r, outcome);
            if (!outcome.busy)
                break;
            // The device is still busy with an earlier command: it holds this request back.
            changed_.wait_until(lock, outcome.retryAt);
            if (unitOf(busId) != found) {
                entry.reply = Reply::Gone;
                record(std::move(entry));
                return Reply::Gone;
            }
        }
    }

    if (in) {
        if (reply == Reply::Ack) {
            const uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(r.reply.size()), limit);
            if (n > 0)
                std::memcpy(data, r.reply.data(), n);
            *transferred = n;
            entry.data.assign(r.reply.begin(), r.reply.begin() + n);
            entry.dataLength = n;
        }
    } else {
        if (reply == Reply::Ack)
            *transferred = limit;
        entry.data.assign(data, data + limit);
        entry.dataLength = limit;
    }
    entry.reply = reply;
    record(std::move(entry));
    if (outcome.leave)
        departLocked(u, outcome, r.now);
    changed_.notify_all();
    lock.unlock();
    if (outcome.leave) {
        flushEvents();
        saveQuietly();
    }
    return reply;
}

Reply DeviceModel::bulkOut(uint32_t busId, uint8_t endpoint, const uint8_t* data, uint32_t length,
                           uint32_t* transferred) {
    *transferred = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    const int found = unitOf(busId);
    if (found < 0)
        return Reply::Gone;
    const size_t u = static_cast<size_t>(found);
    DeviceState& st = units_[u].state;
    const Guise guise = st.onBus;

    TraceEntry entry;
    entry.device = static_cast<int>(u);
    entry.guise = guise;
    entry.kind = TraceKind::Bulk;
    entry.endpoint = endpoint;

    // A halted endpoint answers with a STALL handshake by itself: nothing reaches the device's
    // function, and the fault rules do not see the transfer.
    if (st.halted.count(endpoint) != 0) {
        if (u == 0)
            ++requests_;
        entry.reply = Reply::Stall;
        record(std::move(entry));
        return Reply::Stall;
    }
    FaultRule rule;
    bool struck = false;
    if (u == 0) {
        ++requests_;
        struck = strikeRule(faults_, RequestView{guise, nullptr, endpoint}, &rule);
    }
    uint32_t limit = data == nullptr ? 0 : length;
    if (struck) {
        entry.fault = faultKindName(rule.kind);
        Reply early;
        if (endsRequest(rule, entry, lock, &early)) {
            if (early == Reply::Stall && hasBulkEndpoint(guise, endpoint))
                st.halted.insert(endpoint);  // the lock is still held after a stall
            return early;
        }
        applyDeviceFault(rule, &limit, st);
    }
    Outcome outcome;
    Reply reply = Reply::Stall;  // the bootloader has no bulk endpoints
    const clock::TimePoint now = clock::now();
    uint32_t accepted = 0;
    if (guise == Guise::Run && !(struck && rule.kind == FaultKind::DfuError))
        reply = handleRunBulk(st, endpoint, data, limit, &accepted, outcome, now);
    *transferred = reply == Reply::Ack ? accepted : 0;
    if (reply == Reply::Stall && hasBulkEndpoint(guise, endpoint))
        st.halted.insert(endpoint);
    entry.data.assign(data, data + limit);
    entry.dataLength = limit;
    entry.reply = reply;
    record(std::move(entry));
    if (outcome.leave)
        departLocked(u, outcome, now);
    changed_.notify_all();
    lock.unlock();
    if (outcome.leave) {
        flushEvents();
        saveQuietly();
    }
    return reply;
}

Reply DeviceModel::setInterface(uint32_t busId, uint8_t interfaceNumber, uint8_t alternateSetting) {
    std::unique_lock<std::mutex> lock(mutex_);
    const int found = unitOf(busId);
    if (found < 0)
        return Reply::Gone;
    const size_t u = static_cast<size_t>(found);
    const uint8_t setup[8] = {0x01, 0x0B, alternateSetting, 0, interfaceNumber, 0, 0, 0};
    TraceEntry entry;
    entry.device = static_cast<int>(u);
    entry.guise = units_[u].state.onBus;
    entry.kind = TraceKind::SetInterface;
    std::memcpy(entry.setup, setup, 8);
    FaultRule rule;
    if (u == 0) {
        ++requests_;
        if (strikeRule(faults_, RequestView{entry.guise, setup, 0}, &rule)) {
            entry.fault = faultKindName(rule.kind);
            Reply early;
            if (endsRequest(rule, entry, lock, &early))
                return early;
        }
    }
    entry.reply = setInterfaceRequest(units_[u].state, interfaceNumber, alternateSetting);
    Reply reply = entry.reply;
    record(std::move(entry));
    return reply;
}

// ---- Inspection and faults ------------------------------------------------------------------

DeviceSnapshot DeviceModel::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return snapshotOf(units_[0].state, requests_, faults_.size(), units_.size() > 1);
}

std::vector<std::string> DeviceModel::ports() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const Unit& unit : units_) out.push_back(unit.state.port);
    return out;
}

std::vector<TraceEntry> DeviceModel::traceEntries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::vector<TraceEntry>(trace_.begin(), trace_.end());
}

void DeviceModel::clearTrace() {
    std::lock_guard<std::mutex> lock(mutex_);
    trace_.clear();
    ++changes_;
}

void DeviceModel::addFault(const FaultRule& rule) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.push_back(rule);
    ++changes_;
}

void DeviceModel::clearFaults() {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.clear();
    ++changes_;
}

bool DeviceModel::waitForGuise(Guise guise, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    const clock::TimePoint deadline = after(clock::now(), timeoutMs);
    return changed_.wait_until(lock, deadline, [&] {
        const DeviceState& st = units_[0].state;
        return (st.bricked ? Guise::Bricked : st.onBus) == guise;
    });
}

// ---- Saving ---------------------------------------------------------------------------------

bool DeviceModel::save(std::string* error) {
    std::string text;
    uint64_t change = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        BusFile file;
        for (const Unit& unit : units_) file.units.push_back(unit.state);
        file.faults = faults_;
        file.requests = requests_;
        file.nextBusId = nextBusId_;
        file.replugPending = replugPending_;
        file.replugAt = replugAt_;
        file.replugPort = replugPort_;
        for (const TraceEntry& e : trace_) {
            file.trace.push_back(e);
            if (e.data.size() > kTraceFileDataLimit)
                file.trace.back().data.resize(kTraceFileDataLimit);
        }
        text = encodeStateFile(file, clock::now());
        change = changes_;
    }
    std::lock_guard<std::mutex> lock(saveMutex_);
    if (savedOnce_ && change < savedChange_)
        return true;  // a newer state is on disk already
    if (!writeFileAtomically(path_, text, error))
        return false;
    savedChange_ = change;
    savedOnce_ = true;
    return true;
}

void DeviceModel::saveQuietly() {
    std::string error;
    if (!save(&error))
        std::fprintf(stderr, "emulated device: %s\n", error.c_str());
}

}  // namespace emulator
}  // namespace bvu
