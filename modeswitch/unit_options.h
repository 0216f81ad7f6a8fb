// The mode switch's options about units: -device LOCATION and -serial NUMBER pick the unit to
// switch, -list (with -json: JSON objects) lists the units instead of switching one.
#pragma once

#include "usb/units.h"

namespace bvu {

struct UnitOptions {
    usb::UnitRequest request;  // -device, -serial
    bool list = false;         // -list
    bool json = false;         // -json
};

// The unit options wherever they stand. -device and -serial take the argument after them,
// whatever it is (none: the option counts as not given, and the mode loop refuses it).
UnitOptions unitOptions(int argc, char** argv);

// Whether the option takes the argument after it as its value.
bool takesValue(const char* arg);

// modeswitch -list: one line per unit (location, guise, what it holds), or one JSON object,
// on standard output; nothing is written to any unit. Returns 0, or 1 when USB access failed,
// a unit could not be read, or -device or -serial named no unit (said on standard error).
int listUnits(const UnitOptions& options);

}  // namespace bvu
