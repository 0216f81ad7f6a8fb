// The command line's device actions, carried out on the USB session.
#include <iostream>

#include "app/command_line.h"
#include "app/update_settings.h"
#include "usb/usbutils.h"

namespace {

class SessionActions : public DeviceActions {
  public:
    void enterDfuMode() override { USBUtils::instance().enterDfuMode(); }
    void startApplication(int wait) override {
        USBUtils& usb = USBUtils::instance();
        // Started, a device without a complete control firmware would leave the bus until it
        // is power-cycled; the update writes the firmware again instead.
        if (!usb.startApplicationIfComplete(wait)) {
            throw BVError(
                "The control firmware of the device is incomplete. Run the update to write it "
                "again.");
        }
        usb.waitForDevice();  // a device that did not come back in run mode is no success
    }
};

}  // namespace

bool parseCommandLine(const std::string& commandLine, ProgramRequests& requests,
                      RecordedActions& actions) {
    return applyCommandLine(commandLine, updateSettings(), requests, actions, std::cerr);
}

void performDeviceActions(const RecordedActions& actions) {
    SessionActions session;
    actions.replay(session);
}
