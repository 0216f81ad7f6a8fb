// The device's descriptors and its answers to the standard USB requests, in both guises.
// Called by the model with its lock held; nothing here blocks.
//
// Run mode: one configuration, one vendor-class interface (number 0 unless the variant says
// otherwise) with bulk OUT endpoints 0x02 and 0x04. Bootloader: one configuration, one DFU
// interface in DFU mode (class FE, subclass 01, protocol 02) without endpoints, with its DFU
// functional descriptor. String descriptors: 1 manufacturer, 2 product, 3 serial (run mode).
#pragma once

#include <vector>

#include "emulator/device_state.h"

namespace bvu {
namespace emulator {

uint16_t productIdOf(Guise guise);
std::vector<uint8_t> deviceDescriptor(const DeviceState& d, Guise guise);
std::vector<uint8_t> configurationDescriptor(const DeviceState& d, Guise guise);

// SET_INTERFACE: the device has one interface with one alternate setting. An accepted one
// clears every halted endpoint.
Reply setInterfaceRequest(DeviceState& d, uint8_t interfaceNumber, uint8_t alternate);

// Whether the guise has this bulk endpoint (address) in its configuration.
bool hasBulkEndpoint(Guise guise, uint8_t endpoint);

// Answers r when it is a standard request (bmRequestType bits 6-5 zero) and returns true;
// returns false for class and vendor requests. The endpoint requests (GET_STATUS,
// CLEAR_FEATURE and SET_FEATURE of ENDPOINT_HALT) read and change d.halted.
bool handleStandard(DeviceState& d, Guise guise, Request& r, Reply* reply);

}  // namespace emulator
}  // namespace bvu
