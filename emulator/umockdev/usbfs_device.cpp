// usbfs for one emulated device node: the kernel's checks, URB bookkeeping per open file, and
// the worker that carries URBs to the bus.
#include "emulator/umockdev/usbfs_device.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "emulator/umockdev/usbfs_rules.h"
#include "platform/clock.h"
#include "usb/descriptor_parser.h"

namespace bvu {
namespace emulator {
namespace {

// As a host controller with scatter-gather (most are) offers: libusb then hands over a bulk
// transfer of any size as one URB, which the device receives as one transfer.
constexpr uint32_t kCapabilities =
    USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
    USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
constexpr long kSpeedHigh = 3;                     // USB_SPEED_HIGH, as USBDEVFS_GET_SPEED answers
constexpr uint32_t kSetInterfaceTimeoutMs = 5000;  // the kernel's USB_CTRL_SET_TIMEOUT

// A g_object reference that lets go by itself.
template <typename T>
struct GRef {
    T* p = nullptr;
    GRef() = default;
    explicit GRef(T* adopted) : p(adopted) {}
    GRef(const GRef&) = delete;
    GRef& operator=(const GRef&) = delete;
    GRef(GRef&& o) noexcept : p(o.p) { o.p = nullptr; }
    GRef& operator=(GRef&& o) noexcept {
        std::swap(p, o.p);
        return *this;
    }
    ~GRef() {
        if (p != nullptr)
            g_object_unref(p);
    }
    static GRef share(T* borrowed) { return GRef(static_cast<T*>(g_object_ref(borrowed))); }
};

using ClientRef = GRef<UMockdevIoctlClient>;
using DataRef = GRef<UMockdevIoctlData>;

void complete(UMockdevIoctlClient* client, long result, int error) {
    umockdev_ioctl_client_complete(client, result, error);
}

// One submitted URB. umockdev writes the client's usbdevfs_urb and buffer back from their
// resolved copies (data, buffer) whenever it answers a request, on its own thread, so the worker
// never touches them: it works on a private copy (bytes), which goes into the resolved buffer,
// with the status, only when the URB is handed back by a reap.
struct Urb {
    UMockdevIoctlClient* client = nullptr;  // the open file it belongs to (its key)
    DataRef data;                           // struct usbdevfs_urb, resolved
    DataRef buffer;                         // its buffer, resolved (null for an empty one)
    gulong address = 0;                     // the URB's address in the client
    // What the worker reads: the URB as submitted.
    uint8_t type = 0;
    uint8_t endpoint = 0;
    unsigned int flags = 0;
    std::vector<uint8_t> bytes;  // control: setup packet and data stage; bulk: the data
    // The outcome, once Done.
    int status = 0;
    int actual = 0;
    enum class State { Queued, Running, Pending, Done } state = State::Queued;
    bool discarded = false;  // DISCARDURB came while it was running
    bool orphaned = false;   // its file was closed

    bool isControl() const { return type == USBDEVFS_URB_TYPE_CONTROL; }
    bool in() const { return isControl() ? (bytes[0] & 0x80) != 0 : (endpoint & 0x80) != 0; }

