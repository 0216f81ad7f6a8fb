#include "app/run_report.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <mutex>

#include <nlohmann/json.hpp>

#include "app/program_version.h"
#include "app/resources/resource.h"
#include "platform/clock.h"
#include "platform/window/box_buttons.h"
#include "usb/units.h"
#include "usb/usbutils.h"

#ifndef _WIN32
#include "platform/window/headless_driver.h"
#endif

namespace {

// Insertion order kept, so that "event" (or the log's "time") comes first in every line.
using Json = nlohmann::ordered_json;

std::atomic<RunReport*> g_current{nullptr};

std::string utcTimestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long millis = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[80];  // room for any int the compiler can imagine in the fields
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
    return text;
}

// Device texts are bytes as the device holds them: invalid UTF-8 is replaced rather than allowed
// to end the run with an exception.
std::string line(const Json& event) {
    return event.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// A line for the headless front end's output; nothing elsewhere (a Windows program has none).
void note(const std::string& text) {
#ifndef _WIN32
    bvu::window::headless::note(text);
#else
    (void)text;
#endif
}

std::string escaped(const std::string& text) {
#ifndef _WIN32
    return bvu::window::headless::escapeText(text);
#else
    return text;
#endif
}

struct ErrorDescription {
    const char* kind;
    std::string detail;
};

ErrorDescription describe(std::exception_ptr error) {
    if (!error) {
        return {"internal", ""};
    }
    try {
        std::rethrow_exception(error);
    } catch (const USBUtils::Error& e) {
        return {"usb", e.message()};
    } catch (const BVExBase& e) {
        return {"error", e.message()};
    } catch (const std::exception& e) {
        return {"internal", e.what()};
    } catch (...) {
        return {"internal", "an exception of unknown type"};
    }
}

std::string dialogText(HWND dialog, int id) {
    char text[256] = "";
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}

// What the dialog shows of the device: the texts it read and the versions the program carries.
Json readDialog(HWND dialog) {
    Json device;
    device["serial"] = dialogText(dialog, IDC_SERIAL);
    device["pcbRevision"] = dialogText(dialog, IDC_PCB_REVISION);
    device["videoStandard"] = IsDlgButtonChecked(dialog, IDC_NTSC) == BST_CHECKED  ? "NTSC"
                              : IsDlgButtonChecked(dialog, IDC_PAL) == BST_CHECKED ? "PAL"
                                                                                   : "";
    device["package"] = dialogText(dialog, IDC_FIRMWARE_VERSION);
    device["video"] = dialogText(dialog, IDC_VIDEO_CURRENT);
    device["control"] = dialogText(dialog, IDC_CONTROL_CURRENT);
    device["carried"] = {{"package", programVersionText()},
                         {"video", dialogText(dialog, IDC_VIDEO_UPDATE)},
                         {"control", dialogText(dialog, IDC_CONTROL_UPDATE)}};
    return device;
}

Json versionsOf(const Json& device) {
    return {
        {"package", device["package"]}, {"video", device["video"]}, {"control", device["control"]}};
}

std::string deviceLine(const Json& device, const char* when) {
    const Json& carried = device["carried"];
    auto text = [](const Json& value) { return escaped(value.get<std::string>()); };
    std::string standard = text(device["videoStandard"]);
    return std::string("device: ") + when + ": serial " + text(device["serial"]) +
           ", PCB revision " + text(device["pcbRevision"]) + (standard.empty() ? "" : ", ") +
           standard + ", package " + text(device["package"]) + ", video firmware " +
           text(device["video"]) + ", control firmware " + text(device["control"]) +
           " (carried: package " + text(carried["package"]) + ", video " + text(carried["video"]) +
           ", control " + text(carried["control"]) + ")";
}

// The notice of a second device, naming the units left alone; empty when none was refused.
std::string secondDeviceNotice() {
    try {
        const USBUtils& session = USBUtils::instance();
        return session.refusedDevices() > 0 ? bvu::usb::secondDeviceText(session.otherUnits())
                                            : std::string();
    } catch (const BVExBase&) {
        return std::string();  // no session: nothing was refused
    }
}

}  // namespace

struct RunReport::Impl {
    Impl() : started(bvu::clock::now()) {}

    // Writes one event to standard output and the log, as asked.
    void emit(bool json, const Json& event) {
        std::lock_guard<std::mutex> lock(mutex);
        if (json) {
            std::cout << line(event) << std::endl;
        }
        if (log.is_open()) {
            Json timed = {{"time", utcTimestamp()}};
            timed.update(event);
            log << line(timed) << std::endl;
        }
    }

    const bvu::clock::TimePoint started;
    std::ofstream log;

    std::mutex mutex;  // the outputs and everything below
    std::string step;  // the step whose progress is being reported; empty before the first
    int lastPercent = -1;
    Json before;  // the versions as inspected, and after the update run; null until read
    Json after;
};

