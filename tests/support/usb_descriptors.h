// Raw USB descriptors for the tests of the USB hosts: the device's two guises as GET_DESCRIPTOR
// returns them (device descriptor, then the whole configuration), and the pieces to build odd
// ones.
#pragma once

#include <cstdint>
#include <vector>

namespace bvu {
namespace test {

constexpr uint16_t kVendorId = 0x03EB;
constexpr uint16_t kRunModeProductId = 0x3014;
constexpr uint16_t kBootloaderProductId = 0x2FFD;

using Bytes = std::vector<uint8_t>;

Bytes deviceDescriptor(uint16_t productId, uint16_t bcdDevice = 0x0200);
Bytes interfaceDescriptor(uint8_t number, uint8_t alternate, uint8_t endpoints,
                          uint8_t interfaceClass = 0xFF, uint8_t subClass = 0,
                          uint8_t protocol = 0);
Bytes endpointDescriptor(uint8_t address, uint8_t attributes = 0x02, uint16_t maxPacket = 64,
                         uint8_t interval = 0);
// A configuration descriptor (value 1) whose wTotalLength covers the parts that follow it.
Bytes configuration(uint8_t interfaces, const std::vector<Bytes>& parts);
Bytes join(const Bytes& a, const Bytes& b);

// Run mode: one vendor-specific interface with bulk OUT endpoints 0x02 and 0x04.
Bytes runModeDescriptors(uint8_t interfaceNumber = 0);
// Run mode with a second alternate setting of interface 0 (no endpoints).
Bytes twoAlternateDescriptors();
// The bootloader: one DFU-class interface (DFU mode) with its functional descriptor.
Bytes bootloaderDescriptors();

}  // namespace test
}  // namespace bvu
