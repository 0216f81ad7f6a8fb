// The Win32 window functions of win32_window.h over the layer's core.
#include <cstring>
#include <string>

#include "platform/win32_window.h"
#include "platform/window/core.h"
#include "platform/window/front_end.h"
#include "platform/window/resource_table.h"

using bvu::window::Core;

namespace {

constexpr UINT kLayerEnable = Core::kEnableMessage;

std::string textOf(LPCSTR text) {
    return text != nullptr ? text : "";
}

}  // namespace

INT_PTR DialogBoxParamA(HINSTANCE, LPCSTR templateName, HWND, DLGPROC dialogProc,
                        LPARAM initParam) {
    if (!IS_INTRESOURCE(templateName))
        return -1;
    const auto* templ = bvu::window::findDialogTemplate(
        static_cast<int>(reinterpret_cast<uintptr_t>(templateName)));
    if (templ == nullptr)
        return -1;
    bvu::window::frontEnd();  // chosen before the dialog shows anything
    return Core::instance().runDialog(*templ, dialogProc, initParam);
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
    return Core::instance().endDialog(dialog, result);
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kLayerEnable)
        return 0;  // not for callers
    return Core::instance().send(window, message, wParam, lParam);
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kLayerEnable)
        return FALSE;
    return Core::instance().post(window, message, wParam, lParam);
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    bvu::window::frontEnd();
    // Windows titles a box without caption "Error".
    return Core::instance().messageBox(owner, textOf(text), caption != nullptr ? caption : "Error",
                                       type);
}

HWND GetDlgItem(HWND dialog, int id) {
    return Core::instance().dialogItem(dialog, id);
}

int GetDlgCtrlID(HWND window) {
    return Core::instance().idOf(window);
}

HWND GetParent(HWND window) {
    return Core::instance().parentOf(window);
}

BOOL IsWindow(HWND window) {
    return Core::instance().isWindow(window) ? TRUE : FALSE;
}

BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text) {
    HWND control = GetDlgItem(dialog, id);
    if (control == nullptr)
        return FALSE;
    return SetWindowTextA(control, text);
}

UINT GetDlgItemTextA(HWND dialog, int id, LPSTR buffer, int size) {
    HWND control = GetDlgItem(dialog, id);
    if (control == nullptr) {
        if (buffer != nullptr && size > 0)
            buffer[0] = '\0';
        return 0;
    }
    return static_cast<UINT>(GetWindowTextA(control, buffer, size));
}

BOOL SetWindowTextA(HWND window, LPCSTR text) {
    if (!IsWindow(window))
        return FALSE;
    return static_cast<BOOL>(
        SendMessageA(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text != nullptr ? text : "")));
}

int GetWindowTextA(HWND window, LPSTR buffer, int size) {
    if (buffer == nullptr || size <= 0)
        return 0;
    buffer[0] = '\0';
    return static_cast<int>(SendMessageA(window, WM_GETTEXT, static_cast<WPARAM>(size),
                                         reinterpret_cast<LPARAM>(buffer)));
}

int GetWindowTextLengthA(HWND window) {
    return static_cast<int>(SendMessageA(window, WM_GETTEXTLENGTH, 0, 0));
}

BOOL EnableWindow(HWND window, BOOL enable) {
    return static_cast<BOOL>(
        Core::instance().send(window, kLayerEnable, enable != FALSE ? 1 : 0, 0));
}

LONG_PTR SetWindowLongPtrA(HWND, int, LONG_PTR) {
    return 0;
}

BOOL IsWindowEnabled(HWND window) {
    return Core::instance().isEnabled(window) ? TRUE : FALSE;
}

BOOL CheckDlgButton(HWND dialog, int id, UINT check) {
    HWND control = GetDlgItem(dialog, id);
    if (control == nullptr)
        return FALSE;
    SendMessageA(control, BM_SETCHECK, check, 0);
    return TRUE;
}

UINT IsDlgButtonChecked(HWND dialog, int id) {
    HWND control = GetDlgItem(dialog, id);
    return control != nullptr ? static_cast<UINT>(SendMessageA(control, BM_GETCHECK, 0, 0)) : 0;
}

HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE, LPVOID) {
    // Class atoms are not supported, only names; top-level windows are not either.
    if (className == nullptr || IS_INTRESOURCE(className) || (style & WS_CHILD) == 0) {
        return nullptr;
    }
    int id = static_cast<int>(reinterpret_cast<intptr_t>(menu));
    return Core::instance().createControl(parent, className, textOf(windowName), style, exStyle, id,
                                          x, y, width, height);
}

BOOL DestroyWindow(HWND window) {
    return Core::instance().destroyControl(window) ? TRUE : FALSE;
}
