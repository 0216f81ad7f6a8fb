// bvu-emulator serve: the emulated device in a umockdev testbed for the length of one command.
#include "emulator/umockdev/serve.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "emulator/emulator.h"
#include "emulator/umockdev/adapter.h"

extern char** environ;

namespace bvu {
namespace emulator {
namespace {

constexpr int kUsage = 2;
constexpr int kCannotServe = 125;
constexpr int kCannotRun = 126;
constexpr int kNotFound = 127;

constexpr const char* kPreloadLibrary = "libumockdev-preload.so.0";
// Set when serve has started itself again under the preload, so that it never loops.
constexpr const char* kRestartedMarker = "BVU_SERVE_RESTARTED";

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool preloaded() {
    return env("LD_PRELOAD").find("libumockdev-preload") != std::string::npos;
}

std::string preloadValue() {
    std::string current = env("LD_PRELOAD");
    if (current.find("libumockdev-preload") != std::string::npos)
        return current;
    return current.empty() ? kPreloadLibrary : std::string(kPreloadLibrary) + ":" + current;
}

// A sanitized program refuses to start when the preload comes before its runtime unless told
// that this is intended; other programs ignore the option.
std::string asanOptionsValue() {
    std::string current = env("ASAN_OPTIONS");
    if (current.find("verify_asan_link_order") != std::string::npos)
        return current;
    return current.empty() ? "verify_asan_link_order=0" : current + ":verify_asan_link_order=0";
}

// Replaces this process by itself, with the same arguments, under the preload. Returns only on
// failure.
int restartUnderPreload() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> words;
    for (size_t at = 0; at < all.size();) {
        size_t end = all.find('\0', at);
        if (end == std::string::npos)
            end = all.size();
        words.push_back(all.substr(at, end - at));
        at = end + 1;
    }
    if (words.empty()) {
        std::fprintf(stderr, "serve: cannot read this program's command line\n");
        return kCannotServe;
    }
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    setenv("LD_PRELOAD", preloadValue().c_str(), 1);
    setenv("ASAN_OPTIONS", asanOptionsValue().c_str(), 1);
    setenv(kRestartedMarker, "1", 1);
    execv("/proc/self/exe", argv.data());
    std::fprintf(stderr, "serve: cannot start again under the umockdev preload: %s\n",
                 std::strerror(errno));
    return kCannotServe;
}

// The command's environment: ours, with the testbed and the preload.
std::vector<std::string> childEnvironment(const std::string& root) {
    std::vector<std::string> out;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        if (name == "UMOCKDEV_DIR" || name == "LD_PRELOAD" || name == "ASAN_OPTIONS" ||
            name == kRestartedMarker) {
            continue;
        }
        out.push_back(entry);
    }
    out.push_back("UMOCKDEV_DIR=" + root);
    out.push_back("LD_PRELOAD=" + preloadValue());
    out.push_back("ASAN_OPTIONS=" + asanOptionsValue());
    return out;
}

// Starts the command and waits for it. Interrupt and quit (a Ctrl-C at the terminal) are the
// command's to handle; this process ignores them meanwhile so that it lives to save the device.
int runCommand(const std::vector<std::string>& command, const std::string& root) {
    std::vector<std::string> envStrings = childEnvironment(root);
    std::vector<char*> envp;
    for (std::string& s : envStrings) envp.push_back(&s[0]);
    envp.push_back(nullptr);
    std::vector<std::string> words = command;
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);

    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    struct sigaction oldInt {
    }, oldQuit{};
    sigaction(SIGINT, &ignore, &oldInt);
    sigaction(SIGQUIT, &ignore, &oldQuit);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGQUIT);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    int error = posix_spawnp(&pid, argv[0], nullptr, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);

    int result;
    if (error != 0) {
        std::fprintf(stderr, "serve: cannot run %s: %s\n", argv[0], std::strerror(error));
        result = error == ENOENT ? kNotFound : kCannotRun;
    } else {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        result = WIFEXITED(status)     ? WEXITSTATUS(status)
                 : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                       : kCannotRun;
    }
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGQUIT, &oldQuit, nullptr);
    return result;
}

}  // namespace

int runServe(const std::vector<std::string>& args) {
    const auto dashes = std::find(args.begin(), args.end(), std::string("--"));
    const std::vector<std::string> states(args.begin(), dashes);
    if (states.empty() || dashes == args.end() || dashes + 1 == args.end() ||
        std::find(states.begin(), states.end(), std::string()) != states.end()) {
        std::fprintf(stderr, "usage: bvu-emulator serve STATE [STATE...] -- COMMAND [ARGS...]\n");
        return kUsage;
    }
    if (!preloaded()) {
        // Without the preload in this process the testbed's hotplug events reach nobody.
        if (env(kRestartedMarker).empty())
            return restartUnderPreload();
        std::fprintf(stderr, "serve: the umockdev preload (%s) could not be loaded\n",
                     kPreloadLibrary);
        return kCannotServe;
    }
    std::vector<std::string> command(dashes + 1, args.end());

    std::string error;
    std::vector<std::shared_ptr<EmulatedBus>> buses;
    for (const std::string& statePath : states) {
        buses.push_back(openBus(statePath, &error));
        if (!buses.back()) {
            std::fprintf(stderr, "serve: %s: %s\n", statePath.c_str(), error.c_str());
            return kCannotServe;
        }
    }
    if (!portsApart(buses, &error)) {
        std::fprintf(stderr, "serve: %s\n", error.c_str());
        return kCannotServe;
    }
    std::unique_ptr<UmockdevAdapter> adapter = UmockdevAdapter::start(buses, &error);
    if (!adapter) {
        std::fprintf(stderr, "serve: %s\n", error.c_str());
        return kCannotServe;
    }
    const int result = runCommand(command, adapter->rootDir());
    adapter.reset();
    for (size_t i = 0; i < buses.size(); ++i) {
        if (!buses[i]->save(&error))
            std::fprintf(stderr, "serve: %s: %s\n", states[i].c_str(), error.c_str());
    }
    return result;
}

}  // namespace emulator
}  // namespace bvu
