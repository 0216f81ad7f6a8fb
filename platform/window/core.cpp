#include "platform/window/core.h"

#include <algorithm>

#include "platform/window/controls.h"
#include "platform/window/front_end.h"

namespace bvu {
namespace window {
namespace {

constexpr UINT kLayerEnable = Core::kEnableMessage;

void observedStart(DWORD creator, DWORD thread) {
    Core::instance().threadStarted(creator, thread);
}
void observedEnd(DWORD thread) {
    Core::instance().threadEnded(thread);
}
const platform::ThreadObserver kObserver{observedStart, observedEnd};

}  // namespace

Core& Core::instance() {
    static Core* core = [] {
        platform::setThreadObserver(&kObserver);
        return new Core();
    }();
    return *core;
}

Window* Core::find(HWND window) {
    auto it = windows_.find(window);
    return it == windows_.end() ? nullptr : &it->second;
}

HWND Core::newHandle() {
    nextHandle_ += 4;
    return reinterpret_cast<HWND>(nextHandle_);
}

HWND Core::addWindow(Window w) {
    w.handle = newHandle();
    HWND h = w.handle;
    windows_.emplace(h, std::move(w));
    return h;
}

void Core::setFrontEnd(FrontEnd* frontEnd) {
    std::lock_guard<std::mutex> lock(mutex_);
    frontEnd_ = frontEnd;
}

FrontEnd* Core::currentFrontEnd() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frontEnd_;
}

void Core::cursorChanged(HCURSOR cursor) {
    FrontEnd* fe = currentFrontEnd();
    if (fe == nullptr)
        return;
    Change c;
    c.what = Change::Cursor;
    c.window = reinterpret_cast<HWND>(cursor);
    fe->changed(c);
}

void Core::notify(const std::vector<Change>& changes) {
    if (changes.empty())
        return;
    FrontEnd* fe = currentFrontEnd();
    if (fe == nullptr)
        return;
    for (const Change& c : changes) fe->changed(c);
}

// ---- Dialogs ----------------------------------------------------------------------------------

INT_PTR Core::runDialog(const DialogTemplate& templ, DLGPROC proc, LPARAM param) {
    const DWORD self = GetCurrentThreadId();
    HWND dialog = nullptr;
    HWND focus = nullptr;
    {
        Lock lock(mutex_);
        if (openDialog_ != nullptr || proc == nullptr)
            return -1;
        std::vector<Kind> kinds;
        for (size_t i = 0; i < templ.controlCount; ++i) {
            Kind kind;
            const ControlTemplate& c = templ.controls[i];
            if (!kindOfClass(c.className, &kind) || !classRegistered(c.className))
                return -1;
            kinds.push_back(kind);
        }
        Window d;
        d.kind = Kind::Dialog;
        d.thread = self;
        d.className = "#32770";
        d.text = templ.caption;
        d.style = templ.style;
        d.exStyle = templ.exStyle;
        d.x = templ.x;
        d.y = templ.y;
        d.cx = templ.cx;
        d.cy = templ.cy;
        d.proc = proc;
        dialog = addWindow(std::move(d));
        for (size_t i = 0; i < templ.controlCount; ++i) {
            const ControlTemplate& c = templ.controls[i];
            Window w;
            w.parent = dialog;
            w.thread = self;
            w.kind = kinds[i];
            w.id = c.id;
            w.className = c.className;
            w.text = c.text;
            w.style = c.style;
            w.exStyle = c.exStyle;
            w.x = c.x;
            w.y = c.y;
            w.cx = c.cx;
            w.cy = c.cy;
            w.enabled = (c.style & WS_DISABLED) == 0;
            HWND h = addWindow(std::move(w));
            find(dialog)->children.push_back(h);
            if (focus == nullptr && (c.style & WS_TABSTOP) && !(c.style & WS_DISABLED))
                focus = h;
        }
        openDialog_ = dialog;
        workers_.clear();
        cv_.notify_all();
    }
    // The dialog goes away however the loop is left, an exception from the procedure included.
    struct Destroy {
        Core* core;
        HWND dialog;
        ~Destroy() { core->destroyDialog(dialog); }
    } destroy{this, dialog};
    if (FrontEnd* fe = currentFrontEnd())
        fe->dialogOpened(dialog);
    dispatch(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(focus), param);
    Lock lock(mutex_);
    find(dialog)->shown = true;
    cv_.notify_all();
    pump(
        lock, [&] { return find(dialog)->ended; }, dialog);
    return find(dialog)->result;
}

BOOL Core::endDialog(HWND dialog, INT_PTR result) {
    std::lock_guard<std::mutex> lock(mutex_);
    Window* d = find(dialog);
    if (d == nullptr || d->kind != Kind::Dialog)
        return FALSE;
    d->ended = true;
    d->result = result;
    cv_.notify_all();
    return TRUE;
}

void Core::destroyDialog(HWND dialog) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Window* d = find(dialog);
        if (d == nullptr)
            return;
        std::set<HWND> gone(d->children.begin(), d->children.end());
        gone.insert(dialog);
        for (HWND h : gone) windows_.erase(h);
        // Nothing may wait for a window that no longer exists: sends to it complete with 0.
        for (auto& entry : queues_) {
            for (auto* list : {&entry.second.sent, &entry.second.posted}) {
                for (auto it = list->begin(); it != list->end();) {
                    if (gone.count(it->window) == 0) {
                        ++it;
                        continue;
                    }
                    if (it->pending)
                        it->pending->done = true;
                    it = list->erase(it);
                }
            }
        }
        if (openDialog_ == dialog)
            openDialog_ = nullptr;
        workers_.clear();
        cv_.notify_all();
    }
    if (FrontEnd* fe = currentFrontEnd())
        fe->dialogEnded(dialog);
}

