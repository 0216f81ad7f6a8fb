// The updater's command line: -batch, -calib, -nocalib, -nomicro, -noverify, -nofpga,
// -correction <value>, and the two device actions -dfu and -pellinHDMI, which replace the
// dialog.
//
// Tokens are maximal runs of characters that are not white space (isspace); there is no quoting.
// Options are compared whole and case-sensitively and take effect in the order they stand, the
// device actions at their place in the walk. Warnings go to the given error stream, one line
// each.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

struct UpdateSettings;

// The device actions a command line can ask for. The production implementation forwards to the
// USB session; whatever it throws ends the walk and reaches the caller.
class DeviceActions {
  public:
    virtual ~DeviceActions() = default;
    virtual void enterDfuMode() = 0;
    virtual void startApplication(int wait) = 0;
};

std::vector<std::string> tokenizeCommandLine(const std::string& text);

// True for a token that names one of the options above.
bool isCommandLineOption(const std::string& token);

// The value of -correction: a whole token that reads as a finite number above 0, also once
// stored as a float. A factor of 0 (what a non-number used to become) would write zeros over
// every calibration value.
bool parseCorrectionFactor(const std::string& text, float* factor);

// Applies the command line to settings and carries out the device actions through device.
// Returns true when a device action was requested (no dialog is to be shown). Throws what device
// throws, leaving the tokens after the failing one unread.
//
// A -correction value that is refused leaves the factor as it was and writes "Invalid value
// '<value>' for option '-correction'. Ignored."; a refused value that is itself an option is then
// read as that option, any other refused value is consumed with -correction.
bool applyCommandLine(const std::string& text, UpdateSettings& settings, DeviceActions& device,
                      std::ostream& errors);

// The program's parser: applyCommandLine on updateSettings(), the USB session's device actions
// (USBUtils::instance()) and standard error. Main thread, before the dialog exists.
bool parseCommandLine(const std::string& commandLine);
