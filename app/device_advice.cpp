#include "app/device_advice.h"

#include <cstdio>

#include "app/update_settings.h"
#include "usb/device_advice.h"

void addUnusableDeviceAdvice(std::string& errorText) {
    const std::string advice = bvu::usb::unusableDeviceAdvice();
    if (advice.empty())
        return;
    errorText += "\n\n" + advice;
    if (updateSettings().batchMode)
        bvu::usb::writeUnusableDeviceAdvice(stderr);
}
