#include "usb/usbutils.h"

USBUtils::Error::Error(const std::string& detail) {
    setMessage("USB communication error: " + detail);
}

USBUtils::NotInit::NotInit() {
    setMessage("Class USBUtils was not properly initialised.");
}

USBUtils::AlreadyInstantiated::AlreadyInstantiated() {
    setMessage("Attempt to create a second instance of class USBUtils.");
}
