// The Windows entry point of the updater (GUI subsystem).
#include <windows.h>

#include "app/updater_main.h"

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR commandLine,
                   int /*show*/) {
    return runUpdater(commandLine != nullptr ? commandLine : "");
}