    // Puts the outcome into the client's copies (called by whoever hands the URB back).
    void writeBack() const {
        auto* u = reinterpret_cast<usbdevfs_urb*>(data.p->data);
        u->status = status;
        u->actual_length = actual;
        if (buffer.p != nullptr && in()) {
            std::memcpy(buffer.p->data, bytes.data(),
                        std::min<size_t>(bytes.size(), buffer.p->data_len));
        }
    }
};
using UrbRef = std::shared_ptr<Urb>;

struct Client {
    ClientRef ref;
    std::list<UrbRef> inFlight;    // queued, running or waiting for an answer
    std::deque<UrbRef> completed;  // waiting to be reaped
    DataRef parkedReap;            // a blocking REAPURB's resolved argument, waiting
};

struct Job {
    UrbRef urb;  // a URB, or else a SETINTERFACE or (clearHalt) a CLEAR_HALT:
    ClientRef client;
    uint8_t interfaceNumber = 0;
    uint8_t alternateSetting = 0;
    bool clearHalt = false;
    uint8_t endpoint = 0;
};

// Things to do once the lock is released (answers to clients).
using Actions = std::vector<std::function<void()>>;

void run(Actions& actions) {
    for (auto& action : actions) action();
    actions.clear();
}

}  // namespace

struct UsbfsDevice::Impl {
    std::shared_ptr<EmulatedBus> bus;
    uint32_t busId = 0;
    uint8_t devnum = 0;
    std::unique_ptr<UsbfsRules> rules;  // guarded by mutex
    GRef<UMockdevIoctlBase> handler;
    int fifo = -1;  // our end of the node: full = nothing to reap

    std::mutex mutex;  // guards everything below
    std::condition_variable jobsChanged;
    std::deque<Job> jobs;
    std::map<UMockdevIoctlClient*, Client> clients;
    size_t reapable = 0;  // completed URBs not yet reaped, over all files
    bool gone = false;
    bool stopping = false;
    std::thread worker;
    // umockdev hands the handler to its ioctl thread with GLib's own locks, which
    // ThreadSanitizer cannot see; the handler's callbacks acquire this (released once the
    // object is complete) before they touch anything else.
    std::atomic<bool> published{false};

    // ---- Readiness of the node (see the header) ----------------------------------------------

    void fill() {
        static const char page[4096] = {};
        while (write(fifo, page, sizeof page) == static_cast<ssize_t>(sizeof page)) {
        }
    }

    void oneMoreReapable() {
        if (reapable++ == 0) {
            char page[4096];
            if (read(fifo, page, sizeof page) < 0) {
                // The FIFO was not full: it polls writable already.
            }
        }
    }

    void oneLessReapable() {
        if (reapable > 0 && --reapable == 0)
            fill();
    }

    // ---- Completion --------------------------------------------------------------------------

    // pointer: the REAP argument (where the client wants the URB's address), resolved on
    // umockdev's thread while the request was received.
    static void deliverReap(UMockdevIoctlClient* client, UMockdevIoctlData* pointer,
                            const UrbRef& urb) {
        urb->writeBack();
        if (!umockdev_ioctl_data_set_ptr(pointer, 0, urb->data.p)) {
            complete(client, -1, EFAULT);
            return;
        }
        complete(client, 0, 0);
    }

    // urb by value: it may be the very entry of inFlight that is removed here.
    void completeLocked(UrbRef urb, int status, int actual, Actions& after) {
        urb->state = Urb::State::Done;
        urb->status = status;
        urb->actual = actual;
        auto c = clients.find(urb->client);
        if (c == clients.end())
            return;
        Client& client = c->second;
        client.inFlight.remove(urb);
        if (client.parkedReap.p != nullptr) {
            auto arg = std::make_shared<DataRef>(std::move(client.parkedReap));
            UMockdevIoctlClient* who = client.ref.p;
            g_object_ref(who);
            after.push_back([who, arg, urb] {
                deliverReap(who, arg->p, urb);
                g_object_unref(who);
            });
            return;
        }
        client.completed.push_back(urb);
        oneMoreReapable();
    }

    // ---- The worker: requests reach the bus here, one at a time ------------------------------

    void workerLoop() {
        for (;;) {
            Job job;
            {
                std::unique_lock<std::mutex> lock(mutex);
                jobsChanged.wait(lock, [this] { return stopping || !jobs.empty(); });
                if (stopping)
                    return;
                job = std::move(jobs.front());
                jobs.pop_front();
                if (job.urb) {
                    if (job.urb->state != Urb::State::Queued)
                        continue;  // discarded meanwhile
                    job.urb->state = Urb::State::Running;
                }
            }
            if (job.urb) {
                runUrb(job.urb);
            } else if (job.clearHalt) {
                runClearHalt(job);
            } else {
                runSetInterface(job);
            }
        }
    }