HWND Core::createControl(HWND parent, const std::string& className, const std::string& text,
                         uint32_t style, uint32_t exStyle, int id, int x, int y, int cx, int cy) {
    Kind kind;
    if (!kindOfClass(className, &kind) || !classRegistered(className))
        return nullptr;
    Change change;
    HWND h = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Window* d = find(parent);
        if (d == nullptr || d->kind != Kind::Dialog)
            return nullptr;
        Window w;
        w.parent = parent;
        w.thread = GetCurrentThreadId();
        w.kind = kind;
        w.id = id;
        w.className = className;
        w.text = text;
        w.style = style;
        w.exStyle = exStyle;
        w.x = x;
        w.y = y;
        w.cx = cx;
        w.cy = cy;
        w.enabled = (style & WS_DISABLED) == 0;
        if (kind == Kind::StatusBar)
            w.partTexts[0] = text;
        h = addWindow(std::move(w));
        find(parent)->children.push_back(h);
        change.what = Change::Created;
        change.window = h;
        change.dialog = parent;
        change.id = id;
    }
    notify({change});
    return h;
}

bool Core::destroyControl(HWND control) {
    std::lock_guard<std::mutex> lock(mutex_);
    Window* w = find(control);
    if (w == nullptr || w->kind == Kind::Dialog)
        return false;
    if (Window* d = find(w->parent)) {
        d->children.erase(std::remove(d->children.begin(), d->children.end(), control),
                          d->children.end());
    }
    windows_.erase(control);
    cv_.notify_all();
    return true;
}

// ---- Messages ---------------------------------------------------------------------------------

LRESULT Core::dispatch(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == BM_CLICK) {
        clickOnOwnerThread(window, false);
        return 0;
    }
    Lock lock(mutex_);
    Window* w = find(window);
    if (w == nullptr)
        return 0;
    std::vector<Change> changes;
    LRESULT result = 0;
    if (message == kLayerEnable) {
        result = w->enabled ? FALSE : TRUE;
        if (w->enabled != (wParam != 0)) {
            w->enabled = wParam != 0;
            Change c;
            c.what = Change::Enabled;
            c.window = window;
            c.dialog = w->kind == Kind::Dialog ? window : w->parent;
            c.id = w->id;
            changes.push_back(c);
        }
    } else if (w->kind == Kind::Dialog) {
        DLGPROC proc = w->proc;
        lock.unlock();
        INT_PTR handled = proc(window, message, wParam, lParam);
        if (handled != FALSE)
            return handled;
        return defaultDialog(window, message, wParam, lParam);
    } else {
        result = controlMessage(*w, message, wParam, lParam, &changes);
    }
    lock.unlock();
    if (!changes.empty())
        cv_.notify_all();  // waitForEnabled and the like look at the state just changed
    notify(changes);
    return result;
}

// What the dialog manager does with a message that the dialog procedure left alone.
LRESULT Core::defaultDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    std::vector<Change> changes;
    LRESULT result = 0;
    {
        Lock lock(mutex_);
        Window* d = find(dialog);
        if (d == nullptr)
            return 0;
        switch (message) {
            case WM_SETTEXT: {
                d->text = lParam != 0 ? reinterpret_cast<const char*>(lParam) : "";
                Change c;
                c.what = Change::Text;
                c.window = c.dialog = dialog;
                c.text = d->text;
                changes.push_back(c);
                result = TRUE;
                break;
            }
            case WM_GETTEXT:
                return copyText(d->text, wParam, lParam);
            case WM_GETTEXTLENGTH:
                return static_cast<LRESULT>(d->text.size());
            case WM_SETICON: {
                int which = wParam == ICON_BIG ? ICON_BIG : ICON_SMALL;
                result = reinterpret_cast<LRESULT>(d->icons[which]);
                d->icons[which] = reinterpret_cast<HICON>(lParam);
                Change c;
                c.what = Change::Icon;
                c.window = c.dialog = dialog;
                changes.push_back(c);
                break;
            }
            case WM_GETICON:
                return reinterpret_cast<LRESULT>(
                    d->icons[wParam == ICON_BIG ? ICON_BIG : ICON_SMALL]);
            case WM_CLOSE:
                // The close command of the title bar arrives as IDCANCEL.
                lock.unlock();
                dispatch(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
                return 0;
            case WM_SETCURSOR:
                lock.unlock();
                SetCursor(arrowCursor());
                return TRUE;
            default:
                return 0;
        }
    }
    notify(changes);
    return result;
}

