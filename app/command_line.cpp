#include "app/command_line.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ostream>

#include "app/update_settings.h"

std::vector<std::string> tokenizeCommandLine(const std::string& text) {
    std::vector<std::string> tokens;
    std::string current;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            if (!current.empty()) {
                tokens.push_back(current);
                current.clear();
            }
        } else {
            current += c;
        }
    }
    if (!current.empty()) {
        tokens.push_back(current);
    }
    return tokens;
}

void RecordedActions::replay(DeviceActions& target) const {
    for (const Action& action : actions_) {
        if (action.enterDfuMode) {
            target.enterDfuMode();
        } else {
            target.startApplication(action.wait);
        }
    }
}

namespace {

bool isHelpOption(const std::string& token) {
    return token == "--help" || token == "-h" || token == "-?";
}

}  // namespace

bool isCommandLineOption(const std::string& token) {
    static const char* const options[] = {"-dfu",        "-pellinHDMI", "-batch",    "-calib",
                                          "-nocalib",    "-nomicro",    "-noverify", "-nofpga",
                                          "-correction", "-json",       "-log",      "--version",
                                          "-list",       "-device",     "-serial"};
    if (isHelpOption(token)) {
        return true;
    }
    for (const char* option : options) {
        if (token == option) {
            return true;
        }
    }
    return false;
}

bool parseCorrectionFactor(const std::string& text, float* factor) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) {
        return false;
    }
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(begin, &end);
    if (end != begin + text.size() || errno == ERANGE) {
        return false;
    }
    const float narrowed = static_cast<float>(value);
    // nan fails both comparisons; inf and values beyond float's range fail isfinite; values that
    // underflow to 0 as a float fail the comparison.
    if (!(value > 0.0) || !std::isfinite(narrowed) || !(narrowed > 0.0f)) {
        return false;
    }
    *factor = narrowed;
    return true;
}

bool applyCommandLine(const std::string& text, UpdateSettings& settings, ProgramRequests& requests,
                      DeviceActions& device, std::ostream& errors) {
    const std::vector<std::string> tokens = tokenizeCommandLine(text);
    bool deviceAction = false;
    auto warn = [&](const std::string& warning) {
        errors << warning << std::endl;
        requests.warnings.push_back(warning);
    };
    for (size_t i = 0; i < tokens.size(); ++i) {
        const std::string& token = tokens[i];
        if (token == "-dfu") {
            deviceAction = true;
            device.enterDfuMode();
        } else if (token == "-pellinHDMI") {
            deviceAction = true;
            device.startApplication(1);
        } else if (token == "-batch") {
            settings.batchMode = true;
        } else if (token == "-calib") {
            settings.calibrationMode = 1;
        } else if (token == "-nocalib") {
            settings.calibrationMode = 0;
        } else if (token == "-nomicro") {
            settings.updateControlFirmware = false;
        } else if (token == "-noverify") {
            settings.verifyControlFirmware = false;
        } else if (token == "-nofpga") {
            settings.updateVideoFirmware = false;
        } else if (token == "-correction") {
            if (i + 1 == tokens.size()) {
                warn("Option '-correction' requires argument. Ignored.");
                break;
            }
            // The next token is the value whatever it holds: read as an option, a mistyped value
            // such as "-dfu" would switch the device instead of opening the dialog.
            const std::string& value = tokens[++i];
            float factor = 0.0f;
            if (parseCorrectionFactor(value, &factor)) {
                settings.correctionFactor = factor;
                settings.correctionGiven = true;
            } else {
                warn("Invalid value '" + value + "' for option '-correction'. Ignored.");
            }
        } else if (token == "-json") {
            requests.json = true;
        } else if (token == "-log") {
            if (i + 1 == tokens.size() || isCommandLineOption(tokens[i + 1])) {
                warn("Option '-log' requires argument. Ignored.");
            } else {
                requests.logFile = tokens[++i];
            }
        } else if (token == "-device" || token == "-serial") {
            if (i + 1 == tokens.size() || isCommandLineOption(tokens[i + 1])) {
                errors << "Option '" << token << "' requires argument. Ignored." << std::endl;
            } else {
                (token == "-device" ? requests.device : requests.serial) = tokens[++i];
            }
        } else if (token == "-list") {
            requests.list = true;
        } else if (isHelpOption(token)) {
            requests.help = true;
        } else if (token == "--version") {
            requests.version = true;
        } else {
            warn("Invalid command-line argument '" + token + "' ignored");
        }
    }
    return deviceAction;
}
