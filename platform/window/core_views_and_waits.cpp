// The core's read-only views, its waits, the end of input and the worker count (see core.h).
#include "platform/window/core.h"

namespace bvu {
namespace window {

// ---- Reading state ----------------------------------------------------------------------------

HWND Core::openDialog() {
    std::lock_guard<std::mutex> lock(mutex_);
    Window* d = find(openDialog_);
    return d != nullptr && d->shown ? openDialog_ : nullptr;
}

HWND Core::dialogItem(HWND dialog, int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    Window* d = find(dialog);
    if (d == nullptr)
        return nullptr;
    for (HWND h : d->children) {
        if (find(h)->id == id)
            return h;
    }
    return nullptr;
}

bool Core::isWindow(HWND window) {
    std::lock_guard<std::mutex> lock(mutex_);
    return find(window) != nullptr;
}

HWND Core::parentOf(HWND window) {
    std::lock_guard<std::mutex> lock(mutex_);
    Window* w = find(window);
    return w != nullptr ? w->parent : nullptr;
}

int Core::idOf(HWND window) {
    std::lock_guard<std::mutex> lock(mutex_);
    Window* w = find(window);
    return w != nullptr ? w->id : 0;
}

bool Core::isEnabled(HWND window) {
    std::lock_guard<std::mutex> lock(mutex_);
    Window* w = find(window);
    return w != nullptr && w->enabled;
}

namespace {
ControlView viewOf(const Window& w) {
    ControlView v;
    v.handle = w.handle;
    v.id = w.id;
    v.kind = w.kind;
    v.className = w.className;
    v.text = w.text;
    v.style = w.style;
    v.x = w.x;
    v.y = w.y;
    v.cx = w.cx;
    v.cy = w.cy;
    v.enabled = w.enabled;
    v.check = w.check;
    v.low = w.low;
    v.high = w.high;
    v.pos = w.pos;
    v.parts = w.parts;
    v.partTexts = w.partTexts;
    return v;
}
}  // namespace

bool Core::dialogView(DialogView* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    Window* d = find(openDialog_);
    if (d == nullptr || !d->shown)
        return false;
    out->handle = d->handle;
    out->caption = d->text;
    out->cx = d->cx;
    out->cy = d->cy;
    out->blocked = d->ended || d->ownedBoxes > 0;
    out->icons[0] = d->icons[0];
    out->icons[1] = d->icons[1];
    out->controls.clear();
    for (HWND h : d->children) out->controls.push_back(viewOf(*find(h)));
    return true;
}

bool Core::controlView(HWND control, ControlView* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    Window* w = find(control);
    if (w == nullptr)
        return false;
    *out = viewOf(*w);
    return true;
}

bool Core::waitForDialog(clock::TimePoint deadline) {
    Lock lock(mutex_);
    return cv_.wait_until(lock, deadline, [&] {
        Window* d = find(openDialog_);
        return d != nullptr && d->shown;
    });
}

bool Core::waitForNoDialog(clock::TimePoint deadline) {
    Lock lock(mutex_);
    return cv_.wait_until(lock, deadline, [&] { return openDialog_ == nullptr; });
}

bool Core::waitForEnabled(int id, bool enabled, clock::TimePoint deadline) {
    Lock lock(mutex_);
    return cv_.wait_until(lock, deadline, [&] {
        Window* d = find(openDialog_);
        if (d == nullptr || !d->shown)
            return false;
        for (HWND h : d->children) {
            Window* c = find(h);
            if (c->id == id)
                return c->enabled == enabled;
        }
        return false;
    });
}

bool Core::waitForBox(clock::TimePoint deadline, BoxView* out) {
    Lock lock(mutex_);
    return cv_.wait_until(lock, deadline, [&] {
        for (const Box& b : boxes_) {
            if (!b.answered) {
                if (out != nullptr)
                    *out = b.view;
                return true;
            }
        }
        return false;
    });
}

// ---- End of input and workers -----------------------------------------------------------------

void Core::setInputEnded(bool ended) {
    std::lock_guard<std::mutex> lock(mutex_);
    inputEnded_ = ended;
    cv_.notify_all();
}

bool Core::inputEnded() {
    std::lock_guard<std::mutex> lock(mutex_);
    return inputEnded_;
}

void Core::threadStarted(DWORD creator, DWORD thread) {
    std::lock_guard<std::mutex> lock(mutex_);
    Window* d = find(openDialog_);
    if (d != nullptr && d->thread == creator)
        workers_.insert(thread);
}

void Core::threadEnded(DWORD thread) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (workers_.erase(thread) != 0)
        cv_.notify_all();
}

size_t Core::runningWorkers() {
    std::lock_guard<std::mutex> lock(mutex_);
    return workers_.size();
}

}  // namespace window
}  // namespace bvu
