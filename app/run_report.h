// RunReport: what one updater run did, for a script (-json: JSON lines on standard output), for
// a support log (-log FILE: the same lines, each with the time, appended to the file) and for a
// person reading the headless front end's lines (device:, detail:).
//
// Events, one JSON object a line, each with an "event" field:
//   device    what the dialog shows of the device, "when" "before" (after the inspection) or
//             "after" (after the update run): serial, pcbRevision, videoStandard, package, video,
//             control, and the versions the program carries ("carried")
//   warning   "text": a warning about the command line, before anything else happens
//   status    a new status-bar text: "step" (the update step it belongs to, or null) and "text"
//   progress  "step" and "percent", each time the whole percent of a step changes
//   box       a message box: "caption", "text", "answer" (OK, Yes, No...)
//   error     "message" (the text shown), "kind" (usb, error, internal, or usage for a batch
//             run refused for its command line) and "detail" (the
//             exception's own text: for a USB error the request and the driver's status text)
//   result    the last line: "success", the versions "before" and "after" (null when not read),
//             "seconds" the run took
// With -json no message box waits for a person: each takes its default button, without being
// shown.
//
// One RunReport lives in the entry code for the whole run, longer than the USB session and the
// workers; the functions in namespace report reach it from the call sites (GUI thread and the
// workers alike) and, while none lives (code run without the entry code), do only what the call
// site did before: show the box, nothing else. All functions are thread-safe; none calls back
// while it holds its lock.
#pragma once

#include <exception>
#include <memory>
#include <string>

#include "app/window_api.h"

class RunReport {
  public:
    struct Options {
        bool json = false;    // events on standard output, boxes answered by their default
        std::string logFile;  // events appended to this file; empty: none
    };

    // Opens the log file (append); when it cannot be opened, logError() says why and the report
    // goes on without it. Main thread; at most one RunReport at a time.
    explicit RunReport(const Options& options);
    ~RunReport();
    RunReport(const RunReport&) = delete;
    RunReport& operator=(const RunReport&) = delete;

    // The live report, or null.
    static RunReport* current();

    // Why the log file could not be opened; empty when it was (or none was asked for).
    const std::string& logError() const { return logError_; }
    bool json() const { return json_; }

    // The events (any thread).
    // A warning about the command line (already written on standard error).
    void warning(const std::string& text);
    // The run was refused before any request (already written on standard error): an error
    // event of kind "usage".
    void refused(const std::string& text);
    void status(const std::string& text);
    void stepStarted(const std::string& step);
    void progress(const std::string& step, int percent);
    void box(const char* caption, const std::string& text, int answer);
    // With a "detail: " line for the headless front end unless -json.
    void error(const std::string& message, std::exception_ptr error);
    // Reads what the dialog shows (its thread): before the update, or after it.
    void device(HWND dialog, bool afterUpdate);
    // The result event, with the time since construction. Main thread, once, at the end.
    void finish(bool success);

  private:
    struct Impl;

    const bool json_;
    std::string logError_;
    std::unique_ptr<Impl> impl_;
};

namespace report {

// The status bar shows text (any thread).
void status(const std::string& text);
// A step's progress reporting begins (the update worker); its status texts begin with step.
void stepStarted(const std::string& step);
// The step's progress bar shows percent (the update worker).
void progress(const std::string& step, int percent);

// MessageBoxA, reported as a box event; with -json the box is not shown and its default button
// is the answer.
int messageBox(HWND owner, const std::string& text, const char* caption, UINT type);
// An error box (MB_ICONERROR, OK) for error, then its error event and, in the headless front
// end, a "detail: " line with the exception's own text.
void errorBox(HWND owner, const std::string& text, const char* caption, std::exception_ptr error);

// The inspection has shown the device in the dialog (GUI thread): the device event, and the
// notice of a second device on the status bar when the session refused one.
void deviceInspected(HWND dialog, HWND statusBar);
// The update run has ended and the dialog shows the versions read since (GUI thread).
void deviceUpdated(HWND dialog);
// After a device action without dialog: the notice of a second device on standard error.
void devicesActedOn();

// Whether standard output carries the JSON lines (then nothing else may be written there).
bool jsonOnStandardOutput();

}  // namespace report