    void runUrb(const UrbRef& urb) {
        uint8_t* bytes = urb->bytes.data();
        const bool in = urb->in();
        uint32_t wanted = 0;
        uint32_t transferred = 0;
        Reply reply;
        if (urb->isControl()) {
            wanted = static_cast<uint32_t>(bytes[6] | (bytes[7] << 8));
            reply = bus->control(busId, bytes, bytes + 8, &transferred);
        } else if (in) {
            // The bus offers no bulk IN: a device endpoint with nothing to send NAKs.
            reply = Reply::NoAnswer;
        } else {
            wanted = static_cast<uint32_t>(urb->bytes.size());
            reply = bus->bulkOut(busId, urb->endpoint, bytes, wanted, &transferred);
        }
        if (transferred > wanted)
            transferred = wanted;

        Actions after;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (urb->orphaned)
                return;
            if (urb->discarded) {
                completeLocked(urb, -ENOENT, 0, after);
            } else {
                switch (reply) {
                    case Reply::Ack: {
                        int status = 0;
                        if (in && (urb->flags & USBDEVFS_URB_SHORT_NOT_OK) != 0 &&
                            transferred < wanted) {
                            status = -EREMOTEIO;
                        }
                        completeLocked(urb, status, static_cast<int>(transferred), after);
                        break;
                    }
                    case Reply::Stall:
                        completeLocked(urb, -EPIPE, 0, after);
                        break;
                    case Reply::NoAnswer:
                        // Stays pending until the host gives up (DISCARDURB) or the device goes.
                        if (gone) {
                            completeLocked(urb, -ENODEV, 0, after);
                        } else {
                            urb->state = Urb::State::Pending;
                        }
                        break;
                    case Reply::Gone:
                        completeLocked(urb, -ENODEV, 0, after);
                        break;
                }
            }
        }
        run(after);
    }

    // Answers a request that the kernel carries out on the bus by itself as the kernel does: a
    // stall is EPIPE, no answer ETIMEDOUT after the kernel's time-out.
    static void completeAsTheKernel(UMockdevIoctlClient* client, Reply reply) {
        switch (reply) {
            case Reply::Ack:
                complete(client, 0, 0);
                return;
            case Reply::Stall:
                complete(client, -1, EPIPE);
                return;
            case Reply::NoAnswer:
                clock::sleepMs(kSetInterfaceTimeoutMs);
                complete(client, -1, ETIMEDOUT);
                return;
            case Reply::Gone:
                complete(client, -1, ENODEV);
                return;
        }
    }

    // The kernel forgives a stalled SET_INTERFACE on an interface with a single setting; the
    // device's refusal is passed on here instead, so that a host that cannot select its
    // interface is seen to fail.
    void runSetInterface(const Job& job) {
        completeAsTheKernel(job.client.p,
                            bus->setInterface(busId, job.interfaceNumber, job.alternateSetting));
    }

    // The kernel's usb_clear_halt: CLEAR_FEATURE(ENDPOINT_HALT) to the endpoint, on the bus like
    // any control request.
    void runClearHalt(const Job& job) {
        uint8_t setup[8] = {0x02, 0x01, 0x00, 0x00, job.endpoint, 0x00, 0x00, 0x00};
        uint8_t none = 0;
        uint32_t transferred = 0;
        completeAsTheKernel(job.client.p, bus->control(busId, setup, &none, &transferred));
    }

    // ---- ioctl requests (umockdev's ioctl thread) --------------------------------------------

    // Resolves the argument as a pointer to n bytes; null (and EFAULT to the client) on failure.
    static DataRef resolveArg(UMockdevIoctlClient* client, size_t n) {
        DataRef d(
            umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, n, nullptr));
        if (d.p == nullptr)
            complete(client, -1, EFAULT);
        return d;
    }

