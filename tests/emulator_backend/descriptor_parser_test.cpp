// The descriptor parser: the emulated device's own descriptor sets, and the malformed ones a
// host stack must not wander off the end of.
#include "usb/descriptor_parser.h"

#include <functional>

#include <gtest/gtest.h>

#include "tests/support/usb_descriptors.h"

namespace bvu {
namespace test {
namespace {

using kd::parseDescriptors;

TEST(DescriptorParser, RunModeDeviceBecomesTheLayersTree) {
    UDA_DeviceInfo info;
    std::string why;
    ASSERT_TRUE(parseDescriptors(runModeDescriptors(), &info, &why)) << why;
    EXPECT_EQ(info.deviceDescriptor.idVendor, kVendorId);
    EXPECT_EQ(info.deviceDescriptor.idProduct, kRunModeProductId);
    EXPECT_EQ(info.deviceDescriptor.bcdDevice, 0x0200);
    EXPECT_EQ(info.deviceDescriptor.bMaxPacketSize0, 64);
    EXPECT_EQ(info.configuration.numInterfaces, 1u);
    EXPECT_EQ(info.configuration.bConfigurationValue, 1);
    ASSERT_EQ(info.activeInterfaces.size(), 1u);
    const UDA_AlternateSetting* alt = info.activeInterfaces[0].active();
    ASSERT_NE(alt, nullptr);
    EXPECT_EQ(alt->descriptor.bInterfaceNumber, 0);
    EXPECT_EQ(alt->descriptor.bInterfaceClass, 0xFF);
    ASSERT_EQ(alt->pipes.size(), 2u);
    EXPECT_EQ(alt->pipes[0].number, 0x02u);
    EXPECT_EQ(alt->pipes[1].number, 0x04u);
    EXPECT_EQ(alt->pipes[1].type, UDA_PIPE_BULK);
    EXPECT_EQ(alt->pipes[1].maxPacketSize, 64u);
    EXPECT_EQ(alt->pipes[1].direction, 0u);
}

TEST(DescriptorParser, AlternatesAreOrderedAndClassDescriptorsSkipped) {
    // Interface 0's alternate 1 listed before alternate 0, a class-specific descriptor between
    // them, and a second interface after.
    const Bytes functional{9, 0x21, 0x0B, 0xFF, 0x00, 0x00, 0x04, 0x10, 0x01};
    Bytes bytes = join(
        deviceDescriptor(kRunModeProductId),
        configuration(
            2, {interfaceDescriptor(0, 1, 1), functional, endpointDescriptor(0x81, 0x03, 0x1008, 4),
                interfaceDescriptor(0, 0, 0), interfaceDescriptor(3, 0, 0, 0xFE, 1, 2)}));
    UDA_DeviceInfo info;
    std::string why;
    ASSERT_TRUE(parseDescriptors(bytes, &info, &why)) << why;
    ASSERT_EQ(info.activeInterfaces.size(), 2u);
    const UDA_Interface& first = info.activeInterfaces[0];
    ASSERT_EQ(first.alternateSettings.size(), 2u);
    EXPECT_EQ(first.activeAlternate, 0u);
    EXPECT_EQ(first.alternateSettings[0].descriptor.bAlternateSetting, 0);
    EXPECT_TRUE(first.alternateSettings[0].pipes.empty());
    ASSERT_EQ(first.alternateSettings[1].pipes.size(), 1u);
    const UDA_PipeInfo& in = first.alternateSettings[1].pipes[0];
    EXPECT_EQ(in.type, UDA_PIPE_INTERRUPT);
    EXPECT_EQ(in.direction, 1u);
    EXPECT_EQ(in.maxPacketSize, 8u);  // the high-bandwidth bits are not part of the size
    EXPECT_EQ(in.interval, 4u);
    EXPECT_EQ(info.activeInterfaces[1].active()->descriptor.bInterfaceNumber, 3);
}

TEST(DescriptorParser, MalformedSetsAreRefusedWithAReason) {
    struct Case {
        const char* name;
        std::function<Bytes()> make;
    };
    const Bytes device = deviceDescriptor(kRunModeProductId);
    const Case cases[] = {
        {"empty", [] { return Bytes{}; }},
        {"device descriptor only", [&] { return device; }},
        {"not a device descriptor",
         [&] {
             Bytes b = runModeDescriptors();
             b[1] = 2;
             return b;
         }},
        {"wTotalLength beyond the bytes",
         [&] {
             Bytes b = runModeDescriptors();
             b[18 + 2] += 1;
             return b;
         }},
        {"zero-length descriptor",
         [&] {
             return join(device, configuration(1, {interfaceDescriptor(0, 0, 0), Bytes{0, 5}}));
         }},
        {"descriptor past wTotalLength",
         [&] {
             Bytes b = join(device, configuration(1, {interfaceDescriptor(0, 0, 0)}));
             b[18 + 2] -= 2;  // the interface now ends past wTotalLength
             return b;
         }},
        {"short endpoint",
         [&] {
             return join(device, configuration(1, {interfaceDescriptor(0, 0, 1),
                                                   Bytes{6, 5, 0x02, 2, 64, 0}}));
         }},
        {"endpoint outside an interface",
         [&] {
             return join(device, configuration(
                                     1, {endpointDescriptor(0x02), interfaceDescriptor(0, 0, 0)}));
         }},
        {"endpoint count",
         [&] {
             return join(device, configuration(
                                     1, {interfaceDescriptor(0, 0, 2), endpointDescriptor(0x02)}));
         }},
        {"interface count",
         [&] { return join(device, configuration(2, {interfaceDescriptor(0, 0, 0)})); }},
        {"alternate twice",
         [&] {
             return join(device, configuration(1, {interfaceDescriptor(0, 0, 0),
                                                   interfaceDescriptor(0, 0, 0)}));
         }},
        {"alternate gap",
         [&] {
             return join(device, configuration(1, {interfaceDescriptor(0, 0, 0),
                                                   interfaceDescriptor(0, 2, 0)}));
         }},
    };
    for (const Case& c : cases) {
        UDA_DeviceInfo info;
        std::string why;
        EXPECT_FALSE(parseDescriptors(c.make(), &info, &why)) << c.name;
        EXPECT_FALSE(why.empty()) << c.name;
    }
}

}  // namespace
}  // namespace test
}  // namespace bvu
