// usbfs's checks, after drivers/usb/core/devio.c (checkintf, check_ctrlrecip, findintfep).
#include "emulator/umockdev/usbfs_rules.h"

#include <errno.h>

namespace bvu {
namespace emulator {

namespace {
constexpr uint8_t kTypeMask = 0x60;
constexpr uint8_t kTypeVendor = 0x40;
constexpr uint8_t kRecipientMask = 0x1F;
constexpr uint8_t kRecipientInterface = 0x01;
constexpr uint8_t kRecipientEndpoint = 0x02;
}  // namespace

bool UsbfsRules::hasInterface(uint8_t number) const {
    for (const UDA_Interface& i : layout_.activeInterfaces) {
        for (const UDA_AlternateSetting& a : i.alternateSettings) {
            if (a.descriptor.bInterfaceNumber == number)
                return true;
        }
    }
    return false;
}

bool UsbfsRules::hasAlternate(uint8_t number, uint8_t alternate) const {
    for (const UDA_Interface& i : layout_.activeInterfaces) {
        for (const UDA_AlternateSetting& a : i.alternateSettings) {
            if (a.descriptor.bInterfaceNumber == number &&
                a.descriptor.bAlternateSetting == alternate) {
                return true;
            }
        }
    }
    return false;
}

int UsbfsRules::interfaceOfEndpoint(uint8_t endpoint) const {
    for (const UDA_Interface& i : layout_.activeInterfaces) {
        for (const UDA_AlternateSetting& a : i.alternateSettings) {
            for (const UDA_PipeInfo& p : a.pipes) {
                if (p.number == endpoint)
                    return a.descriptor.bInterfaceNumber;
            }
        }
    }
    return -1;
}

int UsbfsRules::claim(File file, uint8_t number) {
    if (!hasInterface(number))
        return ENOENT;
    auto it = owners_.find(number);
    if (it != owners_.end())
        return it->second == file ? 0 : EBUSY;
    // A file that uses an interface without claiming it gets it claimed (the kernel logs
    // "did not claim interface before use" and goes on).
    owners_[number] = file;
    return 0;
}

int UsbfsRules::release(File file, uint8_t number) {
    auto it = owners_.find(number);
    if (it == owners_.end() || it->second != file)
        return EINVAL;
    owners_.erase(it);
    return 0;
}

void UsbfsRules::releaseAll(File file) {
    for (auto it = owners_.begin(); it != owners_.end();) {
        it = it->second == file ? owners_.erase(it) : std::next(it);
    }
}

int UsbfsRules::checkControl(File file, const uint8_t* setup) {
    const uint8_t requestType = setup[0];
    if ((requestType & kTypeMask) == kTypeVendor)
        return 0;
    const uint8_t index = setup[4];  // the low byte of wIndex names the recipient
    switch (requestType & kRecipientMask) {
        case kRecipientInterface:
            return claim(file, index);
        case kRecipientEndpoint: {
            if ((index & 0x7F) == 0)
                return 0;  // the default control pipe
            int iface = interfaceOfEndpoint(index);
            if (iface < 0)
                iface = interfaceOfEndpoint(index ^ 0x80);  // the kernel forgives a wrong direction
            return iface < 0 ? ENOENT : claim(file, static_cast<uint8_t>(iface));
        }
        default:
            return 0;
    }
}

int UsbfsRules::checkBulk(File file, uint8_t endpoint) {
    const int iface = interfaceOfEndpoint(endpoint);
    return iface < 0 ? ENOENT : claim(file, static_cast<uint8_t>(iface));
}

}  // namespace emulator
}  // namespace bvu
