// Choosing the front end: the terminal when a person can be there, headless otherwise.
#include "platform/window/front_end.h"

#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/window/core.h"
#include "platform/window/headless_driver.h"
#include "platform/window/headless_front_end.h"

namespace bvu {
namespace window {

// terminal.cpp: the ncurses front end, or null when the terminal cannot be set up.
FrontEnd* makeTerminalFrontEnd();

namespace {

std::once_flag g_chosen;
FrontEnd* g_frontEnd = nullptr;
std::atomic<bool> g_forTests{false};

FrontEnd* choose() {
    if (g_forTests.load())
        return &HeadlessFrontEnd::instance();
    bool terminal = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
    if (const char* forced = std::getenv("BVU_FRONTEND")) {
        if (strcasecmp(forced, "terminal") == 0) {
            terminal = true;
        } else if (strcasecmp(forced, "headless") == 0) {
            terminal = false;
        } else if (*forced != '\0') {
            std::fprintf(stderr, "BVU_FRONTEND: '%s' is neither terminal nor headless; ignored\n",
                         forced);
        }
    }
    if (terminal) {
        if (FrontEnd* fe = makeTerminalFrontEnd())
            return fe;
        std::fprintf(stderr, "The terminal cannot show the dialog; running headless\n");
    }
    startStdinScript();
    return &HeadlessFrontEnd::instance();
}

}  // namespace

FrontEnd& frontEnd() {
    std::call_once(g_chosen, [] {
        g_frontEnd = choose();
        Core::instance().setFrontEnd(g_frontEnd);
    });
    return *g_frontEnd;
}

namespace headless {

void useForTests() {
    g_forTests.store(true);
    if (&frontEnd() != &HeadlessFrontEnd::instance()) {
        std::fprintf(stderr, "headless::useForTests: another front end was chosen before\n");
        std::abort();
    }
    HeadlessFrontEnd::instance().reset();
    HeadlessFrontEnd::instance().setSink(nullptr);
    Core::instance().setInputEnded(false);
}

}  // namespace headless
}  // namespace window
}  // namespace bvu
