// Runs a program as a child process for the tests: standard input from a text, standard output
// and standard error captured, extra environment variables, and a time limit after which the
// child is killed (a hang is a failure, not a stuck test). Several threads may run children at
// once.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace bvu {
namespace test {

struct ProcessResult {
    int exitCode = -1;  // the exit status; -1 when killed by a signal or the time limit
    int signal = 0;     // the signal that ended the child, if any
    bool timedOut = false;
    std::string out;  // standard output
    std::string err;  // standard error
};

struct ProcessOptions {
    std::map<std::string, std::string> env;  // added to (or replacing in) the test's own
    std::string input;                       // written to standard input, which is then closed
    int timeoutMs = 60000;
};

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options);

// The lines of a text, without their line ends (and without a '\r' before them).
std::vector<std::string> lines(const std::string& text);

}  // namespace test
}  // namespace bvu
