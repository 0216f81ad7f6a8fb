#include "modeswitch/modeswitch.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "modeswitch/unit_options.h"
#include "platform/clock.h"
#include "usb/device_advice.h"
#include "usb/host_registry.h"
#include "usb/units.h"
#include "usb/usbutils.h"

#ifndef BVU_PROGRAM_VERSION
#define BVU_PROGRAM_VERSION ""
#endif

namespace bvu {
namespace {

enum Mode { None = 0, Dfu = 1, Tarsel = 2, Pellin = 3, TarselHDMI = 4, PellinHDMI = 5 };

enum ExitCode { Done = 0, UsbError = 1, BadCommandLine = 2, InternalError = 3, UnknownError = 4 };

// A device in its bootloader without a complete control firmware: started, it would leave the
// bus until it is power-cycled, so it is refused; the update writes the firmware again.
const char* const kIncompleteText =
    "The control firmware of the device is incomplete: run the update (updater) to write it "
    "again.";

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

const char* const kUsage =
    "Usage: modeswitch [ -dfu | -tarsel | -pellin | -tarselHDMI | -pellinHDMI] [ -silent ]\n"
    "                  [ -device LOCATION ] [ -serial NUMBER ]\n"
    "       modeswitch -list [ -json ] [ -device LOCATION ] [ -serial NUMBER ]\n"
    "Moves the Brevicor USB video-processing device between its application and its\n"
    "bootloader (DFU mode), for scripts.\n"
    "\n"
    "  -dfu                 send the device into its bootloader (then wait 5 s)\n"
    "  -tarsel, -pellin, -tarselHDMI, -pellinHDMI\n"
    "                       make a device in its bootloader start its application (then\n"
    "                       wait 7 s); the four names do the same; the last mode counts\n"
    "  -silent              write nothing on failure\n"
    "  -device LOCATION     the unit plugged in there (as -list shows it)\n"
    "  -serial NUMBER       the unit in run mode with this serial number\n"
    "  -list                list the units (where, guise, what each holds), change\n"
    "                       nothing; -json: one JSON object per unit\n"
    "  -h, -?, --help       show this text and exit\n"
    "  --version            show the program's version and its USB hosts and exit\n"
    "\n"
    "Exit codes: 0 done, 1 USB communication error (no USB driver, no device, a failed\n"
    "request, a -device or -serial that names no unit; -list: a unit that could not be\n"
    "read) or a device in its bootloader whose control firmware is incomplete (run the\n"
    "update), 2 bad command line, 3 internal error, 4 unknown error.\n";

// --help and --version answer before anything else happens, whatever else stands on the
// command line: no USB session is opened for them.
bool answeredInformation(int argc, char** argv) {
    bool help = false;
    bool version = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        help = help || arg == "--help" || arg == "-h" || arg == "-?";
        version = version || arg == "--version";
    }
    if (help) {
        std::fputs(kUsage, stdout);
    } else if (version) {
        std::string hosts;
        for (const std::string& name : kd::hostNames()) hosts += (hosts.empty() ? "" : ", ") + name;
        std::printf("modeswitch %s (Brevicor Update Utility)\nUSB hosts: %s\n", BVU_PROGRAM_VERSION,
                    hosts.empty() ? "none" : hosts.c_str());
    }
    std::fflush(stdout);
    return help || version;
}

}  // namespace

int runModeSwitch(int argc, char** argv) {
    if (answeredInformation(argc, argv)) {
        return Done;
    }
    const UnitOptions units = unitOptions(argc, argv);
    if (units.list) {
        return listUnits(units);
    }
    bool silent = false;
    std::string secondDevice;
    std::string refusal;  // why the unit asked for is not there
    int code = Done;
    Mode mode = None;
    // What the failure's own text says, written on a line of its own after the code's message;
    // it replaces that message when the device was refused rather than failed.
    std::string detail;
    bool incomplete = false;
    try {
        // The session comes first: a driver that cannot be opened is reported even before the
        // command line is looked at, and even with -silent. It works on the unit named, or the
        // first one.
        USBUtils session(usb::chooseUnit(units.request, false));
        for (int i = 1; i < argc; ++i) {
            Mode m = modeOf(argv[i]);
            if (m != None) {
                mode = m;  // the last mode option counts
            } else if (std::strcmp(argv[i], "-silent") == 0) {
                silent = true;
            } else if (takesValue(argv[i]) && i + 1 < argc) {
                ++i;  // read already
            } else {
                code = BadCommandLine;  // the arguments after it are not looked at
                break;
            }
        }
        if (!silent) {
            // Windows still setting up the device's driver makes the wait longer: say so.
            session.setNotice([](const std::string& text) {
                std::fprintf(stderr, "%s\n", text.c_str());
                std::fflush(stderr);
            });
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
                if (usb.startApplicationIfComplete(1)) {
                    usb.waitForDevice();  // only a device back in run mode is a success
                } else {
                    code = UsbError;
                    incomplete = true;
                }
            }
            if (session.refusedDevices() > 0)
                secondDevice = usb::secondDeviceText(session.otherUnits());
        }
    } catch (const usb::UnitChoiceError& e) {
        code = UsbError;
        refusal = e.message();
    } catch (const USBUtils::Error& e) {
        code = UsbError;
        // The first line says it already.
        const std::string prefix = "USB communication error: ";
        detail = e.message().compare(0, prefix.size(), prefix) == 0
                     ? e.message().substr(prefix.size())
                     : e.message();
    } catch (BVExBase& e) {
        code = InternalError;
        detail = e.message();
    } catch (const std::exception& e) {
        code = UnknownError;
        detail = e.what();
    } catch (...) {
        code = UnknownError;
    }
    if (!silent && !secondDevice.empty()) {
        std::fprintf(stderr, "%s\n", secondDevice.c_str());
    }
    if (!silent && code != Done) {
        std::fprintf(stderr, "%s\n",
                     !refusal.empty() ? refusal.c_str()
                     : incomplete     ? kIncompleteText
                                      : messageOf(code));
        if (!detail.empty())
            std::fprintf(stderr, "%s\n", detail.c_str());
        std::fflush(stderr);
        if (code == UsbError)
            usb::writeUnusableDeviceAdvice(stderr);
    }
    std::fflush(stderr);
    return code;
}

}  // namespace bvu
