#include "updater_runs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

namespace bvu {
namespace test {

Outcome runUpdater(const DeviceFile& device, const std::vector<std::string>& args,
                   const std::string& script, const char* timeScale,
                   const std::map<std::string, std::string>& env) {
    std::vector<std::string> argv{BVU_UPDATER_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessOptions options;
    options.env["BVU_USB"] = device.usbSetting();
    options.env["BVU_TIME_SCALE"] = timeScale;
    options.env["BVU_FRONTEND"] = "headless";
    for (const auto& kv : env) {
        options.env[kv.first] = kv.second;
    }
    options.input = script;
    options.timeoutMs = 120000;
    Outcome run;
    run.result = runProcess(argv, options);
    run.err = lines(run.result.err);
    run.out = lines(run.result.out);
    EXPECT_FALSE(run.result.timedOut) << run.result.err;
    EXPECT_EQ(run.result.signal, 0) << run.result.err;
    return run;
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::vector<std::string> starting(const std::vector<std::string>& lines,
                                  const std::string& prefix) {
    std::vector<std::string> result;
    for (const std::string& l : lines) {
        if (l.compare(0, prefix.size(), prefix) == 0) {
            result.push_back(l);
        }
    }
    return result;
}

bool inOrder(const std::vector<std::string>& lines, const std::vector<std::string>& wanted) {
    auto it = lines.begin();
    for (const std::string& w : wanted) {
        it = std::find(it, lines.end(), w);
        if (it == lines.end()) {
            return false;
        }
        ++it;
    }
    return true;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string s;
    for (const std::string& l : lines) {
        s += l + "\n";
    }
    return s;
}

std::vector<nlohmann::json> events(const std::vector<std::string>& lines) {
    std::vector<nlohmann::json> result;
    for (const std::string& l : lines) {
        try {
            result.push_back(nlohmann::json::parse(l));
            EXPECT_TRUE(result.back().contains("event")) << l;
        } catch (const nlohmann::json::exception& e) {
            ADD_FAILURE() << "not a JSON line: " << l << " (" << e.what() << ")";
        }
    }
    return result;
}

std::vector<nlohmann::json> ofKind(const std::vector<nlohmann::json>& all,
                                   const std::string& kind) {
    std::vector<nlohmann::json> result;
    std::copy_if(all.begin(), all.end(), std::back_inserter(result),
                 [&](const nlohmann::json& e) { return e.value("event", "") == kind; });
    return result;
}

}  // namespace test
}  // namespace bvu
