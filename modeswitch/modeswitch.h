// The mode-switch tool's whole behaviour, apart from the process entry point: reads the options,
// opens the USB session, switches the device, and turns the outcome into an exit code and (unless
// -silent) one line on standard error.
//
//   modeswitch [ -dfu | -tarsel | -pellin | -tarselHDMI | -pellinHDMI ] [ -silent ]
//              [ -device LOCATION ] [ -serial NUMBER ]
//   modeswitch -list [ -json ] [ -device LOCATION ] [ -serial NUMBER ]
//   modeswitch --help | -h | -? | --version
//
// Returns 0 done, 1 a USB communication error, 2 a bad command line, 3 another error of the
// system's own, 4 anything else. Must be called while no other USBUtils session lives (else 3).
// --help (-h, -?) or --version anywhere on the command line prints the usage or the version on
// standard output and returns 0 without opening the USB session. The unit switched is the one
// -device or -serial names (1, and what to do, when none fits), else the first by location
// (usb/units.h); the session follows it through the switch and leaves every other unit alone.
// When it refused a second matching device, a line on standard error says so and names the
// units left alone (unless -silent). -list lists the units instead (unit_options.h).
#pragma once

namespace bvu {

int runModeSwitch(int argc, char** argv);

}  // namespace bvu
