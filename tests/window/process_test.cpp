// The window layer in a program of its own: the front end is chosen by itself (headless, since
// the test's pipes are not terminals), the script comes on standard input, and the end of input
// ends the dialog once its worker is done.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

struct ProbeRun {
    int status = -1;
    std::string out, err;
    std::vector<std::string> errLines() const {
        std::vector<std::string> lines;
        size_t start = 0;
        for (size_t end; (end = err.find('\n', start)) != std::string::npos; start = end + 1) {
            lines.push_back(err.substr(start, end - start));
        }
        return lines;
    }
};

std::string drain(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    close(fd);
    return text;
}

// Runs the probe with the given standard input (under a time limit, so that a hang fails).
ProbeRun runProbe(const std::string& input, const std::vector<std::string>& args = {}) {
    int in[2], out[2], err[2];
    EXPECT_EQ(pipe(in), 0);
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
        posix_spawn_file_actions_addclose(&actions, fd);
    }
    std::vector<std::string> argv = {"timeout", "20", BVU_WINDOW_PROBE};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (std::string& a : argv) cargv.push_back(&a[0]);
    cargv.push_back(nullptr);
    pid_t pid = 0;
    EXPECT_EQ(posix_spawnp(&pid, "timeout", &actions, nullptr, cargv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    ProbeRun run;
    std::thread readOut([&] { run.out = drain(out[0]); });
    std::thread readErr([&] { run.err = drain(err[0]); });
    if (!input.empty()) {
        EXPECT_EQ(write(in[1], input.data(), input.size()), ssize_t(input.size()));
    }
    close(in[1]);
    readOut.join();
    readErr.join();
    waitpid(pid, &run.status, 0);
    return run;
}

TEST(ProcessScript, NoInputTakesDefaultsAndEndsAfterTheWorker) {
    ProbeRun run = runProbe("");
    ASSERT_TRUE(WIFEXITED(run.status));
    EXPECT_EQ(WEXITSTATUS(run.status), 0) << run.err;
    EXPECT_EQ(run.errLines(), (std::vector<std::string>{
                                  "status: Probe ready.",
                                  "status: Worker done.",
                                  "box: Probe: Carry on?\\nReally?",
                                  "answer: Probe: No",
                                  "status: Answer: No",
                                  "script: end of input; the dialog gets the Exit command",
                              }));
    EXPECT_EQ(run.out, "probe: command line ''\nprobe: dialog ended with 1000\n");
}

TEST(ProcessScript, ScriptedAnswerAndClicks) {
    ProbeRun run =
        runProbe("answer yes\nwait-status Answer: *\nclick 1002\nbogus\nwait-status NTSC chosen\n",
                 {"-batch", "-calib"});
    ASSERT_TRUE(WIFEXITED(run.status));
    EXPECT_EQ(WEXITSTATUS(run.status), 0) << run.err;
    std::vector<std::string> lines = run.errLines();
    auto has = [&](const std::string& l) {
        return std::find(lines.begin(), lines.end(), l) != lines.end();
    };
    EXPECT_TRUE(has("answer: Probe: Yes")) << run.err;
    EXPECT_TRUE(has("status: Answer: Yes"));
    EXPECT_TRUE(has("status: NTSC chosen"));
    EXPECT_TRUE(has("script: line 4: unknown command 'bogus'; line skipped"));
    EXPECT_EQ(lines.back(), "script: end of input; the dialog gets the Exit command");
    EXPECT_EQ(run.out, "probe: command line '-batch -calib'\nprobe: dialog ended with 1000\n");
}

}  // namespace
