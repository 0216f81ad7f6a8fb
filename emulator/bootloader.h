// The bootloader (DFU mode): the DFU 1.1 class requests and the bootloader's command blocks.
// Called by the model with its lock held; nothing here blocks: a request that must wait for a
// command still running says so through Outcome::busy and is asked again.
#pragma once

#include "emulator/device_state.h"

namespace bvu {
namespace emulator {

// A class request to the DFU interface (standard requests are answered elsewhere).
Reply handleDfuControl(DeviceState& d, Request& r, Outcome& o);

// The dfu-error fault striking r: see faults.h.
Reply strikeDfuError(DeviceState& d, Request& r, uint8_t status);

}  // namespace emulator
}  // namespace bvu
