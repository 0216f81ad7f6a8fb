// The command line's device actions, carried out on the USB session.
#include <iostream>

#include "app/command_line.h"
#include "app/update_settings.h"
#include "usb/usbutils.h"

namespace {

class SessionActions : public DeviceActions {
  public:
    void enterDfuMode() override { USBUtils::instance().enterDfuMode(); }
    void startApplication(int wait) override { USBUtils::instance().startApplication(wait); }
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
