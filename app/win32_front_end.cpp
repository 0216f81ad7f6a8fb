// The updater's front end on Windows: the dialog IDD_UPDATE of the resource script, as a modal
// dialog box on the main thread, and the system's message boxes. Window messages become the
// presenter's intents; each state it shows becomes control updates, made only where something
// changed. The workers' events reach the dialog's thread as a posted message (WM_DELIVER); a box
// is shown from a posted message too (WM_SHOWBOX), so that its modal loop never runs inside a
// call of the presenter, and that loop keeps delivering the workers' events meanwhile.
#include <windows.h>

#include <commctrl.h>

#include <atomic>
#include <exception>

#include "app/dialog_presenter.h"
#include "app/front_end.h"
#include "app/resources/resource.h"
#include "usb/bvexbase.h"

namespace {

constexpr UINT WM_DELIVER = WM_APP + 1;
constexpr UINT WM_SHOWBOX = WM_APP + 2;

UINT boxType(const Box& box) {
    return box.kind == Box::Kind::Error ? MB_ICONERROR : MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2;
}

Answer answerOf(int result) {
    return result == IDYES ? Answer::Yes : result == IDNO ? Answer::No : Answer::Ok;
}

class Win32FrontEnd : public FrontEnd {
  public:
    Win32FrontEnd() {
        INITCOMMONCONTROLSEX controls;
        controls.dwSize = sizeof controls;
        controls.dwICC = ICC_BAR_CLASSES | ICC_PROGRESS_CLASS;
        InitCommonControlsEx(&controls);
    }

    void runDialog(DialogPresenter& presenter) override;
    Answer showBox(const Box& box) override {
        return answerOf(MessageBoxA(nullptr, box.text.c_str(), box.caption.c_str(), boxType(box)));
    }

    void show(const DialogState& state) override;
    void close(bool) override {
        if (dialog_ != nullptr)
            EndDialog(dialog_, IDC_EXIT);
    }
    void wake() override {
        if (HWND target = wakeTarget_.load())
            PostMessageA(target, WM_DELIVER, 0, 0);
    }

  private:
    static INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR handle(UINT message, WPARAM wParam);
    void initDialog(HWND dialog);
    void setText(int id, const std::string& text, const std::string& before);
    void showBoxNow();

    DialogPresenter* presenter_ = nullptr;
    HWND dialog_ = nullptr;
    std::atomic<HWND> wakeTarget_{nullptr};
    HWND statusBar_ = nullptr;
    HCURSOR waitCursor_ = nullptr;
    HCURSOR savedCursor_ = nullptr;
    DialogState shown_;
    bool shownOnce_ = false;
    int boxPosted_ = 0;  // the last box handed to WM_SHOWBOX
    std::exception_ptr error_;
};

void Win32FrontEnd::runDialog(DialogPresenter& presenter) {
    presenter_ = &presenter;
    shownOnce_ = false;
    const INT_PTR result = DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_UPDATE),
                                           nullptr, dialogProc, reinterpret_cast<LPARAM>(this));
    wakeTarget_.store(nullptr);
    dialog_ = nullptr;
    presenter_ = nullptr;
    if (error_) {
        std::exception_ptr error = error_;
        error_ = nullptr;
        std::rethrow_exception(error);
    }
    if (result == -1) {
        throw BVError("The dialog could not be created.");
    }
}

INT_PTR CALLBACK Win32FrontEnd::dialogProc(HWND dialog, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrA(dialog, DWLP_USER, lParam);
        auto* self = reinterpret_cast<Win32FrontEnd*>(lParam);
        try {
            self->initDialog(dialog);
        } catch (...) {
            self->error_ = std::current_exception();
            EndDialog(dialog, 0);
        }
        return TRUE;
    }
    auto* self = reinterpret_cast<Win32FrontEnd*>(GetWindowLongPtrA(dialog, DWLP_USER));
    if (self == nullptr || self->presenter_ == nullptr) {
        return FALSE;
    }
    if (message == WM_DESTROY) {
        self->wakeTarget_.store(nullptr);
    }
    try {
        return self->handle(message, wParam);
    } catch (...) {
        // C++ exceptions must not unwind through the window system's frames: the first one ends
        // the dialog and is thrown again once DialogBoxParamA has returned.
        if (!self->error_) {
            self->error_ = std::current_exception();
            EndDialog(dialog, 0);
        }
        return TRUE;
    }
}

void Win32FrontEnd::initDialog(HWND dialog) {
    dialog_ = dialog;
    HINSTANCE module = GetModuleHandleA(nullptr);
    HANDLE bigIcon = LoadImageA(module, MAKEINTRESOURCEA(IDI_APP), IMAGE_ICON, 32, 32, LR_SHARED);
    HANDLE smallIcon = LoadImageA(module, MAKEINTRESOURCEA(IDI_APP), IMAGE_ICON, 16, 16, LR_SHARED);
    SendMessageA(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon));
    SendMessageA(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon));
    waitCursor_ = LoadCursorA(nullptr, IDC_WAIT);
    SendMessageA(GetDlgItem(dialog, IDC_PROGRESS), PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    statusBar_ = CreateWindowExA(0, "msctls_statusbar32", "", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0,
                                 dialog, reinterpret_cast<HMENU>(IDC_STATUSBAR), module, nullptr);
    int parts[1] = {-1};
    SendMessageA(statusBar_, SB_SETPARTS, 1, reinterpret_cast<LPARAM>(parts));
    wakeTarget_.store(dialog);
    presenter_->start();
}

