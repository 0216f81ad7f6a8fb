#include "tests/support/usb_descriptors.h"

namespace bvu {
namespace test {

namespace {
uint8_t lo(uint16_t v) {
    return static_cast<uint8_t>(v & 0xFF);
}
uint8_t hi(uint16_t v) {
    return static_cast<uint8_t>(v >> 8);
}
}  // namespace

Bytes deviceDescriptor(uint16_t productId, uint16_t bcdDevice) {
    return {18,
            1,
            0x00,
            0x02,
            0,
            0,
            0,
            64,
            lo(kVendorId),
            hi(kVendorId),
            lo(productId),
            hi(productId),
            lo(bcdDevice),
            hi(bcdDevice),
            1,
            2,
            3,
            1};
}

Bytes interfaceDescriptor(uint8_t number, uint8_t alternate, uint8_t endpoints,
                          uint8_t interfaceClass, uint8_t subClass, uint8_t protocol) {
    return {9, 4, number, alternate, endpoints, interfaceClass, subClass, protocol, 0};
}

Bytes endpointDescriptor(uint8_t address, uint8_t attributes, uint16_t maxPacket,
                         uint8_t interval) {
    return {7, 5, address, attributes, lo(maxPacket), hi(maxPacket), interval};
}

Bytes configuration(uint8_t interfaces, const std::vector<Bytes>& parts) {
    Bytes out{9, 2, 0, 0, interfaces, 1, 0, 0x80, 50};
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    out[2] = lo(static_cast<uint16_t>(out.size()));
    out[3] = hi(static_cast<uint16_t>(out.size()));
    return out;
}

Bytes join(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

Bytes runModeDescriptors(uint8_t interfaceNumber) {
    return join(deviceDescriptor(kRunModeProductId),
                configuration(1, {interfaceDescriptor(interfaceNumber, 0, 2),
                                  endpointDescriptor(0x02), endpointDescriptor(0x04)}));
}

Bytes twoAlternateDescriptors() {
    return join(deviceDescriptor(kRunModeProductId),
                configuration(1, {interfaceDescriptor(0, 0, 2), endpointDescriptor(0x02),
                                  endpointDescriptor(0x04), interfaceDescriptor(0, 1, 0)}));
}

Bytes bootloaderDescriptors() {
    const Bytes functional{9, 0x21, 0x0B, 0xFF, 0x00, 0x00, 0x04, 0x10, 0x01};
    return join(deviceDescriptor(kBootloaderProductId, 0x0000),
                configuration(1, {interfaceDescriptor(0, 0, 0, 0xFE, 0x01, 0x02), functional}));
}

}  // namespace test
}  // namespace bvu