    template <typename T>
    static bool readArg(UMockdevIoctlClient* client, T* out) {
        DataRef d = resolveArg(client, sizeof(T));
        if (d.p == nullptr)
            return false;
        std::memcpy(out, d.p->data, sizeof(T));
        return true;
    }

    // The file's state, made at its first request.
    Client& clientLocked(UMockdevIoctlClient* client) {
        Client& c = clients[client];
        if (c.ref.p == nullptr)
            c.ref = ClientRef::share(client);
        return c;
    }

    // The kernel forgets a file's claims and URBs when it is closed. umockdev notices a closed
    // file only as its client no longer being connected, and tells nobody, so the files are
    // looked at whenever a request comes in (on umockdev's thread, where they are closed).
    void sweepLocked(std::vector<Client>& dropped) {
        for (auto it = clients.begin(); it != clients.end();) {
            if (umockdev_ioctl_client_get_connected(it->first)) {
                ++it;
                continue;
            }
            rules->releaseAll(it->first);
            for (const UrbRef& urb : it->second.inFlight) urb->orphaned = true;
            for (size_t i = 0; i < it->second.completed.size(); ++i) oneLessReapable();
            dropped.push_back(std::move(it->second));
            it = clients.erase(it);
        }
    }

    void submit(UMockdevIoctlClient* client) {
        DataRef data = resolveArg(client, sizeof(usbdevfs_urb));
        if (data.p == nullptr)
            return;
        auto* u = reinterpret_cast<usbdevfs_urb*>(data.p->data);
        if (u->buffer_length < 0 ||
            (u->type == USBDEVFS_URB_TYPE_CONTROL && u->buffer_length < 8)) {
            complete(client, -1, EINVAL);
            return;
        }
        if (u->type != USBDEVFS_URB_TYPE_CONTROL && u->type != USBDEVFS_URB_TYPE_BULK) {
            complete(client, -1, EINVAL);  // no interrupt or isochronous endpoints here
            return;
        }
        auto urb = std::make_shared<Urb>();
        urb->client = client;
        urb->address = data.p->client_addr;
        if (u->buffer_length > 0) {
            urb->buffer =
                DataRef(umockdev_ioctl_data_resolve(data.p, offsetof(usbdevfs_urb, buffer),
                                                    static_cast<gsize>(u->buffer_length), nullptr));
            if (urb->buffer.p == nullptr) {
                complete(client, -1, EFAULT);
                return;
            }
        }
        urb->type = u->type;
        urb->endpoint = u->endpoint;
        urb->flags = u->flags;
        if (urb->buffer.p != nullptr) {
            urb->bytes.assign(urb->buffer.p->data, urb->buffer.p->data + u->buffer_length);
        }
        urb->data = std::move(data);

        int error = 0;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (gone) {
                error = ENODEV;
            } else if (u->type == USBDEVFS_URB_TYPE_CONTROL) {
                const uint8_t* setup = urb->bytes.data();
                const uint32_t length = static_cast<uint32_t>(setup[6] | (setup[7] << 8));
                if ((u->endpoint & 0x7F) != 0) {
                    error = ENOENT;  // the device has only the default control pipe
                } else if (length > static_cast<uint32_t>(u->buffer_length) - 8) {
                    error = EINVAL;
                } else {
                    error = rules->checkControl(client, setup);
                }
            } else {
                error = rules->checkBulk(client, u->endpoint);
            }
            if (error == 0) {
                clientLocked(client).inFlight.push_back(urb);
                Job job;
                job.urb = urb;
                jobs.push_back(std::move(job));
                jobsChanged.notify_all();
            }
        }
        if (error != 0) {
            complete(client, -1, error);
        } else {
            complete(client, 0, 0);
        }
    }

    void reap(UMockdevIoctlClient* client, bool block) {
        DataRef pointer = resolveArg(client, sizeof(void*));
        if (pointer.p == nullptr)
            return;
        UrbRef urb;
        int error = 0;
        {
            std::lock_guard<std::mutex> lock(mutex);
            Client& c = clientLocked(client);
            if (!c.completed.empty()) {
                urb = std::move(c.completed.front());
                c.completed.pop_front();
                oneLessReapable();
            } else if (gone && c.inFlight.empty()) {
                error = ENODEV;
            } else if (block && c.parkedReap.p == nullptr) {
                c.parkedReap = std::move(pointer);  // answered by the next completion
                return;
            } else {
                error = EAGAIN;
            }
        }
        if (urb) {
            deliverReap(client, pointer.p, urb);
        } else {
            complete(client, -1, error);
        }
    }

    void discard(UMockdevIoctlClient* client) {
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        gulong address = 0;
        std::memcpy(&address, arg->data, std::min<size_t>(sizeof address, arg->data_len));
        Actions after;
        int error = EINVAL;  // not in flight: already completed, or never submitted
        {
            std::lock_guard<std::mutex> lock(mutex);
            Client& c = clientLocked(client);
            for (const UrbRef& urb : c.inFlight) {
                if (urb->address != address)
                    continue;
                error = 0;
                if (urb->state == Urb::State::Running) {
                    urb->discarded = true;  // completed when the bus returns
                } else {
                    completeLocked(urb, -ENOENT, 0, after);
                }
                break;
            }
        }
        run(after);
        if (error != 0) {
            complete(client, -1, error);
        } else {
            complete(client, 0, 0);
        }
    }

    void setInterface(UMockdevIoctlClient* client) {
        usbdevfs_setinterface request{};
        if (!readArg(client, &request))
            return;
        int error = 0;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (gone) {
                error = ENODEV;
            } else if (request.interface > 0xFF) {
                error = EINVAL;
            } else {
                error = rules->claim(client, static_cast<uint8_t>(request.interface));
                if (error == 0 &&
                    (request.altsetting > 0xFF ||
                     !rules->hasAlternate(static_cast<uint8_t>(request.interface),
                                          static_cast<uint8_t>(request.altsetting)))) {
                    error = EINVAL;
                }
            }
            if (error == 0) {
                Job job;
                job.client = ClientRef::share(client);
                job.interfaceNumber = static_cast<uint8_t>(request.interface);
                job.alternateSetting = static_cast<uint8_t>(request.altsetting);
                jobs.push_back(std::move(job));
                jobsChanged.notify_all();
            }
        }
        if (error != 0)
            complete(client, -1, error);  // otherwise the worker answers
    }

    // CLEAR_HALT reaches the device (the worker sends it); RESETEP only resets the host's side
    // of the endpoint (simpleRequest).
    void clearHalt(UMockdevIoctlClient* client) {
        unsigned int endpoint = 0;
        if (!readArg(client, &endpoint))
            return;
        int error = 0;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (gone) {
                error = ENODEV;
            } else if ((endpoint & 0x7F) != 0 &&
                       rules->interfaceOfEndpoint(static_cast<uint8_t>(endpoint)) < 0) {
                error = ENOENT;
            } else {
                Job job;
                job.client = ClientRef::share(client);
                job.clearHalt = true;
                job.endpoint = static_cast<uint8_t>(endpoint);
                jobs.push_back(std::move(job));
                jobsChanged.notify_all();
            }
        }
        if (error != 0)
            complete(client, -1, error);  // otherwise the worker answers
    }

    // Requests that only look at the claims and the descriptors.
    int simpleRequest(UMockdevIoctlClient* client, gulong request, long* result) {
        *result = 0;
        switch (request) {
            case USBDEVFS_CLAIMINTERFACE:
            case USBDEVFS_RELEASEINTERFACE: {
                unsigned int number = 0;
                if (!readArg(client, &number))
                    return -1;
                std::lock_guard<std::mutex> lock(mutex);
                if (request == USBDEVFS_RELEASEINTERFACE) {
                    return number > 0xFF ? EINVAL : rules->release(client, uint8_t(number));
                }
                if (gone)
                    return ENODEV;
                return number > 0xFF ? EINVAL : rules->claim(client, uint8_t(number));
            }
            case USBDEVFS_DISCONNECT_CLAIM: {
                usbdevfs_disconnect_claim claim{};
                if (!readArg(client, &claim))
                    return -1;
                std::lock_guard<std::mutex> lock(mutex);
                if (gone)
                    return ENODEV;
                return claim.interface > 0xFF ? EINVAL
                                              : rules->claim(client, uint8_t(claim.interface));
            }
            case USBDEVFS_SETCONFIGURATION: {
                int value = 0;
                if (!readArg(client, &value))
                    return -1;
                std::lock_guard<std::mutex> lock(mutex);
                return value == rules->configurationValue() ? 0 : EINVAL;
            }
            case USBDEVFS_RESETEP: {
                unsigned int endpoint = 0;
                if (!readArg(client, &endpoint))
                    return -1;
                if ((endpoint & 0x7F) == 0)
                    return 0;
                std::lock_guard<std::mutex> lock(mutex);
                return rules->interfaceOfEndpoint(static_cast<uint8_t>(endpoint)) < 0 ? ENOENT : 0;
            }
            case USBDEVFS_GET_CAPABILITIES: {
                DataRef d = resolveArg(client, sizeof(uint32_t));
                if (d.p == nullptr)
                    return -1;
                std::memcpy(d.p->data, &kCapabilities, sizeof kCapabilities);
                return 0;
            }
            case USBDEVFS_CONNECTINFO: {
                DataRef d = resolveArg(client, sizeof(usbdevfs_connectinfo));
                if (d.p == nullptr)
                    return -1;
                usbdevfs_connectinfo info{};
                info.devnum = devnum;
                info.slow = 0;
                std::memcpy(d.p->data, &info, sizeof info);
                return 0;
            }
            case USBDEVFS_GET_SPEED:
                *result = kSpeedHigh;
                return 0;
            case USBDEVFS_RESET:
                return 0;
            case USBDEVFS_GETDRIVER:
            case USBDEVFS_IOCTL:
                return ENODATA;  // no kernel driver is bound to the device
            default:
                return ENOTTY;
        }
    }

    gboolean onIoctl(UMockdevIoctlClient* client) {
        published.load(std::memory_order_acquire);
        const gulong request = umockdev_ioctl_client_get_request(client);
        std::vector<Client> closed;  // released after the lock
        {
            std::lock_guard<std::mutex> lock(mutex);
            sweepLocked(closed);
            clientLocked(client);  // so that its claims go when it is closed
        }
        switch (request) {
            case USBDEVFS_SUBMITURB:
                submit(client);
                return TRUE;
            case USBDEVFS_REAPURB:
            case USBDEVFS_REAPURBNDELAY:
                reap(client, request == USBDEVFS_REAPURB);
                return TRUE;
            case USBDEVFS_DISCARDURB:
                discard(client);
                return TRUE;
            case USBDEVFS_SETINTERFACE:
                setInterface(client);
                return TRUE;
            case USBDEVFS_CLEAR_HALT:
                clearHalt(client);
                return TRUE;
            default:
                break;
        }
        bool goneNow;
        {
            std::lock_guard<std::mutex> lock(mutex);
            goneNow = gone;
        }
        if (goneNow && request != USBDEVFS_RELEASEINTERFACE) {
            complete(client, -1, ENODEV);
            return TRUE;
        }
        long result = 0;
        int error = simpleRequest(client, request, &result);
        if (error < 0)
            return TRUE;  // already answered (bad argument)
        complete(client, error == 0 ? result : -1, error);
        return TRUE;
    }

    void markGone() {
        Actions after;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (gone)
                return;
            gone = true;
            for (auto& entry : clients) {
                std::vector<UrbRef> waiting;
                for (const UrbRef& urb : entry.second.inFlight) {
                    if (urb->state != Urb::State::Running)
                        waiting.push_back(urb);
                }
                for (const UrbRef& urb : waiting) completeLocked(urb, -ENODEV, 0, after);
                Client& c = entry.second;
                if (c.parkedReap.p != nullptr && c.inFlight.empty()) {
                    UMockdevIoctlClient* who = c.ref.p;
                    g_object_ref(who);
                    c.parkedReap = DataRef();
                    after.push_back([who] {
                        complete(who, -1, ENODEV);
                        g_object_unref(who);
                    });
                }
            }
            // SETINTERFACE and CLEAR_HALT jobs not started yet fail like the rest.
            for (auto it = jobs.begin(); it != jobs.end();) {
                if (!it->urb) {
                    UMockdevIoctlClient* who = it->client.p;
                    g_object_ref(who);
                    after.push_back([who] {
                        complete(who, -1, ENODEV);
                        g_object_unref(who);
                    });
                    it = jobs.erase(it);
                } else {
                    ++it;
                }
            }
        }
        run(after);
    }
};

