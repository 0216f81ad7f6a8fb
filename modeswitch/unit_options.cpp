#include "modeswitch/unit_options.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "usb/device_advice.h"

namespace bvu {

bool takesValue(const char* arg) {
    return std::strcmp(arg, "-device") == 0 || std::strcmp(arg, "-serial") == 0;
}

UnitOptions unitOptions(int argc, char** argv) {
    UnitOptions options;
    for (int i = 1; i < argc; ++i) {
        if (takesValue(argv[i])) {
            if (i + 1 == argc)
                break;
            std::string& value = std::strcmp(argv[i], "-device") == 0 ? options.request.location
                                                                      : options.request.serial;
            value = argv[++i];
        } else if (std::strcmp(argv[i], "-list") == 0) {
            options.list = true;
        } else if (std::strcmp(argv[i], "-json") == 0) {
            options.json = true;
        }
    }
    return options;
}

int listUnits(const UnitOptions& options) {
    int code = 0;
    try {
        const std::vector<usb::PresentUnit> units = usb::unitsToList(options.request);
        if (units.empty() && !options.json)
            std::printf("No unit is connected.\n");
        for (const usb::PresentUnit& unit : units) {
            const usb::UnitReading reading = usb::readUnit(unit);
            const std::string line =
                options.json ? usb::unitJson(reading, "") : usb::unitLine(reading, "");
            std::printf("%s\n", line.c_str());
            if (!reading.error.empty())
                code = 1;
        }
    } catch (const usb::UnitChoiceError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        code = 1;
    } catch (const BVExBase& e) {
        std::fprintf(stderr, "USB error: %s\n", e.what());
        code = 1;
    }
    std::fflush(stdout);
    if (code != 0)
        usb::writeUnusableDeviceAdvice(stderr);
    std::fflush(stderr);
    return code;
}

}  // namespace bvu
