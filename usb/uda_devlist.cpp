// The process-wide list of accepted devices, guarded by an auto-reset event used as a lock
// (signalled means free; not re-entrant, so no list operation calls another while holding it).
#include <atomic>

#include "platform/events.h"
#include "usb/uda_internal.h"

namespace {

struct Node {
    Node* next;
    DeviceRef device;
};

constexpr int kLockTimeoutSeconds = 30;

std::atomic<HANDLE> g_lock{nullptr};
Node* pHead = nullptr;  // guarded by g_lock

class ListLock {
  public:
    ListLock() : status_(bvu::waitEvent(g_lock.load(), kLockTimeoutSeconds)) {}
    ~ListLock() {
        if (status_ == 0)
            bvu::signalEvent(g_lock.load());
    }
    UDA_STATUS acquired() const { return status_; }
    UDA_STATUS release() {
        UDA_STATUS s = bvu::signalEvent(g_lock.load());
        status_ = ~0u;  // released
        return s;
    }

  private:
    UDA_STATUS status_;
};

// Unlinks the first node matching pred and hands its device out; null when none matches.
template <typename Pred>
DeviceRef unlinkFirst(Pred pred) {
    for (Node** link = &pHead; *link != nullptr; link = &(*link)->next) {
        if (pred(*(*link)->device)) {
            Node* node = *link;
            *link = node->next;
            DeviceRef device = std::move(node->device);
            delete node;
            return device;
        }
    }
    return nullptr;
}

}  // namespace

namespace devlist {

UDA_STATUS createLock() {
    HANDLE h = nullptr;
    UDA_STATUS s = bvu::createEvent(&h);
    if (s != 0)
        return s;
    s = bvu::signalEvent(h);
    if (s != 0) {
        CloseHandle(h);
        return s;
    }
    g_lock.store(h);
    return 0;
}

void closeLock() {
    HANDLE h = g_lock.exchange(nullptr);
    if (h != nullptr)
        CloseHandle(h);
}

bool lockExists() {
    return g_lock.load() != nullptr;
}

UDA_STATUS add(const DeviceRef& device) {
    ListLock lock;
    if (lock.acquired() != 0)
        return lock.acquired();
    Node* node = new (std::nothrow) Node{pHead, device};
    if (node == nullptr)
        return UDA_INSUFFICIENT_RESOURCES;
    pHead = node;
    return lock.release();
}

UDA_STATUS findByCtx(const DeviceCtx* device, DeviceRef* out) {
    ListLock lock;
    if (lock.acquired() != 0)
        return lock.acquired();
    for (Node* n = pHead; n != nullptr; n = n->next) {
        if (n->device.get() == device) {
            if (out != nullptr)
                *out = n->device;
            return lock.release();
        }
    }
    return UDA_DEVICE_NOT_FOUND;
}

UDA_STATUS findByUniqueId(const DriverCtx* driver, uint32_t id, DeviceRef* out) {
    ListLock lock;
    if (lock.acquired() != 0)
        return lock.acquired();
    for (Node* n = pHead; n != nullptr; n = n->next) {
        if (n->device->driver == driver && n->device->dwUniqueID == id) {
            *out = n->device;
            return lock.release();
        }
    }
    out->reset();
    return UDA_DEVICE_NOT_FOUND;
}

UDA_STATUS remove(const DriverCtx* driver, uint32_t id, DeviceRef* out) {
    ListLock lock;
    if (lock.acquired() != 0)
        return lock.acquired();
    *out =
        unlinkFirst([&](const DeviceCtx& d) { return d.driver == driver && d.dwUniqueID == id; });
    if (*out == nullptr)
        return UDA_DEVICE_NOT_FOUND;
    return lock.release();
}

UDA_STATUS removeAll(const DriverCtx* driver) {
    std::vector<DeviceRef> gone;  // freed after the lock is released
    {
        ListLock lock;
        if (lock.acquired() != 0)
            return lock.acquired();
        while (DeviceRef d = unlinkFirst([&](const DeviceCtx& c) { return c.driver == driver; })) {
            gone.push_back(std::move(d));
        }
        UDA_STATUS s = lock.release();
        if (s != 0)
            return s;
    }
    return 0;
}

}  // namespace devlist
