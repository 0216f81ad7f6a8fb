// modeswitch: moves the device between run mode and its bootloader from a script, and reports
// the outcome as the exit code.
#include "modeswitch/modeswitch.h"

int main(int argc, char** argv) {
    return bvu::runModeSwitch(argc, argv);
}
