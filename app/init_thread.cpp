#include "app/init_thread.h"

#include <exception>
#include <string>

#include "app/device_advice.h"
#include "app/messages.h"
#include "app/run_report.h"
#include "usb/usbutils.h"

void InitThread::run() {
    std::string errorText;
    std::exception_ptr failure;  // its own text goes to the run's report
    try {
        bool complete = true;
        try {
            USBUtils& usb = USBUtils::instance();
            complete = usb.startApplicationIfComplete(1);
            if (complete) {
                usb.getDeviceStatus();  // the answer itself does not matter, only that there is one
            }
        } catch (const USBUtils::Error&) {
            failure = std::current_exception();
            errorText =
                "Could not find the device using USB\n(Check that the device is properly "
                "connected)";
            addUnusableDeviceAdvice(errorText);
        }
        // The last action inside the guard, so that exactly one message is posted.
        if (errorText.empty()) {
            PostMessageA(dialog_, complete ? WM_INIT_OK : WM_INIT_INCOMPLETE, 0, 0);
        }
    } catch (BVExBase&) {
        failure = std::current_exception();
        errorText = "Internal error (BVR)";
    } catch (...) {
        failure = std::current_exception();
        errorText = "Internal error (SYS)";
    }
    if (!errorText.empty()) {
        // After Exit during the inspection nobody waits for its outcome any more: the program
        // only waits for this worker to finish with the session.
        if (!IsWindow(dialog_)) {
            return;
        }
        report::errorBox(nullptr, errorText, "Error (Brevicor Update Utility)", failure);
        PostMessageA(dialog_, WM_INIT_FAILED, 0, 0);
    }
}
