#include "app/init_thread.h"

#include <string>

#include "app/messages.h"
#include "usb/usbutils.h"

void InitThread::run() {
    std::string errorText;
    try {
        bool complete = true;
        try {
            USBUtils& usb = USBUtils::instance();
            complete = usb.startApplicationIfComplete(1);
            if (complete) {
                usb.getDeviceStatus();  // the answer itself does not matter, only that there is one
            }
        } catch (const USBUtils::Error&) {
            errorText =
                "Could not find the device using USB\n(Check that the device is properly "
                "connected)";
        }
        // The last action inside the guard, so that exactly one message is posted.
        if (errorText.empty()) {
            PostMessageA(dialog_, complete ? WM_INIT_OK : WM_INIT_INCOMPLETE, 0, 0);
        }
    } catch (BVExBase&) {
        errorText = "Internal error (BVR)";
    } catch (...) {
        errorText = "Internal error (SYS)";
    }
    if (!errorText.empty()) {
        // After Exit during the inspection nobody waits for its outcome any more: the program
        // only waits for this worker to finish with the session.
        if (!IsWindow(dialog_)) {
            return;
        }
        MessageBoxA(nullptr, errorText.c_str(), "Error (Brevicor Update Utility)", MB_ICONERROR);
        PostMessageA(dialog_, WM_INIT_FAILED, 0, 0);
    }
}
