// Builds without curses have no terminal front end.
#include "platform/window/front_end.h"

namespace bvu {
namespace window {

FrontEnd* makeTerminalFrontEnd() {
    return nullptr;
}

}  // namespace window
}  // namespace bvu
