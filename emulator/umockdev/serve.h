// `bvu-emulator serve STATE [STATE...] -- COMMAND [ARGS...]`: runs COMMAND inside a umockdev
// testbed that serves the emulated devices kept in the STATE files, each at its own port (two
// units at one port are refused), so that any libusb program, ours or a third-party tool, talks
// to them as to real hardware.
//
// COMMAND is started with UMOCKDEV_DIR naming the testbed and with the umockdev preload
// library in LD_PRELOAD (and ASAN_OPTIONS allowing the preload to come first, for sanitized
// builds). The serving process needs the preload itself for its hotplug events to reach
// COMMAND; when it was not started under umockdev-wrapper it starts itself again with it.
// While COMMAND runs, interrupt and quit signals are left to it; afterwards each device is saved
// to its STATE.
#pragma once

#include <string>
#include <vector>

namespace bvu {
namespace emulator {

// args: what follows "serve" on the command line. Returns COMMAND's exit status (128 + the
// signal number when it was killed by a signal), 2 for a malformed command line, 125 when the
// device cannot be served, 126 when COMMAND cannot be run, 127 when it is not found. Messages
// go to standard error. Call from the main thread of a program that starts no other thread
// before (the process may replace itself).
int runServe(const std::vector<std::string>& args);

}  // namespace emulator
}  // namespace bvu
