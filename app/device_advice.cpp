#include "app/device_advice.h"

#include <cstdio>

#include "usb/device_advice.h"

void addUnusableDeviceAdvice(std::string& errorText, bool batchMode) {
    const std::string advice = bvu::usb::unusableDeviceAdvice();
    if (advice.empty())
        return;
    errorText += "\n\n" + advice;
    if (batchMode)
        bvu::usb::writeUnusableDeviceAdvice(stderr);
}
