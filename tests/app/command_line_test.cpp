// The command line as a script or a person types it: tokens, option order, the device actions
// in their place, and the warnings with their exact texts.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/update_settings.h"

namespace {

// Records the device actions in order; can be told to fail at the nth one.
class RecordingActions : public DeviceActions {
  public:
    void enterDfuMode() override { act("dfu"); }
    void startApplication(int wait) override { act("start(" + std::to_string(wait) + ")"); }

    std::vector<std::string> calls;
    int failAt = -1;

  private:
    void act(const std::string& name) {
        calls.push_back(name);
        if (static_cast<int>(calls.size()) - 1 == failAt) {
            throw std::runtime_error("device gone");
        }
    }
};

struct Parsed {
    UpdateSettings settings;
    ProgramRequests requests;
    std::vector<std::string> calls;
    std::string errors;
    bool deviceAction = false;
};

Parsed parse(const std::string& text) {
    Parsed p;
    RecordingActions actions;
    std::ostringstream errors;
    p.deviceAction = applyCommandLine(text, p.settings, p.requests, actions, errors);
    p.calls = actions.calls;
    p.errors = errors.str();
    return p;
}

bool isDefault(const UpdateSettings& s) {
    const UpdateSettings d;
    return s.batchMode == d.batchMode && s.calibrationMode == d.calibrationMode &&
           s.updateControlFirmware == d.updateControlFirmware &&
           s.updateVideoFirmware == d.updateVideoFirmware &&
           s.correctionFactor == d.correctionFactor && s.correctionGiven == d.correctionGiven &&
           s.verifyControlFirmware == d.verifyControlFirmware;
}

TEST(Tokenize, WhiteSpaceSeparatesAndQuotesAreOrdinary) {
    EXPECT_TRUE(tokenizeCommandLine("").empty());
    EXPECT_TRUE(tokenizeCommandLine(" \t \r\n ").empty());
    EXPECT_EQ(tokenizeCommandLine("  -batch\t\t -calib  "),
              (std::vector<std::string>{"-batch", "-calib"}));
    EXPECT_EQ(tokenizeCommandLine("\"-batch\" 'a b'"),
              (std::vector<std::string>{"\"-batch\"", "'a", "b'"}));
}

TEST(CommandLine, EmptyLineKeepsTheInitialSettingsAndOpensTheDialog) {
    for (const char* text : {"", "   ", "\t \t"}) {
        Parsed p = parse(text);
        EXPECT_FALSE(p.deviceAction);
        EXPECT_TRUE(isDefault(p.settings)) << text;
        EXPECT_EQ(p.errors, "");
    }
}

TEST(CommandLine, EachOptionSetsItsField) {
    Parsed p = parse("-batch -calib -nomicro -nofpga -noverify");
    EXPECT_FALSE(p.deviceAction);
    EXPECT_TRUE(p.settings.batchMode);
    EXPECT_EQ(p.settings.calibrationMode, 1);
    EXPECT_FALSE(p.settings.updateControlFirmware);
    EXPECT_FALSE(p.settings.updateVideoFirmware);
    EXPECT_FALSE(p.settings.correctionGiven);
    EXPECT_FALSE(p.settings.verifyControlFirmware);
    EXPECT_EQ(p.errors, "");
    EXPECT_TRUE(parse("-noverify").errors.empty());
    EXPECT_TRUE(parse("").settings.verifyControlFirmware);
}

TEST(CommandLine, LaterOptionsOverrideEarlierOnes) {
    EXPECT_EQ(parse("-calib -nocalib").settings.calibrationMode, 0);
    EXPECT_EQ(parse("-nocalib -calib").settings.calibrationMode, 1);
    Parsed p = parse("-correction 0.5 -correction 2");
    EXPECT_FLOAT_EQ(p.settings.correctionFactor, 2.0f);
    EXPECT_TRUE(p.settings.correctionGiven);
}

TEST(CommandLine, UnknownTokensAreReportedOneLineEachAndTheWalkGoesOn) {
    Parsed p = parse("-Batch \"-batch\" -calib");
    EXPECT_EQ(p.errors,
              "Invalid command-line argument '-Batch' ignored\n"
              "Invalid command-line argument '\"-batch\"' ignored\n");
    EXPECT_FALSE(p.settings.batchMode);
    EXPECT_EQ(p.settings.calibrationMode, 1);
}

TEST(CommandLine, CorrectionTakesAPositiveFiniteValue) {
    Parsed p = parse("-calib -correction 0.5");
    EXPECT_FLOAT_EQ(p.settings.correctionFactor, 0.5f);
    EXPECT_TRUE(p.settings.correctionGiven);
    EXPECT_EQ(p.errors, "");
    EXPECT_FLOAT_EQ(parse("-correction 1e-3").settings.correctionFactor, 0.001f);
    EXPECT_FLOAT_EQ(parse("-correction 3").settings.correctionFactor, 3.0f);
}

TEST(CommandLine, CorrectionAsLastTokenWarnsOnceAndChangesNothing) {
    Parsed p = parse("-batch -correction");
    EXPECT_EQ(p.errors, "Option '-correction' requires argument. Ignored.\n");
    EXPECT_FLOAT_EQ(p.settings.correctionFactor, 1.0f);
    EXPECT_FALSE(p.settings.correctionGiven);
    EXPECT_TRUE(p.settings.batchMode);
}

// A value that is not a positive number used to become the factor 0, which writes zeros over
// every calibration value.
TEST(CommandLine, CorrectionRefusesValuesThatAreNotPositiveFiniteNumbers) {
    for (const char* bad :
         {"abc", "0", "-1", "nan", "inf", "-0", "1.5x", "0x", "1e400", "1e-60", ""}) {
        if (std::string(bad).empty()) {
            continue;  // no empty token can occur
        }
        Parsed p = parse(std::string("-calib -correction ") + bad + " -nofpga");
        EXPECT_EQ(p.errors,
                  std::string("Invalid value '") + bad + "' for option '-correction'. Ignored.\n")
            << bad;
        EXPECT_FLOAT_EQ(p.settings.correctionFactor, 1.0f) << bad;
        EXPECT_FALSE(p.settings.correctionGiven) << bad;
        // The refused value is consumed with the option; the walk goes on after it.
        EXPECT_FALSE(p.settings.updateVideoFirmware) << bad;
        EXPECT_EQ(p.settings.calibrationMode, 1) << bad;
    }
}

// The token after -correction is its value whatever it holds: a refused value that is an
// option is not read as that option (-correction -dfu would switch the device instead of opening
// the dialog). Every warning is kept for the report, in order.
TEST(CommandLine, TheTokenAfterCorrectionIsAlwaysItsValue) {
    Parsed p = parse("-correction -batch");
    EXPECT_EQ(p.errors, "Invalid value '-batch' for option '-correction'. Ignored.\n");
    EXPECT_FALSE(p.settings.batchMode);
    EXPECT_FALSE(p.settings.correctionGiven);
    EXPECT_EQ(
        p.requests.warnings,
        (std::vector<std::string>{"Invalid value '-batch' for option '-correction'. Ignored."}));

    p = parse("-correction -dfu");
    EXPECT_FALSE(p.deviceAction);
    EXPECT_TRUE(p.calls.empty());

    // The second -correction is the first one's (refused) value; 0.25 is then an argument.
    p = parse("-correction -correction 0.25");
    EXPECT_FALSE(p.settings.correctionGiven);
    EXPECT_EQ(
        p.requests.warnings,
        (std::vector<std::string>{"Invalid value '-correction' for option '-correction'. Ignored.",
                                  "Invalid command-line argument '0.25' ignored"}));

    p = parse("-correction 1.5 -batch");
    EXPECT_TRUE(p.settings.batchMode);
    EXPECT_FLOAT_EQ(p.settings.correctionFactor, 1.5f);
    EXPECT_TRUE(p.requests.warnings.empty());

    p = parse("-batch -nomicr -correction 1,05");
    EXPECT_TRUE(p.settings.updateControlFirmware);
    EXPECT_EQ(p.requests.warnings, (std::vector<std::string>{
                                       "Invalid command-line argument '-nomicr' ignored",
                                       "Invalid value '1,05' for option '-correction'. Ignored."}));
}

TEST(CommandLine, DeviceActionsRunInTheirPlaceAndSuppressTheDialog) {
    Parsed p = parse("-dfu -batch");
    EXPECT_TRUE(p.deviceAction);
    EXPECT_EQ(p.calls, (std::vector<std::string>{"dfu"}));
    EXPECT_TRUE(p.settings.batchMode);

    p = parse("-dfu -dfu -pellinHDMI");
    EXPECT_EQ(p.calls, (std::vector<std::string>{"dfu", "dfu", "start(1)"}));
    EXPECT_TRUE(parse("-pellinHDMI").deviceAction);
}

TEST(CommandLine, DeviceErrorStopsTheWalkAtItsToken) {
    UpdateSettings settings;
    ProgramRequests requests;
    RecordingActions actions;
    actions.failAt = 0;
    std::ostringstream errors;
    EXPECT_THROW(applyCommandLine("-calib -dfu -batch -bogus", settings, requests, actions, errors),
                 std::runtime_error);
    EXPECT_EQ(settings.calibrationMode, 1);
    EXPECT_FALSE(settings.batchMode);
    EXPECT_EQ(errors.str(), "");
}

// The program reads the whole line first and carries the actions out afterwards, on the session.
TEST(CommandLine, RecordedActionsReplayInOrderAndStopAtAFailure) {
    UpdateSettings settings;
    ProgramRequests requests;
    RecordedActions recorded;
    std::ostringstream errors;
    EXPECT_TRUE(applyCommandLine("-pellinHDMI -dfu -batch -bogus -dfu", settings, requests,
                                 recorded, errors));
    EXPECT_TRUE(settings.batchMode);  // known before any device action
    EXPECT_EQ(errors.str(), "Invalid command-line argument '-bogus' ignored\n");

    RecordingActions device;
    recorded.replay(device);
    EXPECT_EQ(device.calls, (std::vector<std::string>{"start(1)", "dfu", "dfu"}));

    RecordingActions failing;
    failing.failAt = 1;
    EXPECT_THROW(recorded.replay(failing), std::runtime_error);
    EXPECT_EQ(failing.calls, (std::vector<std::string>{"start(1)", "dfu"}));
    EXPECT_TRUE(RecordedActions().empty());
}

TEST(CommandLine, ProgramRequestsAreOptionsLikeTheOthers) {
    for (const char* help : {"--help", "-h", "-?"}) {
        Parsed p = parse(std::string("-batch ") + help);
        EXPECT_TRUE(p.requests.help) << help;
        EXPECT_FALSE(p.requests.version) << help;
        EXPECT_EQ(p.errors, "") << help;
    }
    Parsed p = parse("--version -json -log /tmp/run.log");
    EXPECT_TRUE(p.requests.version);
    EXPECT_TRUE(p.requests.json);
    EXPECT_EQ(p.requests.logFile, "/tmp/run.log");
    EXPECT_EQ(p.errors, "");
    EXPECT_TRUE(isDefault(p.settings));

    // Spelled otherwise, they are unknown arguments.
    p = parse("-help --json -Json -version");
    EXPECT_FALSE(p.requests.help || p.requests.json || p.requests.version);
    EXPECT_EQ(std::count(p.errors.begin(), p.errors.end(), '\n'), 4);

    // Nor is a program request after -correction.
    p = parse("-correction -json");
    EXPECT_FALSE(p.requests.json);
    EXPECT_FALSE(p.settings.correctionGiven);
}

TEST(CommandLine, LogWithoutAFileIsExplainedAndIgnored) {
    Parsed p = parse("-batch -log");
    EXPECT_EQ(p.errors, "Option '-log' requires argument. Ignored.\n");
    EXPECT_EQ(p.requests.logFile, "");
    EXPECT_TRUE(p.settings.batchMode);

    // The next option is not taken for a file name.
    p = parse("-log -batch -calib");
    EXPECT_EQ(p.errors, "Option '-log' requires argument. Ignored.\n");
    EXPECT_EQ(p.requests.logFile, "");
    EXPECT_TRUE(p.settings.batchMode);
    EXPECT_EQ(p.settings.calibrationMode, 1);

    // Any other token is the file, the last -log counts.
    p = parse("-log first.log -log -x.log");
    EXPECT_EQ(p.requests.logFile, "-x.log");
    EXPECT_EQ(p.errors, "");
}

TEST(CommandLine, TheUnitIsNamedByTheTokenAfterDeviceOrSerial) {
    Parsed p = parse("-list -device 1-4.2 -serial 4711 -nomicro");
    EXPECT_TRUE(p.requests.list);
    EXPECT_EQ(p.requests.device, "1-4.2");
    EXPECT_EQ(p.requests.serial, "4711");
    EXPECT_FALSE(p.settings.updateControlFirmware);  // the options of the run it would be
    EXPECT_EQ(p.errors, "");

    // A Windows location path is one token; an option in its place is read as itself.
    p = parse("-device PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2) -serial -batch");
    EXPECT_EQ(p.requests.device, "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)");
    EXPECT_EQ(p.requests.serial, "");
    EXPECT_TRUE(p.settings.batchMode);
    EXPECT_EQ(p.errors, "Option '-serial' requires argument. Ignored.\n");
    p = parse("-device");
    EXPECT_EQ(p.requests.device, "");
    EXPECT_EQ(p.errors, "Option '-device' requires argument. Ignored.\n");
}

TEST(CorrectionFactor, ParsesWholeTokensOnly) {
    float f = 7.0f;
    EXPECT_TRUE(parseCorrectionFactor("+2.5", &f));
    EXPECT_FLOAT_EQ(f, 2.5f);
    f = 7.0f;
    EXPECT_FALSE(parseCorrectionFactor(" 2", &f));
    EXPECT_FALSE(parseCorrectionFactor("2 ", &f));
    EXPECT_FALSE(parseCorrectionFactor("", &f));
    EXPECT_FLOAT_EQ(f, 7.0f);  // untouched when refused
}

}  // namespace
