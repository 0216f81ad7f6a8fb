// openBus: the registry of open models, one per state file and process; a model is saved and
// closed when the last reference to its bus goes.
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>

#include "emulator/model.h"

namespace bvu {
namespace emulator {
namespace {

struct Entry {
    std::weak_ptr<DeviceModel> live;
    DeviceModel* closing = nullptr;  // the last reference went; being saved and destroyed
};

std::mutex g_mutex;
std::condition_variable g_closed;
std::map<std::string, Entry>& registry() {
    static std::map<std::string, Entry> entries;
    return entries;
}

std::string keyOf(const std::string& path) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(path, ec);
    if (ec)
        return path;
    return p.lexically_normal().string();
}

void closeModel(const std::string& key, DeviceModel* model) {
    if (model->onTimerThread()) {
        // The last reference went inside a listener called from the timer thread, which cannot
        // join itself: close on a thread of its own.
        std::thread([key, model] { closeModel(key, model); }).detach();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = registry().find(key);
        if (it != registry().end() && it->second.live.expired())
            it->second.closing = model;
    }
    model->shutdown();
    std::string error;
    if (!model->save(&error))
        std::fprintf(stderr, "emulated device: %s\n", error.c_str());
    delete model;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = registry().find(key);
        if (it != registry().end() && it->second.closing == model)
            registry().erase(it);
    }
    g_closed.notify_all();
}

}  // namespace

std::shared_ptr<DeviceModel> liveModel(const std::string& statePath) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = registry().find(keyOf(statePath));
    if (it == registry().end())
        return nullptr;
    return it->second.live.lock();
}

std::shared_ptr<EmulatedBus> openBus(const std::string& statePath, std::string* error) {
    std::string ignored;
    if (error == nullptr)
        error = &ignored;
    const std::string key = keyOf(statePath);
    std::unique_lock<std::mutex> lock(g_mutex);
    for (;;) {
        auto it = registry().find(key);
        if (it == registry().end())
            break;
        if (auto model = it->second.live.lock())
            return model;
        // Its last reference has just gone: wait until it is saved, then load that.
        g_closed.wait(lock);
    }
    BusFile file;
    if (!readStateFile(statePath, &file, error))
        return nullptr;
    if (file.units.empty()) {
        *error = statePath + ": no device in the state file";
        return nullptr;
    }
    std::shared_ptr<DeviceModel> model(new DeviceModel(statePath, std::move(file)),
                                       [key](DeviceModel* m) { closeModel(key, m); });
    registry()[key] = Entry{model, nullptr};
    return model;
}

}  // namespace emulator
}  // namespace bvu