void Win32FrontEnd::setText(int id, const std::string& text, const std::string& before) {
    if (!shownOnce_ || text != before)
        SetDlgItemTextA(dialog_, id, text.c_str());
}

void Win32FrontEnd::show(const DialogState& s) {
    if (dialog_ == nullptr)
        return;
    const DialogState& b = shown_;
    const bool all = !shownOnce_;
    if (all || s.caption != b.caption)
        SetWindowTextA(dialog_, s.caption.c_str());
    setText(IDC_SERIAL, s.serial, b.serial);
    setText(IDC_PCB_REVISION, s.pcbRevision, b.pcbRevision);
    setText(IDC_FIRMWARE_VERSION, s.package, b.package);
    setText(IDC_VIDEO_CURRENT, s.videoCurrent, b.videoCurrent);
    setText(IDC_VIDEO_UPDATE, s.videoUpdate, b.videoUpdate);
    setText(IDC_CONTROL_CURRENT, s.controlCurrent, b.controlCurrent);
    setText(IDC_CONTROL_UPDATE, s.controlUpdate, b.controlUpdate);
    if (all || s.standard != b.standard) {
        SendMessageA(GetDlgItem(dialog_, IDC_NTSC), BM_SETCHECK,
                     s.standard == VideoStandard::Ntsc ? BST_CHECKED : BST_UNCHECKED, 0);
        SendMessageA(GetDlgItem(dialog_, IDC_PAL), BM_SETCHECK,
                     s.standard == VideoStandard::Pal ? BST_CHECKED : BST_UNCHECKED, 0);
    }
    if (all || s.updateEnabled != b.updateEnabled)
        EnableWindow(GetDlgItem(dialog_, IDC_UPDATE), s.updateEnabled ? TRUE : FALSE);
    if (all || s.exitEnabled != b.exitEnabled)
        EnableWindow(GetDlgItem(dialog_, IDC_EXIT), s.exitEnabled ? TRUE : FALSE);
    if (all || s.standardEnabled != b.standardEnabled) {
        EnableWindow(GetDlgItem(dialog_, IDC_NTSC), s.standardEnabled ? TRUE : FALSE);
        EnableWindow(GetDlgItem(dialog_, IDC_PAL), s.standardEnabled ? TRUE : FALSE);
    }
    if (all || s.progress != b.progress)
        SendMessageA(GetDlgItem(dialog_, IDC_PROGRESS), PBM_SETPOS, static_cast<WPARAM>(s.progress),
                     0);
    if (all || s.statusCount != b.statusCount)
        SendMessageA(statusBar_, SB_SETTEXTA, 0, reinterpret_cast<LPARAM>(s.status.c_str()));
    if (s.busy != b.busy || (all && s.busy)) {
        if (s.busy)
            savedCursor_ = SetCursor(waitCursor_);
        else
            SetCursor(savedCursor_);
    }
    if (s.box && s.box->id != boxPosted_) {
        boxPosted_ = s.box->id;
        PostMessageA(dialog_, WM_SHOWBOX, 0, 0);
    }
    shown_ = s;
    shownOnce_ = true;
}

void Win32FrontEnd::showBoxNow() {
    const std::optional<Box>& open = presenter_->state().box;
    if (!open)
        return;
    const Box box = *open;
    // An owned box disables the dialog while it is open; an unowned one leaves it usable.
    const int result = MessageBoxA(box.modal ? dialog_ : nullptr, box.text.c_str(),
                                   box.caption.c_str(), boxType(box));
    if (presenter_ != nullptr)
        presenter_->answer(box.id, answerOf(result));
}

INT_PTR Win32FrontEnd::handle(UINT message, WPARAM wParam) {
    DialogPresenter& p = *presenter_;
    switch (message) {
        case WM_SETCURSOR:
            if (shown_.busy) {
                SetCursor(waitCursor_);
                // The message's own result must say "handled" as well, or the control under
                // the pointer puts its cursor back.
                SetWindowLongPtrA(dialog_, DWLP_MSGRESULT, TRUE);
                return TRUE;
            }
            return FALSE;
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDC_EXIT:
                    p.exit();
                    break;
                case IDC_UPDATE:
                    p.update();
                    break;
                case IDC_NTSC:
                    p.ntsc();
                    break;
                case IDC_PAL:
                    p.pal();
                    break;
                default:
                    // IDCANCEL included: Escape and the close box.
                    p.cancel();
                    break;
            }
            return TRUE;
        case WM_DELIVER:
            p.deliver();
            return TRUE;
        case WM_SHOWBOX:
            showBoxNow();
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

std::unique_ptr<FrontEnd> makeFrontEnd(bool /*json*/) {
    return std::unique_ptr<FrontEnd>(new Win32FrontEnd());
}
