#include "tests/window/test_dialog.h"

#include <atomic>

namespace bvu {
namespace window {
namespace test {
namespace {
std::atomic<TestDialog*> g_dialog{nullptr};
}

TestDialog::TestDialog() {
    g_dialog.store(this);
}

TestDialog::~TestDialog() {
    if (!joined_) {
        if (HWND d = Core::instance().openDialog())
            PostMessageA(d, WM_COMMAND, IDC_EXIT, 0);
        join();
    }
    g_dialog.store(nullptr);
}

HWND TestDialog::start() {
    joined_ = false;
    thread_ = std::thread([this] {
        guiThread_ = GetCurrentThreadId();
        result_ = DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_UPDATE), nullptr,
                                  &TestDialog::proc, 77);
    });
    return headless::waitForDialog(kWaitMs);
}

INT_PTR TestDialog::join() {
    if (thread_.joinable())
        thread_.join();
    joined_ = true;
    return result_;
}

std::vector<std::string> TestDialog::log() {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

void TestDialog::record(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back(line);
}

bool TestDialog::allOnGuiThread() {
    std::lock_guard<std::mutex> lock(mutex_);
    return !offThread_;
}

INT_PTR CALLBACK TestDialog::proc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    TestDialog* self = g_dialog.load();
    if (GetCurrentThreadId() != self->guiThread_) {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->offThread_ = true;
    }
    switch (message) {
        case WM_INITDIALOG: {
            self->record("init " + std::to_string(lParam));
            self->statusBar_ = CreateWindowExA(
                0, STATUSCLASSNAMEA, nullptr, WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, dialog,
                reinterpret_cast<HMENU>(IDC_STATUSBAR), GetModuleHandleA(nullptr), nullptr);
            int edges[] = {-1};
            SendMessageA(self->statusBar_, SB_SETPARTS, 1, reinterpret_cast<LPARAM>(edges));
            break;
        }
        case WM_COMMAND:
            self->record("command " + std::to_string(LOWORD(wParam)));
            break;
        default:
            if (message >= WM_USER) {
                self->record("user " + std::to_string(message - WM_USER) + " " +
                             std::to_string(wParam));
            }
    }
    INT_PTR result = 0;
    if (self->handler_ && self->handler_(dialog, message, wParam, lParam, &result))
        return result;
    if (message == WM_INITDIALOG)
        return TRUE;
    if (message == WM_COMMAND) {
        if (LOWORD(wParam) == IDC_EXIT)
            EndDialog(dialog, static_cast<INT_PTR>(wParam));
        return TRUE;
    }
    return message >= WM_USER ? TRUE : FALSE;
}

void prepareHeadless() {
    headless::useForTests();
    INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);
}

}  // namespace test
}  // namespace window
}  // namespace bvu
