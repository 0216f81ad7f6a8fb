// Reading a device's raw descriptors into the driver layer's information tree.
//
// The bytes are what GET_DESCRIPTOR returns: the 18-byte device descriptor followed by the whole
// first configuration descriptor (configuration, interface, endpoint and any class-specific
// descriptors, wTotalLength bytes), as every host adapter reports them (host.h). The parser is
// strict: a descriptor set that a host stack would choke on is reported rather than patched up,
// which also keeps the emulated device (served through umockdev too) honest.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "usb/uda.h"

namespace bvu {
namespace kd {

// Fills *info from the descriptors: the device descriptor, the configuration's value and
// interface count, and one entry of activeInterfaces per interface number (in the order the
// numbers first appear), each holding its alternate settings ordered by bAlternateSetting with
// the first one active. Each endpoint becomes a pipe (address, transfer type, max packet size,
// direction, interval); class-specific descriptors are skipped.
//
// Returns false, with a one-line reason in *why (when why is not null), if the bytes are not a
// well-formed descriptor set: truncated or zero-length descriptors, wrong types, an endpoint
// outside an interface, endpoint or interface counts that disagree with what follows, duplicate
// or non-consecutive alternate settings. *info is unspecified then.
//
// A pure function: safe on any thread.
bool parseDescriptors(const std::vector<uint8_t>& bytes, UDA_DeviceInfo* info, std::string* why);

}  // namespace kd
}  // namespace bvu
