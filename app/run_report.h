// RunReport: what one updater run did, for a script (-json: JSON lines on standard output) and
// for a support log (-log FILE: the same lines, each with the time, appended to the file). The
// presenter and the entry code give it the run's events; it reads no window and no device.
//
// Events, one JSON object a line, each with an "event" field:
//   device    what the run read from the unit, "when" "before" (after the inspection) or "after"
//             (after the update run): serial, pcbRevision, videoStandard, package, video,
//             control (null where it could not be read, or where the run may have changed it
//             without reading it back), the versions the program carries ("carried"), and the
//             run's "program" version, "options" (the command line's tokens) and "warnings"
//   warning   "text": a warning about the command line, before anything else happens
//   status    a new status text: "step" (the update step it belongs to, or null) and "text"
//   progress  "step" and "percent", each time the whole percent of a step changes
//   box       a message box: "caption", "text", "answer" (OK, Yes, No)
//   error     "message" (the text shown), "kind" (usb, error, internal, or usage for a batch
//             run refused for its command line) and "detail" (the
//             exception's own text: for a USB error the request and the driver's status text)
//   result    the last line: "success", the versions "before" and "after" (null when not read),
//             "seconds" the run took, and "program", "options" and "warnings" as above
//
// One RunReport lives in the entry code for the whole run, longer than the dialog. Main thread.
#pragma once

#include <exception>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/dialog_state.h"
#include "app/update_plan.h"
#include "platform/clock.h"

// What an error is, for the error event and the lines of scripts.
struct ErrorDescription {
    const char* kind;    // "usb", "error" (the system's own errors) or "internal"
    std::string detail;  // the exception's text
};
ErrorDescription describeError(std::exception_ptr error);

class RunReport {
  public:
    struct Options {
        bool json = false;                  // events on standard output
        std::string logFile;                // events appended to this file; empty: none
        std::vector<std::string> options;   // the command line's tokens
        std::vector<std::string> warnings;  // what the command line's parser warned of
    };

    // Opens the log file (append); when it cannot be opened, logError() says why and the report
    // goes on without it.
    explicit RunReport(const Options& options);
    RunReport(const RunReport&) = delete;
    RunReport& operator=(const RunReport&) = delete;

    // Why the log file could not be opened; empty when it was (or none was asked for).
    const std::string& logError() const { return logError_; }
    bool json() const { return json_; }

    // A warning about the command line (already written on standard error).
    void warning(const std::string& text);
    // The run was refused before any request (already written on standard error): an error
    // event of kind "usage".
    void refused(const std::string& text);
    void status(const std::string& text);
    // A step's progress reporting begins; its status texts begin with step.
    void stepStarted(const std::string& step);
    void progress(const std::string& step, int percent);
    void box(const Box& box, Answer answer);
    void error(const std::string& message, std::exception_ptr error);
    void device(const UnitRecord& unit, const CarriedVersions& carried, bool afterUpdate);
    // The result event, with the time since construction. Once, at the end.
    void finish(bool success);

  private:
    using Json = nlohmann::ordered_json;
    void emit(const Json& event);
    // The program's version, the options and the warnings, added to a record.
    void addRun(Json& event) const;

    const bool json_;
    const std::vector<std::string> options_;
    const std::vector<std::string> warnings_;
    const bvu::clock::TimePoint started_;
    std::string logError_;
    std::ofstream log_;
    std::string step_;  // the step whose progress is being reported; empty before the first
    int lastPercent_ = -1;
    Json before_;  // the versions as inspected, and after the update run; null until read
    Json after_;
};