LRESULT Core::execute(const Item& item) {
    if (item.call)
        return item.call();
    return dispatch(item.window, item.message, item.wParam, item.lParam);
}

LRESULT Core::sendItem(Lock& lock, DWORD owner, Item item) {
    auto pending = std::make_shared<Pending>();
    item.pending = pending;
    queues_[owner].sent.push_back(std::move(item));
    cv_.notify_all();
    const DWORD self = GetCurrentThreadId();
    // Waiting, the sender still handles what is sent to its own windows, so that two threads
    // sending to each other both get on.
    while (!pending->done) {
        auto q = queues_.find(self);
        if (q != queues_.end() && !q->second.sent.empty()) {
            Item mine = std::move(q->second.sent.front());
            q->second.sent.pop_front();
            lock.unlock();
            LRESULT r = 0;
            try {
                r = execute(mine);
            } catch (...) {
                lock.lock();
                mine.pending->done = true;
                cv_.notify_all();
                throw;
            }
            lock.lock();
            mine.pending->result = r;
            mine.pending->done = true;
            cv_.notify_all();
            continue;
        }
        cv_.wait(lock);
    }
    return pending->result;
}

bool Core::postItem(Lock& lock, DWORD owner, Item item) {
    (void)lock;
    queues_[owner].posted.push_back(std::move(item));
    cv_.notify_all();
    return true;
}

LRESULT Core::send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Lock lock(mutex_);
    Window* w = find(window);
    if (w == nullptr)
        return 0;
    DWORD owner = w->thread;
    if (owner == GetCurrentThreadId()) {
        lock.unlock();
        return dispatch(window, message, wParam, lParam);
    }
    Item item;
    item.window = window;
    item.message = message;
    item.wParam = wParam;
    item.lParam = lParam;
    return sendItem(lock, owner, std::move(item));
}

BOOL Core::post(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Lock lock(mutex_);
    Window* w = find(window);
    if (w == nullptr)
        return FALSE;
    Item item;
    item.window = window;
    item.message = message;
    item.wParam = wParam;
    item.lParam = lParam;
    return postItem(lock, w->thread, std::move(item)) ? TRUE : FALSE;
}

LRESULT Core::sendCall(HWND target, std::function<LRESULT()> call) {
    Lock lock(mutex_);
    Window* w = find(target);
    if (w == nullptr)
        return 0;
    DWORD owner = w->thread;
    if (owner == GetCurrentThreadId()) {
        lock.unlock();
        return call();
    }
    Item item;
    item.window = target;
    item.call = std::move(call);
    return sendItem(lock, owner, std::move(item));
}

bool Core::postCall(HWND target, std::function<LRESULT()> call) {
    Lock lock(mutex_);
    Window* w = find(target);
    if (w == nullptr)
        return false;
    Item item;
    item.window = target;
    item.call = std::move(call);
    return postItem(lock, w->thread, std::move(item));
}

void Core::pump(Lock& lock, const std::function<bool()>& done, HWND idleDialog) {
    const DWORD self = GetCurrentThreadId();
    while (!done()) {
        auto q = queues_.find(self);
        if (q != queues_.end() && !q->second.sent.empty()) {
            Item item = std::move(q->second.sent.front());
            q->second.sent.pop_front();
            lock.unlock();
            LRESULT r = 0;
            try {
                r = execute(item);
            } catch (...) {
                lock.lock();
                item.pending->done = true;
                cv_.notify_all();
                throw;
            }
            lock.lock();
            item.pending->result = r;
            item.pending->done = true;
            cv_.notify_all();
            continue;
        }
        if (q != queues_.end() && !q->second.posted.empty()) {
            Item item = std::move(q->second.posted.front());
            q->second.posted.pop_front();
            lock.unlock();
            execute(item);
            lock.lock();
            continue;
        }
        if (idleDialog != nullptr && idleAtEndOfInput(idleDialog, self)) {
            find(idleDialog)->exitSentAtEndOfInput = true;
            FrontEnd* fe = frontEnd_;
            lock.unlock();
            if (fe != nullptr)
                fe->endingAtEndOfInput(idleDialog);
            dispatch(idleDialog, WM_COMMAND,
                     MAKEWPARAM(programResources().endOfInputCommand, BN_CLICKED), 0);
            lock.lock();
            continue;
        }
        cv_.wait(lock);
    }
}

