// The device's own requests in run mode (BVR_CMD, BVR_WRITE, BVR_READ on the control pipe;
// BVR_DNLOAD data on bulk endpoint 0x04 and bulk messages on 0x02). Called by the model with
// its lock held; nothing here blocks. A request the device does not know, or one that comes
// out of its order (a download not prepared, re-programming without a download), is stalled.
#pragma once

#include "emulator/device_state.h"

namespace bvu {
namespace emulator {

// A vendor/class control request (standard requests are answered elsewhere).
Reply handleRunControl(DeviceState& d, Request& r, Outcome& o);

// Bulk OUT data to an endpoint. *accepted receives the bytes taken.
Reply handleRunBulk(DeviceState& d, uint8_t endpoint, const uint8_t* data, uint32_t length,
                    uint32_t* accepted, Outcome& o, clock::TimePoint now);

// The ready byte of the video download (area 3/3).
uint8_t readyByte(const DeviceState& d, clock::TimePoint now);

// Ends a re-programming of the video flash: the whole collected image when its time has
// passed, else only the share written so far (the rest stays erased). Stage back to Idle.
void finishReprogramming(DeviceState& d, clock::TimePoint now);

}  // namespace emulator
}  // namespace bvu
