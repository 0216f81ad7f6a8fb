// Choice of the host for each driver file the layer opens.
#include "usb/host_registry.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "usb/host_driver.h"
#include "usb/kernel_driver.h"

namespace bvu {
namespace kd {
namespace {

struct Registered {
    std::string name;
    HostFactory factory;
    bool platformHost;
};

// The registry lives in a function so that registrations from other files' static objects
// find it made, whatever the order of initialisation.
struct Registry {
    std::mutex mutex;
    std::vector<Registered> hosts;
    KernelDriverFactory testFactory;  // tests only; empty means "by environment"
};

Registry& registry() {
    static Registry r;
    return r;
}

// The line for a BVU_USB that names a host this build does not have.
void refuse(const std::string& setting, const std::string& name,
            const std::vector<Registered>& hosts) {
    std::string names;
    for (const Registered& h : hosts) names += (names.empty() ? "" : ", ") + h.name;
    std::fprintf(stderr,
                 "BVU_USB=%s: this build has no USB host \"%s\" (it has: %s); unset BVU_USB to "
                 "use the device itself\n",
                 setting.c_str(), name.c_str(), names.empty() ? "none" : names.c_str());
    std::fflush(stderr);
}

}  // namespace

void registerHost(const char* name, HostFactory factory, bool platformHost) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (const Registered& h : r.hosts) {
        if (h.name == name)
            return;
    }
    r.hosts.push_back(Registered{name, factory, platformHost});
}

std::vector<std::string> hostNames() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::vector<std::string> names;
    for (const Registered& h : r.hosts) names.push_back(h.name);
    return names;
}

void setKernelDriverFactory(KernelDriverFactory factory) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.testFactory = std::move(factory);
}

std::unique_ptr<KernelDriver> openKernelDriver(UDA_STATUS* status) {
    Registry& r = registry();
    KernelDriverFactory testFactory;
    std::vector<Registered> hosts;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        testFactory = r.testFactory;
        hosts = r.hosts;
    }
    if (testFactory)
        return testFactory(status);

    const char* env = std::getenv("BVU_USB");
    const std::string setting = env != nullptr ? env : "";
    const size_t colon = setting.find(':');
    const std::string name = setting.substr(0, colon);
    const std::string argument = colon == std::string::npos ? "" : setting.substr(colon + 1);
    for (const Registered& h : hosts) {
        if (name.empty() ? h.platformHost : h.name == name) {
            UDA_STATUS s = 0;
            std::unique_ptr<Host> host = h.factory(argument, &s);
            if (!host) {
                *status = s != 0 ? s : UDA_INTERNAL_SYSTEM_ERROR;
                return nullptr;
            }
            *status = 0;
            return makeHostDriver(std::move(host));
        }
    }
    if (name.empty()) {
        // No USB host on this platform: as when the kernel driver is not installed.
        *status = UDA_INTERNAL_SYSTEM_ERROR;
        return nullptr;
    }
    refuse(setting, name, hosts);
    *status = UDA_FAILED_TO_OPEN_DRIVER;
    return nullptr;
}

}  // namespace kd
}  // namespace bvu