bool Core::idleAtEndOfInput(HWND dialog, DWORD self) {
    Window* d = find(dialog);
    if (!inputEnded_ || d == nullptr || d->ended || d->exitSentAtEndOfInput)
        return false;
    if (!workers_.empty() || !boxes_.empty())
        return false;
    auto q = queues_.find(self);
    return q == queues_.end() || (q->second.sent.empty() && q->second.posted.empty());
}

// ---- Message boxes ----------------------------------------------------------------------------

int Core::messageBox(HWND owner, const std::string& text, const std::string& caption, UINT type) {
    BoxView view;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Window* o = find(owner);
        if (o != nullptr && o->kind != Kind::Dialog)
            o = find(o->parent);
        view.id = ++nextBox_;
        view.owner = o != nullptr ? o->handle : nullptr;
        view.caption = caption;
        view.text = text;
        view.type = type;
        view.thread = GetCurrentThreadId();
        if (o != nullptr)
            ++o->ownedBoxes;
        boxes_.push_back(Box{view, false, 0});
        cv_.notify_all();
    }
    int answer = 0;
    {
        // The box is taken down however the wait ends (a message handled meanwhile may throw).
        struct Close {
            Core* core;
            const BoxView& view;
            int* answer;
            ~Close() {
                std::lock_guard<std::mutex> lock(core->mutex_);
                auto it = std::find_if(core->boxes_.begin(), core->boxes_.end(),
                                       [&](const Box& b) { return b.view.id == view.id; });
                if (it != core->boxes_.end()) {
                    *answer = it->answer;
                    core->boxes_.erase(it);
                }
                if (Window* o = core->find(view.owner))
                    --o->ownedBoxes;
                core->cv_.notify_all();
            }
        } close{this, view, &answer};
        if (FrontEnd* fe = currentFrontEnd())
            fe->boxOpened(view);
        Lock lock(mutex_);
        pump(
            lock,
            [&] {
                for (const Box& b : boxes_) {
                    if (b.view.id == view.id)
                        return b.answered;
                }
                return true;
            },
            nullptr);
    }
    if (FrontEnd* fe = currentFrontEnd())
        fe->boxClosed(view, answer);
    return answer;
}

bool Core::answerBox(int boxId, int answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Box& b : boxes_) {
        if (b.view.id != boxId)
            continue;
        if (b.answered)
            return false;
        b.answered = true;
        b.answer = answer;
        cv_.notify_all();
        return true;
    }
    return false;
}

std::vector<BoxView> Core::openBoxes() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<BoxView> out;
    for (const Box& b : boxes_) {
        if (!b.answered)
            out.push_back(b.view);
    }
    return out;
}

// ---- User input -------------------------------------------------------------------------------

Core::Click Core::clickOnOwnerThread(HWND control, bool byUser) {
    std::vector<Change> changes;
    HWND dialog = nullptr;
    int id = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Window* c = find(control);
        if (c == nullptr || c->kind == Kind::Dialog)
            return Click::NoControl;
        Window* d = find(c->parent);
        if (!c->enabled)
            return Click::Disabled;
        if (byUser && (d == nullptr || d->ended || d->ownedBoxes > 0 || !d->enabled)) {
            return Click::Blocked;
        }
        uint32_t type = c->style & BS_TYPEMASK;
        if (c->kind == Kind::Static && (c->style & SS_NOTIFY) == 0)
            return Click::Inert;
        if (c->kind == Kind::Progress || c->kind == Kind::StatusBar)
            return Click::Inert;
        if (c->kind == Kind::Button) {
            if (type == BS_GROUPBOX)
                return Click::Inert;
            if (type == BS_AUTORADIOBUTTON && d != nullptr) {
                std::vector<Window*> siblings;
                for (HWND h : d->children) siblings.push_back(find(h));
                checkRadioInGroup(siblings, *c, &changes);
            } else if (type == BS_AUTOCHECKBOX) {
                controlMessage(*c, BM_SETCHECK,
                               c->check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED, 0, &changes);
            } else if (type == BS_AUTO3STATE) {
                controlMessage(*c, BM_SETCHECK, (c->check + 1) % 3, 0, &changes);
            }
        }
        dialog = c->parent;
        id = c->id;
    }
    notify(changes);
    dispatch(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(control));
    return Click::Done;
}

}  // namespace window
}  // namespace bvu
