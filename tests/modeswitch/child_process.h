// Runs a program as a child process, natively or as a Windows program (also under Wine): its
// standard output and standard error go to files and come back as texts; the environment is
// the test's own (set variables before the call). A child that outlives the time limit is
// killed and reported with exit code -1.
#pragma once

#include <string>
#include <vector>

namespace bvu {
namespace test {

struct ChildResult {
    int exitCode = -1;
    std::string out;
    std::string err;  // with "\r\n" line ends turned into "\n"
    double realMs = 0;
};

ChildResult runChild(const std::string& program, const std::vector<std::string>& args,
                     const std::string& scratchDir, int timeLimitMs = 60000);

// Sets (or replaces) a variable of the test's own environment, which children inherit.
void setEnvironment(const std::string& name, const std::string& value);

}  // namespace test
}  // namespace bvu
