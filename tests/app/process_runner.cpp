#include "process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace bvu {
namespace test {

namespace {

std::vector<std::string> mergedEnvironment(const std::map<std::string, std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (extra.find(name) == extra.end()) {
            env.push_back(entry);
        }
    }
    for (const auto& kv : extra) {
        env.push_back(kv.first + "=" + kv.second);
    }
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> p;
    for (std::string& s : strings) {
        p.push_back(&s[0]);
    }
    p.push_back(nullptr);
    return p;
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argvIn, const ProcessOptions& options) {
    ProcessResult result;
    int in[2], out[2], err[2];
    // Close-on-exec, so that a child spawned meanwhile by another thread holds none of these
    // ends: it would keep this child's input from ending and its output from closing. The
    // child's own ends are duplicated onto 0, 1 and 2, which the duplication leaves inheritable.
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        result.err = "pipe failed";
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
        posix_spawn_file_actions_addclose(&actions, fd);
    }
    std::vector<std::string> argv = argvIn;
    std::vector<std::string> env = mergedEnvironment(options.env);
    std::vector<char*> argvP = pointers(argv);
    std::vector<char*> envP = pointers(env);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argvP[0], &actions, nullptr, argvP.data(), envP.data());
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (spawned != 0) {
        close(in[1]);
        close(out[0]);
        close(err[0]);
        result.err = std::string("spawn failed: ") + std::strerror(spawned);
        return result;
    }

    signal(SIGPIPE, SIG_IGN);  // the child may end without reading its input
    size_t written = 0;
    int inFd = in[1];
    if (options.input.empty()) {
        close(inFd);
        inFd = -1;
    } else {
        fcntl(inFd, F_SETFL, O_NONBLOCK);
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeoutMs);
    int openOutputs = 2;
    bool outOpen = true, errOpen = true;
    while (openOutputs > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            result.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        pollfd fds[3];
        int n = 0;
        if (outOpen) {
            fds[n++] = {out[0], POLLIN, 0};
        }
        if (errOpen) {
            fds[n++] = {err[0], POLLIN, 0};
        }
        if (inFd >= 0) {
            fds[n++] = {inFd, POLLOUT, 0};
        }
        if (poll(fds, n, static_cast<int>(left)) < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < n; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            if (fds[i].fd == inFd) {
                const ssize_t w =
                    write(inFd, options.input.data() + written, options.input.size() - written);
                if (w > 0) {
                    written += static_cast<size_t>(w);
                }
                if (w < 0 || written == options.input.size()) {
                    close(inFd);
                    inFd = -1;
                }
                continue;
            }
            char buffer[4096];
            const ssize_t r = read(fds[i].fd, buffer, sizeof buffer);
            if (r > 0) {
                (fds[i].fd == out[0] ? result.out : result.err).append(buffer, r);
            } else {
                (fds[i].fd == out[0] ? outOpen : errOpen) = false;
                --openOutputs;
            }
        }
    }
    if (inFd >= 0) {
        close(inFd);
    }
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) && !result.timedOut) {
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        result.push_back(line);
        start = end + 1;
    }
    return result;
}

}  // namespace test
}  // namespace bvu
