// The updater's command line: -batch, -calib, -nocalib, -nomicro, -noverify, -nofpga,
// -correction <value>, the two device actions -dfu and -pellinHDMI, which replace the dialog,
// the unit to work on (-device <location>, -serial <number>), and the requests to the program
// itself: -list, -json, -log <file>, --help (-h, -?) and --version.
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

// What the command line asks of the program itself rather than of the update.
struct ProgramRequests {
    bool help = false;     // --help, -h, -?: the usage, then the end (no USB session)
    bool version = false;  // --version: the versions and USB hosts, then the end
    bool json = false;     // -json: the run's events as JSON lines on standard output
    std::string logFile;   // -log <file>: the run's events appended to it; empty: no log
    // The warnings written about the command line (unknown arguments, refused or missing
    // values), in order. In batch mode any of them ends the run before the device is touched.
    std::vector<std::string> warnings;
    bool list = false;   // -list: the units and what an update would write, then the end
    std::string device;  // -device <location>: the unit plugged in there; empty: not given
    std::string serial;  // -serial <number>: the unit in run mode with it; empty: not given
};

// The device actions a command line can ask for. The production implementation forwards to the
// USB session; whatever it throws ends the walk and reaches the caller.
class DeviceActions {
  public:
    virtual ~DeviceActions() = default;
    virtual void enterDfuMode() = 0;
    virtual void startApplication(int wait) = 0;
};

// The device actions in the order the walk met them, to be carried out later: the program reads
// the whole command line before it opens the USB session, so that -batch, -json and -log hold
// for a session that cannot be opened and --help opens none. Main thread.
class RecordedActions : public DeviceActions {
  public:
    void enterDfuMode() override { actions_.push_back({true, 0}); }
    void startApplication(int wait) override { actions_.push_back({false, wait}); }

    bool empty() const { return actions_.empty(); }
    // Carries them out on target in their order; what target throws ends it there.
    void replay(DeviceActions& target) const;

  private:
    struct Action {
        bool enterDfuMode;  // else startApplication(wait)
        int wait;
    };
    std::vector<Action> actions_;
};

std::vector<std::string> tokenizeCommandLine(const std::string& text);

// True for a token that names one of the options above.
bool isCommandLineOption(const std::string& token);

// The value of -correction: a whole token that reads as a finite number above 0, also once
// stored as a float. A factor of 0 (what a non-number used to become) would write zeros over
// every calibration value.
bool parseCorrectionFactor(const std::string& text, float* factor);

// Applies the command line to settings and requests and carries out the device actions through
// device. Returns true when a device action was requested (no dialog is to be shown). Throws what
// device throws, leaving the tokens after the failing one unread.
//
// -correction takes the next token as its value, whatever it is; a value that is refused leaves
// the factor as it was and writes "Invalid value '<value>' for option '-correction'. Ignored.".
// -log takes the next token as its file unless there is none or it is an option: then "Option
// '-log' requires argument. Ignored." and the option is read as itself; -device and -serial take
// theirs the same way ("Option '-device' requires argument. Ignored."). Every warning is also
// kept in requests.warnings.
bool applyCommandLine(const std::string& text, UpdateSettings& settings, ProgramRequests& requests,
                      DeviceActions& device, std::ostream& errors);

// The program's parser: applyCommandLine on updateSettings() and standard error, with the device
// actions recorded for performDeviceActions. Main thread, before the USB session exists.
bool parseCommandLine(const std::string& commandLine, ProgramRequests& requests,
                      RecordedActions& actions);

// Carries out the recorded actions on the USB session (USBUtils::instance()); throws what the
// session throws. Main thread.
void performDeviceActions(const RecordedActions& actions);
