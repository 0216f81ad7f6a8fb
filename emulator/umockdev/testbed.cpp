// The testbed's own thread and the umockdev calls that add and remove USB devices.
#include "emulator/umockdev/testbed.h"

#include <umockdev.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace bvu {
namespace emulator {

namespace {

std::string format(const char* pattern, unsigned a, unsigned b = 0, unsigned c = 0) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, a, b, c);
    return text;
}

std::string sysName(uint8_t busnum, uint8_t devnum) {
    return format("%u-%u", busnum, devnum);
}

}  // namespace

struct Testbed::Impl {
    std::thread thread;
    std::mutex mutex;  // guards the queue and the counters
    std::condition_variable changed;
    std::deque<std::function<void()>> changes;
    bool stopping = false;
    uint64_t queued = 0;
    uint64_t done = 0;

    // The testbed thread's own.
    UMockdevTestbed* testbed = nullptr;
    std::string root;
    struct Added {
        std::string sysPath;
        std::string name;
    };
    std::map<std::pair<uint8_t, uint8_t>, Added> sysPaths;  // (bus, dev) -> what add() made
    std::vector<std::string> hubs;                          // their syspaths

    void post(std::function<void()> change) {
        std::lock_guard<std::mutex> lock(mutex);
        changes.push_back(std::move(change));
        ++queued;
        changed.notify_all();
    }

    void loop() {
        for (;;) {
            std::function<void()> change;
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [this] { return stopping || !changes.empty(); });
                if (changes.empty())
                    return;  // stopping, and everything done
                change = std::move(changes.front());
                changes.pop_front();
            }
            change();
            {
                std::lock_guard<std::mutex> lock(mutex);
                ++done;
                changed.notify_all();
            }
        }
    }

    static std::string nameOf(const UsbNodeParams& params) {
        return params.sysName.empty() ? sysName(params.busnum, params.devnum) : params.sysName;
    }

    // Everything libusb reads must be there before the "add" event: descriptors first.
    bool writeDescriptors(const std::string& name, const std::vector<uint8_t>& descriptors,
                          GError** error) {
        const std::string dir = root + "/sys/devices/" + name;
        g_mkdir_with_parents(dir.c_str(), 0755);
        return g_file_set_contents((dir + "/descriptors").c_str(),
                                   reinterpret_cast<const char*>(descriptors.data()),
                                   static_cast<gssize>(descriptors.size()), error);
    }

    void addHub(const UsbNodeParams& params) {
        const std::string name = nameOf(params);
        GError* error = nullptr;
        if (!writeDescriptors(name, params.descriptors, &error)) {
            std::fprintf(stderr, "umockdev testbed: hub %s: %s\n", name.c_str(),
                         error != nullptr ? error->message : "failed");
            g_clear_error(&error);
            return;
        }
        const std::string busnum = format("%u\n", params.busnum);
        const std::string devnum = format("%u\n", params.devnum);
        gchar* sysPath = umockdev_testbed_add_device(
            testbed, "usb", name.c_str(), nullptr, "idVendor", "1d6b\n", "idProduct", "0002\n",
            "busnum", busnum.c_str(), "devnum", devnum.c_str(), "speed", "480\n",
            "bConfigurationValue", "1\n", "bNumConfigurations", "1\n", nullptr, "DEVTYPE",
            "usb_device", nullptr);
        if (sysPath != nullptr)
            hubs.push_back(sysPath);
        g_free(sysPath);
    }

    void add(const UsbNodeParams& params, UMockdevIoctlBase* handler) {
        const std::string name = nameOf(params);
        const std::string node = Testbed::nodeName(params.busnum, params.devnum);
        GError* error = nullptr;
        if (!writeDescriptors(name, params.descriptors, &error) ||
            !umockdev_testbed_attach_ioctl(testbed, node.c_str(), handler, &error)) {
            std::fprintf(stderr, "umockdev testbed: device %s: %s\n", node.c_str(),
                         error != nullptr ? error->message : "failed");
            g_clear_error(&error);
            return;
        }
        const unsigned minor = (params.busnum - 1u) * 128u + (params.devnum - 1u);
        const std::string idVendor = format("%04x\n", params.vendorId);
        const std::string idProduct = format("%04x\n", params.productId);
        const std::string bcdDevice = format("%04x\n", params.bcdDevice);
        const std::string busnum = format("%u\n", params.busnum);
        const std::string devnum = format("%u\n", params.devnum);
        const std::string config = format("%u\n", params.configurationValue);
        const std::string dev = format("189:%u\n", minor);
        const std::string busProperty = format("%03u", params.busnum);
        const std::string devProperty = format("%03u", params.devnum);
        const std::string product =
            format("%x/%x/%x", params.vendorId, params.productId, params.bcdDevice);
        gchar* sysPath = umockdev_testbed_add_device(
            testbed, "usb", name.c_str(), nullptr,
            // attributes
            "idVendor", idVendor.c_str(), "idProduct", idProduct.c_str(), "bcdDevice",
            bcdDevice.c_str(), "busnum", busnum.c_str(), "devnum", devnum.c_str(), "speed", "480\n",
            "bConfigurationValue", config.c_str(), "bNumConfigurations", "1\n", "dev", dev.c_str(),
            nullptr,
            // properties
            "DEVNAME", node.c_str(), "DEVTYPE", "usb_device", "DRIVER", "usb", "BUSNUM",
            busProperty.c_str(), "DEVNUM", devProperty.c_str(), "PRODUCT", product.c_str(),
            nullptr);
        if (sysPath == nullptr) {
            std::fprintf(stderr, "umockdev testbed: cannot add %s\n", node.c_str());
            return;
        }
        sysPaths[{params.busnum, params.devnum}] = Added{sysPath, name};
        g_free(sysPath);
    }

    void remove(uint8_t busnum, uint8_t devnum) {
        auto it = sysPaths.find({busnum, devnum});
        if (it == sysPaths.end())
            return;
        const std::string node = Testbed::nodeName(busnum, devnum);
        const Added added = it->second;
        umockdev_testbed_uevent(testbed, added.sysPath.c_str(), "remove");
        // Clients that still have the node open keep talking to the handler, which now answers
        // ENODEV; new ones cannot find the device.
        umockdev_testbed_detach_ioctl(testbed, node.c_str(), nullptr);
        umockdev_testbed_remove_device(testbed, added.sysPath.c_str());
        sysPaths.erase(it);
        // A later device with the same address gets a fresh node and a fresh sysfs entry.
        std::error_code ignored;
        std::filesystem::remove(root + node, ignored);
        std::string infoName = node.substr(1);
        for (char& c : infoName) {
            if (c == '/')
                c = '_';
        }
        std::filesystem::remove(root + "/dev/.node/" + infoName, ignored);
        std::filesystem::remove_all(root + "/sys/devices/" + added.name, ignored);
    }

    void destroy() {
        while (!sysPaths.empty())
            remove(sysPaths.begin()->first.first, sysPaths.begin()->first.second);
        for (const std::string& hub : hubs) umockdev_testbed_remove_device(testbed, hub.c_str());
        hubs.clear();
        g_object_unref(testbed);
        testbed = nullptr;
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);  // umockdev does not always manage to
    }
};