RunReport::RunReport(const Options& options) : json_(options.json), impl_(new Impl) {
    if (!options.logFile.empty()) {
        errno = 0;
        impl_->log.open(options.logFile, std::ios::out | std::ios::app);
        if (!impl_->log.is_open()) {
            logError_ = "Could not open the log file '" + options.logFile + "'";
            if (errno != 0) {
                logError_ += std::string(" (") + std::strerror(errno) + ")";
            }
            logError_ += ".";
        }
    }
    g_current.store(this);
}

RunReport::~RunReport() {
    g_current.store(nullptr);
}

RunReport* RunReport::current() {
    return g_current.load();
}

void RunReport::warning(const std::string& text) {
    impl_->emit(json_, {{"event", "warning"}, {"text", text}});
}

void RunReport::refused(const std::string& text) {
    impl_->emit(json_, {{"event", "error"}, {"message", text}, {"kind", "usage"}, {"detail", ""}});
}

void RunReport::status(const std::string& text) {
    Json step;  // null outside the update's steps ("All updates complete.")
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        const std::string& current = impl_->step;
        if (!current.empty() && text.compare(0, current.size(), current) == 0 &&
            (text.size() == current.size() || text.compare(current.size(), 2, ": ") == 0)) {
            step = current;
        }
    }
    impl_->emit(json_, {{"event", "status"}, {"step", step}, {"text", text}});
}

void RunReport::stepStarted(const std::string& step) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->step = step;
    impl_->lastPercent = -1;
}

void RunReport::progress(const std::string& step, int percent) {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        if (step == impl_->step && percent == impl_->lastPercent) {
            return;
        }
        impl_->step = step;
        impl_->lastPercent = percent;
    }
    impl_->emit(json_, {{"event", "progress"}, {"step", step}, {"percent", percent}});
}

void RunReport::box(const char* caption, const std::string& text, int answer) {
    impl_->emit(json_, {{"event", "box"},
                        {"caption", caption != nullptr ? caption : ""},
                        {"text", text},
                        {"answer", bvu::window::buttonName(answer)}});
}

void RunReport::error(const std::string& message, std::exception_ptr error) {
    const ErrorDescription d = describe(error);
    impl_->emit(json_,
                {{"event", "error"}, {"message", message}, {"kind", d.kind}, {"detail", d.detail}});
    if (!json_) {
        note("detail: " + escaped(d.detail));
    }
}

void RunReport::device(HWND dialog, bool afterUpdate) {
    Json device = readDialog(dialog);
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        (afterUpdate ? impl_->after : impl_->before) = versionsOf(device);
    }
    Json event = {{"event", "device"}, {"when", afterUpdate ? "after" : "before"}};
    event.update(device);
    impl_->emit(json_, event);
    if (!json_) {
        note(deviceLine(device, afterUpdate ? "after the update" : "before the update"));
    }
}

void RunReport::finish(bool success) {
    const double seconds =
        std::chrono::duration<double>(bvu::clock::now() - impl_->started).count();
    Json event = {{"event", "result"}, {"success", success}};
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        event["before"] = impl_->before;
        event["after"] = impl_->after;
    }
    event["seconds"] = std::round(seconds * 1000.0) / 1000.0;
    impl_->emit(json_, event);
}

namespace report {

void status(const std::string& text) {
    if (RunReport* r = RunReport::current()) {
        r->status(text);
    }
}

void stepStarted(const std::string& step) {
    if (RunReport* r = RunReport::current()) {
        r->stepStarted(step);
    }
}

void progress(const std::string& step, int percent) {
    if (RunReport* r = RunReport::current()) {
        r->progress(step, percent);
    }
}

int messageBox(HWND owner, const std::string& text, const char* caption, UINT type) {
    RunReport* r = RunReport::current();
    const int answer = r != nullptr && r->json() ? bvu::window::defaultButton(type)
                                                 : MessageBoxA(owner, text.c_str(), caption, type);
    if (r != nullptr) {
        r->box(caption, text, answer);
    }
    return answer;
}

void errorBox(HWND owner, const std::string& text, const char* caption, std::exception_ptr error) {
    messageBox(owner, text, caption, MB_ICONERROR);
    if (RunReport* r = RunReport::current()) {
        r->error(text, error);
    }
}

void deviceInspected(HWND dialog, HWND statusBar) {
    if (RunReport* r = RunReport::current()) {
        r->device(dialog, false);
    }
    const std::string notice = secondDeviceNotice();
    if (!notice.empty()) {
        SendMessageA(statusBar, SB_SETTEXTA, 0, reinterpret_cast<LPARAM>(notice.c_str()));
        status(notice);
    }
}

void deviceUpdated(HWND dialog) {
    if (RunReport* r = RunReport::current()) {
        r->device(dialog, true);
    }
}

void devicesActedOn() {
    const std::string notice = secondDeviceNotice();
    if (!notice.empty()) {
        std::cerr << notice << std::endl;
        status(notice);
    }
}

bool jsonOnStandardOutput() {
    RunReport* r = RunReport::current();
    return r != nullptr && r->json();
}

}  // namespace report
