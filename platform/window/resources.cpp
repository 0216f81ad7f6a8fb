// Resources and classes of the POSIX window layer: lookups in the program's resources, icons,
// system cursors, the current cursor, the common control classes and the module handle.
#include <strings.h>
#include <atomic>
#include <mutex>
#include <vector>

#include "platform/window/controls.h"
#include "platform/window/core.h"
#include "platform/window/headless_driver.h"
#include "platform/window/resource_table.h"

namespace bvu {
namespace window {
namespace {

// Handle values: cursors and icons live in ranges of their own, away from window handles.
constexpr uintptr_t kCursorBase = 0x100000;
constexpr uintptr_t kIconBase = 0x200000;
constexpr int kArrow = 32512;

std::atomic<DWORD> g_commonControls{0};
std::atomic<HCURSOR> g_cursor{reinterpret_cast<HCURSOR>(kCursorBase + kArrow)};

struct LoadedIcon {
    int resourceId;
    int cx, cy;
    bool shared;
};
std::mutex g_iconMutex;
std::vector<LoadedIcon> g_icons;

HCURSOR systemCursor(int id) {
    static const int known[] = {32512, 32513, 32514, 32515, 32516, 32640, 32641, 32642,
                                32643, 32644, 32645, 32646, 32648, 32649, 32650, 32651};
    for (int k : known) {
        if (k == id)
            return reinterpret_cast<HCURSOR>(kCursorBase + id);
    }
    return nullptr;
}

HICON loadIcon(int resourceId, int cx, int cy, bool shared) {
    if (findIcon(resourceId) == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> lock(g_iconMutex);
    for (size_t i = 0; shared && i < g_icons.size(); ++i) {
        const LoadedIcon& l = g_icons[i];
        if (l.shared && l.resourceId == resourceId && l.cx == cx && l.cy == cy) {
            return reinterpret_cast<HICON>(kIconBase + 4 * i);
        }
    }
    g_icons.push_back(LoadedIcon{resourceId, cx, cy, shared});
    return reinterpret_cast<HICON>(kIconBase + 4 * (g_icons.size() - 1));
}

}  // namespace

const DialogTemplate* findDialogTemplate(int resourceId) {
    const ResourceTable& t = programResources().table;
    for (size_t i = 0; i < t.dialogCount; ++i) {
        if (t.dialogs[i].resourceId == resourceId)
            return &t.dialogs[i];
    }
    return nullptr;
}

const IconResource* findIcon(int resourceId) {
    const ResourceTable& t = programResources().table;
    for (size_t i = 0; i < t.iconCount; ++i) {
        if (t.icons[i].resourceId == resourceId)
            return &t.icons[i];
    }
    return nullptr;
}

bool classRegistered(const std::string& className) {
    const DWORD icc = g_commonControls.load();
    if (strcasecmp(className.c_str(), PROGRESS_CLASSA) == 0)
        return (icc & ICC_PROGRESS_CLASS) != 0;
    if (strcasecmp(className.c_str(), STATUSCLASSNAMEA) == 0)
        return (icc & ICC_BAR_CLASSES) != 0;
    return true;
}

HCURSOR arrowCursor() {
    return systemCursor(kArrow);
}

namespace headless {

bool iconInfo(HICON icon, int* resourceId, int* cx, int* cy) {
    uintptr_t v = reinterpret_cast<uintptr_t>(icon);
    if (v < kIconBase || (v - kIconBase) % 4 != 0)
        return false;
    std::lock_guard<std::mutex> lock(g_iconMutex);
    size_t i = (v - kIconBase) / 4;
    if (i >= g_icons.size())
        return false;
    *resourceId = g_icons[i].resourceId;
    *cx = g_icons[i].cx;
    *cy = g_icons[i].cy;
    return true;
}

int systemCursorId(HCURSOR cursor) {
    uintptr_t v = reinterpret_cast<uintptr_t>(cursor);
    if (v <= kCursorBase || v >= kIconBase)
        return 0;
    return static_cast<int>(v - kCursorBase);
}

void unregisterCommonControlsForTests() {
    g_commonControls.store(0);
}

}  // namespace headless
}  // namespace window
}  // namespace bvu

using bvu::window::Core;

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init) {
    if (init == nullptr || init->dwSize != sizeof(INITCOMMONCONTROLSEX))
        return FALSE;
    bvu::window::g_commonControls.fetch_or(init->dwICC);
    return TRUE;
}

HANDLE LoadImageA(HINSTANCE instance, LPCSTR name, UINT type, int cx, int cy, UINT flags) {
    if (!IS_INTRESOURCE(name))
        return nullptr;
    int id = static_cast<int>(reinterpret_cast<uintptr_t>(name));
    if (type == IMAGE_CURSOR && instance == nullptr)
        return bvu::window::systemCursor(id);
    if (type != IMAGE_ICON || instance != GetModuleHandleA(nullptr))
        return nullptr;
    return bvu::window::loadIcon(id, cx, cy, (flags & LR_SHARED) != 0);
}

HICON LoadIconA(HINSTANCE instance, LPCSTR name) {
    // The system's default icon size.
    return static_cast<HICON>(LoadImageA(instance, name, IMAGE_ICON, 32, 32, LR_SHARED));
}

HCURSOR LoadCursorA(HINSTANCE instance, LPCSTR name) {
    if (instance != nullptr || !IS_INTRESOURCE(name))
        return nullptr;  // the script has no cursors
    return bvu::window::systemCursor(static_cast<int>(reinterpret_cast<uintptr_t>(name)));
}

HCURSOR SetCursor(HCURSOR cursor) {
    HCURSOR previous = bvu::window::g_cursor.exchange(cursor);
    if (previous != cursor)
        Core::instance().cursorChanged(cursor);
    return previous;
}

HCURSOR GetCursor() {
    return bvu::window::g_cursor.load();
}

HMODULE GetModuleHandleA(LPCSTR moduleName) {
    // The conventional base address of a program's image.
    return moduleName == nullptr ? reinterpret_cast<HMODULE>(0x400000) : nullptr;
}
