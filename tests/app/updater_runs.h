// The updater run as a process against an emulated device, for the process tests: headless front
// end, a compressed clock, the lines of both outputs, and finders over them.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "device_fixture.h"
#include "process_runner.h"

namespace bvu {
namespace test {

// What every process test speaks of.
using emulator::CreateOptions;
using emulator::FaultKind;
using emulator::FaultRule;
using emulator::Guise;
using Json = nlohmann::json;

// The compressed waits must still outlast what a loaded machine needs: the 10-second wait for
// the device to attach is 500 ms at 0.05. Sanitizers slow the program and the emulated device
// down several times over.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr const char* kTimeScale = "0.2";
constexpr const char* kSlowTimeScale = "0.5";
#else
constexpr const char* kTimeScale = "0.05";
constexpr const char* kSlowTimeScale = "0.2";
#endif

struct Outcome {
    ProcessResult result;
    std::vector<std::string> err;  // standard error, line by line
    std::vector<std::string> out;
};

// Runs the updater with args against device (BVU_USB), script on standard input; env adds to or
// replaces the variables set here.
Outcome runUpdater(const DeviceFile& device, const std::vector<std::string>& args,
                   const std::string& script = "", const char* timeScale = kTimeScale,
                   const std::map<std::string, std::string>& env = {});

bool contains(const std::vector<std::string>& lines, const std::string& line);
// The lines that begin with prefix, in order.
std::vector<std::string> starting(const std::vector<std::string>& lines, const std::string& prefix);
// True when every wanted line occurs, in this order (other lines may lie between).
bool inOrder(const std::vector<std::string>& lines, const std::vector<std::string>& wanted);
std::string joined(const std::vector<std::string>& lines);

// Every line parsed as a JSON event; a line that is not one fails the test and is left out.
std::vector<nlohmann::json> events(const std::vector<std::string>& lines);
// The events of this kind ("device", "result"...), in order.
std::vector<nlohmann::json> ofKind(const std::vector<nlohmann::json>& all, const std::string& kind);

}  // namespace test
}  // namespace bvu