std::unique_ptr<Testbed> Testbed::create(std::string* error) {
    std::unique_ptr<Impl> impl(new Impl);
    std::promise<std::string> made;
    Impl* raw = impl.get();
    impl->thread = std::thread([raw, &made] {
        raw->testbed = umockdev_testbed_new();
        gchar* root =
            raw->testbed != nullptr ? umockdev_testbed_get_root_dir(raw->testbed) : nullptr;
        raw->root = root != nullptr ? root : "";
        g_free(root);
        made.set_value(raw->root);
        if (raw->testbed == nullptr)
            return;
        raw->loop();
        raw->destroy();
    });
    std::string root = made.get_future().get();
    if (root.empty()) {
        impl->thread.join();
        *error = "cannot create the umockdev testbed";
        return nullptr;
    }
    std::unique_ptr<Testbed> testbed(new Testbed(std::move(impl)));
    testbed->root_ = root;
    return testbed;
}

Testbed::Testbed(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Testbed::~Testbed() {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->stopping = true;
        impl_->changed.notify_all();
    }
    impl_->thread.join();
}

std::string Testbed::nodeName(uint8_t busnum, uint8_t devnum) {
    return format("/dev/bus/usb/%03u/%03u", busnum, devnum);
}

std::string Testbed::nodeFile(uint8_t busnum, uint8_t devnum) const {
    const std::string file = root_ + nodeName(busnum, devnum);
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(file).parent_path(), ignored);
    return file;
}

void Testbed::addUsbDevice(const UsbNodeParams& params, UMockdevIoctlBase* handler) {
    Impl* impl = impl_.get();
    impl->post([impl, params, handler] { impl->add(params, handler); });
}

void Testbed::addHub(const UsbNodeParams& params) {
    Impl* impl = impl_.get();
    impl->post([impl, params] { impl->addHub(params); });
}

void Testbed::removeUsbDevice(uint8_t busnum, uint8_t devnum) {
    Impl* impl = impl_.get();
    impl->post([impl, busnum, devnum] { impl->remove(busnum, devnum); });
}

void Testbed::settle() {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    const uint64_t target = impl_->queued;
    impl_->changed.wait(lock, [this, target] { return impl_->done >= target; });
}

}  // namespace emulator
}  // namespace bvu
