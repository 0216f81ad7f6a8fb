// For tests of the POSIX window layer and of the dialogs on it: knowing, instead of guessing by
// a sleep, that a dialog's thread has dealt with what was sent and posted to it.
//
// Call from any thread but the dialog's own.
#pragma once

#include <chrono>
#include <future>
#include <memory>

#include "platform/window/core.h"

namespace bvu {
namespace test {

// Waits until the dialog's thread has handled everything sent and posted to the dialog so far,
// and has then looked for work of its own (the end of input ends an idle dialog) before waiting
// again. True when the dialog is still open after all that; false as soon as it has ended, or
// when its thread has not got there within ten seconds.
//
// How: a call posted now runs after everything posted before it (sent messages go first anyway),
// unless the dialog ends before. A thread that has run a sent call next looks for its own work
// under the same hold of the layer's lock that completes the call, so once a first sent call has
// returned that look has been taken; a second one runs only if the dialog did not end by it.
inline bool dialogOpenOnceSettled(HWND dialog) {
    window::Core& core = window::Core::instance();
    auto ran = std::make_shared<std::promise<void>>();
    std::future<void> done = ran->get_future();
    if (!core.postCall(dialog, [ran]() -> LRESULT {
            ran->set_value();
            return 0;
        })) {
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (done.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) {
        if (!core.isWindow(dialog) || std::chrono::steady_clock::now() > deadline)
            return false;
    }
    core.sendCall(dialog, []() -> LRESULT { return 1; });
    return core.sendCall(dialog, []() -> LRESULT { return 1; }) == 1;
}

}  // namespace test
}  // namespace bvu
