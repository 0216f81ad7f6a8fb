// The mode-switch tool's whole behaviour, apart from the process entry point: reads the options,
// opens the USB session, switches the device, and turns the outcome into an exit code and (unless
// -silent) one line on standard error.
//
//   modeswitch [ -dfu | -tarsel | -pellin | -tarselHDMI | -pellinHDMI ] [ -silent ]
//   modeswitch --help | -h | -? | --version
//
// Returns 0 done, 1 a USB communication error, 2 a bad command line, 3 another error of the
// system's own, 4 anything else. Must be called while no other USBUtils session lives (else 3).
// --help (-h, -?) or --version anywhere on the command line prints the usage or the version on
// standard output and returns 0 without opening the USB session. When the session refused a
// second matching device, a line on standard error says so (unless -silent); the device that was
// found first is the one switched.
#pragma once

namespace bvu {

int runModeSwitch(int argc, char** argv);

}  // namespace bvu
