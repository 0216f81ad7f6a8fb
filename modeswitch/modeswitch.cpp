#include "modeswitch/modeswitch.h"

#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "usb/usbutils.h"

namespace bvu {
namespace {

enum Mode { None = 0, Dfu = 1, Tarsel = 2, Pellin = 3, TarselHDMI = 4, PellinHDMI = 5 };

enum ExitCode { Done = 0, UsbError = 1, BadCommandLine = 2, InternalError = 3, UnknownError = 4 };

// Gives the bootloader time to enumerate before the program (and its session) ends.
constexpr uint32_t kReenumerationMs = 5000;

Mode modeOf(const char* arg) {
    static const struct {
        const char* name;
        Mode mode;
    } options[] = {{"-dfu", Dfu},
                   {"-tarsel", Tarsel},
                   {"-pellin", Pellin},
                   {"-tarselHDMI", TarselHDMI},
                   {"-pellinHDMI", PellinHDMI}};
    for (const auto& option : options) {
        if (std::strcmp(arg, option.name) == 0)
            return option.mode;
    }
    return None;
}

const char* messageOf(int code) {
    switch (code) {
        case UsbError:
            return "USB communication error.";
        case BadCommandLine:
            return "Invalid command-line arguments. Valid args are:\n"
                   "  [ -dfu | -tarsel | -pellin | -tarselHDMI | -pellinHDMI] [ -silent ]";
        case InternalError:
            return "Internal error.";
        default:
            return "Unknown error.";
    }
}

}  // namespace

int runModeSwitch(int argc, char** argv) {
    bool silent = false;
    int code = Done;
    Mode mode = None;
    try {
        // The session comes first: a driver that cannot be opened is reported even before the
        // command line is looked at, and even with -silent.
        USBUtils session;
        for (int i = 1; i < argc; ++i) {
            Mode m = modeOf(argv[i]);
            if (m != None) {
                mode = m;  // the last mode option counts
            } else if (std::strcmp(argv[i], "-silent") == 0) {
                silent = true;
            } else {
                code = BadCommandLine;  // the arguments after it are not looked at
                break;
            }
        }
        if (mode == None) {
            code = BadCommandLine;
        } else if (code == Done) {
            if (mode == Dfu) {
                USBUtils::instance().enterDfuMode();
                clock::sleepMs(kReenumerationMs);
            } else {
                // Does nothing when the application runs already. Refused for a device whose
                // control firmware is incomplete: started, it would leave the bus until it is
                // power-cycled.
                USBUtils& usb = USBUtils::instance();
                if (!usb.startApplicationIfComplete(1))
                    throw USBUtils::Error("The control firmware is incomplete.");
                usb.waitForDevice();  // only a device back in run mode is a success
            }
        }
    } catch (const USBUtils::Error&) {
        code = UsbError;
    } catch (BVExBase&) {
        code = InternalError;
    } catch (...) {
        code = UnknownError;
    }
    if (!silent && code != Done) {
        std::fprintf(stderr, "%s\n", messageOf(code));
        std::fflush(stderr);
    }
    return code;
}

}  // namespace bvu
