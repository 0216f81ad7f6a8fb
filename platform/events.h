// Auto-reset events with the driver access layer's status codes. Used by the USB layer (its
// device-list lock) and the session (one attach event per device slot). All calls are
// thread-safe; a handle is closed with CloseHandle by its owner.
#pragma once

#include <cstdint>

#include "platform/win32.h"

namespace bvu {

constexpr uint32_t kEventOk = 0;
constexpr uint32_t kEventCannotCreate = 0x20000005;  // "Insufficient resources"
constexpr uint32_t kEventTimeout = 0x20000015;       // "Timeout expired"
constexpr uint32_t kEventFailed = 0x20000007;        // "Internal system error"

// Creates an auto-reset event, initially not signalled. 0, or kEventCannotCreate (and *out null).
uint32_t createEvent(HANDLE* out);

// Waits until the event is signalled (consuming the signal). timeoutSeconds is nominal (on the
// clock); -1 waits forever. 0 signalled, kEventTimeout, or kEventFailed for any other failure.
uint32_t waitEvent(HANDLE event, int timeoutSeconds);

// Signals the event. 0, or kEventFailed.
uint32_t signalEvent(HANDLE event);

// Consumes a pending signal if there is one, without waiting: waitEvent with time-out 0, where a
// time-out counts as success.
uint32_t drainEvent(HANDLE event);

}  // namespace bvu
