// Choosing the front end on POSIX: the terminal when a person can be there, the lines for scripts
// otherwise (front_end.h).
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "app/front_end.h"
#include "app/script_front_end.h"
#include "app/terminal_front_end.h"

std::unique_ptr<FrontEnd> makeFrontEnd(bool json) {
    bool terminal = !json && isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
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
        if (std::unique_ptr<FrontEnd> t = makeTerminalFrontEnd())
            return t;
        std::fprintf(stderr, "The terminal cannot show the dialog; running headless\n");
    }
    return makeScriptFrontEnd();
}
