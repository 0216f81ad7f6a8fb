// The inspection's advice when the device is there but this program cannot use it (no WinUSB
// driver, no permission on its node): see usb/device_advice.h.
#pragma once

#include <string>

// Adds the advice, if there is any, under errorText (a message box text). In batch mode it
// also goes to standard error, where a script's log keeps it. Any thread.
void addUnusableDeviceAdvice(std::string& errorText, bool batchMode);
