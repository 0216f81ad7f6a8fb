#include "app/run_report.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>

#include "app/program_version.h"
#include "usb/usbutils.h"

namespace {

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

using Json = nlohmann::ordered_json;

// Device texts are bytes as the device holds them: invalid UTF-8 is replaced rather than allowed
// to end the run with an exception.
std::string line(const Json& event) {
    return event.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json text(const std::optional<std::string>& value) {
    return value ? Json(*value) : Json(nullptr);
}

Json versionsOf(const UnitRecord& unit) {
    return {{"package", text(unit.package)},
            {"video", text(unit.video)},
            {"control", text(unit.control)}};
}

}  // namespace

ErrorDescription describeError(std::exception_ptr error) {
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

RunReport::RunReport(const Options& options)
    : json_(options.json),
      options_(options.options),
      warnings_(options.warnings),
      started_(bvu::clock::now()) {
    if (!options.logFile.empty()) {
        errno = 0;
        log_.open(options.logFile, std::ios::out | std::ios::app);
        if (!log_.is_open()) {
            logError_ = "Could not open the log file '" + options.logFile + "'";
            if (errno != 0) {
                logError_ += std::string(" (") + std::strerror(errno) + ")";
            }
            logError_ += ".";
        }
    }
}

void RunReport::emit(const Json& event) {
    if (json_) {
        std::cout << line(event) << std::endl;
    }
    if (log_.is_open()) {
        Json timed = {{"time", utcTimestamp()}};
        timed.update(event);
        log_ << line(timed) << std::endl;
    }
}

void RunReport::addRun(Json& event) const {
    event["program"] = programVersionText();
    event["options"] = options_;
    event["warnings"] = warnings_;
}

void RunReport::warning(const std::string& text) {
    emit({{"event", "warning"}, {"text", text}});
}

void RunReport::refused(const std::string& text) {
    emit({{"event", "error"}, {"message", text}, {"kind", "usage"}, {"detail", ""}});
}

void RunReport::status(const std::string& text) {
    Json step;  // null outside the update's steps ("All updates complete.")
    if (!step_.empty() && text.compare(0, step_.size(), step_) == 0 &&
        (text.size() == step_.size() || text.compare(step_.size(), 2, ": ") == 0)) {
        step = step_;
    }
    emit({{"event", "status"}, {"step", step}, {"text", text}});
}

void RunReport::stepStarted(const std::string& step) {
    step_ = step;
    lastPercent_ = -1;
}

void RunReport::progress(const std::string& step, int percent) {
    if (step == step_ && percent == lastPercent_) {
        return;
    }
    step_ = step;
    lastPercent_ = percent;
    emit({{"event", "progress"}, {"step", step}, {"percent", percent}});
}

void RunReport::box(const Box& box, Answer answer) {
    emit({{"event", "box"},
          {"caption", box.caption},
          {"text", box.text},
          {"answer", answerName(answer)}});
}

void RunReport::error(const std::string& message, std::exception_ptr error) {
    const ErrorDescription d = describeError(error);
    emit({{"event", "error"}, {"message", message}, {"kind", d.kind}, {"detail", d.detail}});
}

void RunReport::device(const UnitRecord& unit, const CarriedVersions& carried, bool afterUpdate) {
    (afterUpdate ? after_ : before_) = versionsOf(unit);
    Json event = {
        {"event", "device"},
        {"when", afterUpdate ? "after" : "before"},
        {"serial", text(unit.serial)},
        {"pcbRevision", text(unit.pcbRevision)},
        {"videoStandard", text(unit.videoStandard)},
        {"package", text(unit.package)},
        {"video", text(unit.video)},
        {"control", text(unit.control)},
        {"carried",
         {{"package", carried.package}, {"video", carried.video}, {"control", carried.control}}}};
    addRun(event);
    emit(event);
}

void RunReport::finish(bool success) {
    const double seconds = std::chrono::duration<double>(bvu::clock::now() - started_).count();
    Json event = {{"event", "result"}, {"success", success}};
    event["before"] = before_;
    event["after"] = after_;
    event["seconds"] = std::round(seconds * 1000.0) / 1000.0;
    addRun(event);
    emit(event);
}