namespace {

gboolean handleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    return static_cast<UsbfsDevice::Impl*>(self)->onIoctl(client);
}

}  // namespace

std::unique_ptr<UsbfsDevice> UsbfsDevice::create(std::shared_ptr<EmulatedBus> bus,
                                                 const Presence& presence, uint8_t devnum,
                                                 const std::string& nodeFile, std::string* error) {
    std::unique_ptr<Impl> impl(new Impl);
    std::string why;
    UDA_DeviceInfo layout;
    if (!kd::parseDescriptors(presence.descriptors, &layout, &why)) {
        *error = "descriptors of device " + std::to_string(presence.busId) + ": " + why;
        return nullptr;
    }
    if (mkfifo(nodeFile.c_str(), 0666) != 0 && errno != EEXIST) {
        *error = "cannot make " + nodeFile + ": " + std::strerror(errno);
        return nullptr;
    }
    impl->fifo = open(nodeFile.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (impl->fifo < 0) {
        *error = "cannot open " + nodeFile + ": " + std::strerror(errno);
        return nullptr;
    }
    impl->fill();
    impl->rules.reset(new UsbfsRules(std::move(layout)));
    impl->bus = std::move(bus);
    impl->busId = presence.busId;
    impl->devnum = devnum;
    impl->handler = GRef<UMockdevIoctlBase>(umockdev_ioctl_base_new());
    g_signal_connect(impl->handler.p, "handle-ioctl", G_CALLBACK(handleIoctl), impl.get());
    Impl* raw = impl.get();
    impl->worker = std::thread([raw] { raw->workerLoop(); });
    impl->published.store(true, std::memory_order_release);
    return std::unique_ptr<UsbfsDevice>(new UsbfsDevice(std::move(impl)));
}

UsbfsDevice::UsbfsDevice(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

UsbfsDevice::~UsbfsDevice() {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->stopping = true;
        impl_->jobsChanged.notify_all();
    }
    impl_->worker.join();
    g_signal_handlers_disconnect_by_data(impl_->handler.p, impl_.get());
    for (auto& entry : impl_->clients)
        g_signal_handlers_disconnect_by_data(entry.first, impl_.get());
    impl_->jobs.clear();
    impl_->clients.clear();
    if (impl_->fifo >= 0)
        close(impl_->fifo);
}

UMockdevIoctlBase* UsbfsDevice::handler() const {
    return impl_->handler.p;
}

uint32_t UsbfsDevice::busId() const {
    return impl_->busId;
}

void UsbfsDevice::markGone() {
    impl_->markGone();
}

}  // namespace emulator
}  // namespace bvu
