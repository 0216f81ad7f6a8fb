#include "usb/descriptor_parser.h"

#include <algorithm>

namespace bvu {
namespace kd {
namespace {

constexpr uint8_t kTypeDevice = 1;
constexpr uint8_t kTypeConfiguration = 2;
constexpr uint8_t kTypeInterface = 4;
constexpr uint8_t kTypeEndpoint = 5;
constexpr size_t kDeviceLength = 18;
constexpr size_t kConfigurationLength = 9;
constexpr size_t kInterfaceLength = 9;
constexpr size_t kEndpointLength = 7;

uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

bool fail(std::string* why, const std::string& reason) {
    if (why != nullptr)
        *why = reason;
    return false;
}

UDA_DeviceDescriptor readDevice(const uint8_t* p) {
    UDA_DeviceDescriptor d{};
    d.bLength = p[0];
    d.bDescriptorType = p[1];
    d.bcdUSB = le16(p + 2);
    d.bDeviceClass = p[4];
    d.bDeviceSubClass = p[5];
    d.bDeviceProtocol = p[6];
    d.bMaxPacketSize0 = p[7];
    d.idVendor = le16(p + 8);
    d.idProduct = le16(p + 10);
    d.bcdDevice = le16(p + 12);
    d.iManufacturer = p[14];
    d.iProduct = p[15];
    d.iSerialNumber = p[16];
    d.bNumConfigurations = p[17];
    return d;
}

UDA_InterfaceDescriptor readInterface(const uint8_t* p) {
    return UDA_InterfaceDescriptor{p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8]};
}

UDA_PipeInfo readEndpoint(const uint8_t* p) {
    UDA_PipeInfo pipe{};
    pipe.number = p[2];
    pipe.type = p[3] & 0x03u;  // the transfer type bits match UDA_PipeType
    pipe.maxPacketSize = le16(p + 4) & 0x07FFu;
    pipe.direction = (p[2] & 0x80u) != 0 ? 1u : 0u;
    pipe.interval = p[6];
    return pipe;
}

// The interface entry for a number, created at the end when new.
UDA_Interface& interfaceFor(std::vector<UDA_Interface>& interfaces, std::vector<uint8_t>& numbers,
                            uint8_t number) {
    for (size_t i = 0; i < numbers.size(); ++i) {
        if (numbers[i] == number)
            return interfaces[i];
    }
    numbers.push_back(number);
    interfaces.emplace_back();
    return interfaces.back();
}

}  // namespace

bool parseDescriptors(const std::vector<uint8_t>& bytes, UDA_DeviceInfo* info, std::string* why) {
    *info = UDA_DeviceInfo{};
    if (bytes.size() < kDeviceLength)
        return fail(why, "device descriptor truncated");
    if (bytes[0] != kDeviceLength || bytes[1] != kTypeDevice) {
        return fail(why, "first descriptor is not an 18-byte device descriptor");
    }
    info->deviceDescriptor = readDevice(bytes.data());

    const size_t config = kDeviceLength;
    if (bytes.size() < config + kConfigurationLength) {
        return fail(why, "configuration descriptor truncated");
    }
    if (bytes[config] < kConfigurationLength || bytes[config + 1] != kTypeConfiguration) {
        return fail(why, "second descriptor is not a configuration descriptor");
    }
    const size_t totalLength = le16(&bytes[config + 2]);
    if (totalLength < bytes[config])
        return fail(why, "wTotalLength shorter than the descriptor");
    if (config + totalLength > bytes.size()) {
        return fail(why, "configuration shorter than its wTotalLength");
    }
    info->configuration.numInterfaces = bytes[config + 4];
    info->configuration.bConfigurationValue = bytes[config + 5];

    std::vector<uint8_t> numbers;  // interface number of each activeInterfaces entry
    UDA_AlternateSetting* current = nullptr;
    const size_t end = config + totalLength;
    for (size_t at = config + bytes[config]; at < end;) {
        if (end - at < 2)
            return fail(why, "descriptor header truncated");
        const uint8_t length = bytes[at];
        const uint8_t type = bytes[at + 1];
        // A zero length would never advance: real host stacks refuse it too.
        if (length < 2)
            return fail(why, "descriptor with bLength below 2");
        if (length > end - at)
            return fail(why, "descriptor runs past wTotalLength");
        if (type == kTypeInterface) {
            if (length < kInterfaceLength)
                return fail(why, "interface descriptor too short");
            UDA_AlternateSetting alt;
            alt.descriptor = readInterface(&bytes[at]);
            UDA_Interface& iface =
                interfaceFor(info->activeInterfaces, numbers, alt.descriptor.bInterfaceNumber);
            for (const UDA_AlternateSetting& other : iface.alternateSettings) {
                if (other.descriptor.bAlternateSetting == alt.descriptor.bAlternateSetting) {
                    return fail(why, "alternate setting listed twice");
                }
            }
            iface.alternateSettings.push_back(alt);
            current = &iface.alternateSettings.back();
        } else if (type == kTypeEndpoint) {
            if (length < kEndpointLength)
                return fail(why, "endpoint descriptor too short");
            if (current == nullptr)
                return fail(why, "endpoint descriptor outside an interface");
            current->pipes.push_back(readEndpoint(&bytes[at]));
        }
        // Everything else (class-specific descriptors such as DFU's functional descriptor,
        // interface associations) says nothing the layer keeps.
        at += length;
    }

    if (numbers.size() != info->configuration.numInterfaces) {
        return fail(why, "bNumInterfaces disagrees with the interface descriptors");
    }
    for (UDA_Interface& iface : info->activeInterfaces) {
        std::sort(iface.alternateSettings.begin(), iface.alternateSettings.end(),
                  [](const UDA_AlternateSetting& a, const UDA_AlternateSetting& b) {
                      return a.descriptor.bAlternateSetting < b.descriptor.bAlternateSetting;
                  });
        // The layer selects an alternate setting by its index, so the numbers must be 0, 1, ...
        for (size_t i = 0; i < iface.alternateSettings.size(); ++i) {
            const UDA_AlternateSetting& alt = iface.alternateSettings[i];
            if (alt.descriptor.bAlternateSetting != i) {
                return fail(why, "alternate settings not numbered 0, 1, ...");
            }
            if (alt.pipes.size() != alt.descriptor.bNumEndpoints) {
                return fail(why, "bNumEndpoints disagrees with the endpoint descriptors");
            }
        }
        iface.activeAlternate = 0;
    }
    return true;
}

}  // namespace kd
}  // namespace bvu
