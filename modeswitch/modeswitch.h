// The mode-switch tool's whole behaviour, apart from the process entry point: reads the options,
// opens the USB session, switches the device, and turns the outcome into an exit code and (unless
// -silent) one line on standard error.
//
//   modeswitch [ -dfu | -tarsel | -pellin | -tarselHDMI | -pellinHDMI ] [ -silent ]
//
// Returns 0 done, 1 a USB communication error, 2 a bad command line, 3 another error of the
// system's own, 4 anything else. Must be called while no other USBUtils session lives (else 3).
#pragma once

namespace bvu {

int runModeSwitch(int argc, char** argv);

}  // namespace bvu
