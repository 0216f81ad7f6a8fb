#include "platform/events.h"

#include "platform/clock.h"

namespace bvu {

uint32_t createEvent(HANDLE* out) {
    *out = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return *out != nullptr ? kEventOk : kEventCannotCreate;
}

uint32_t waitEvent(HANDLE event, int timeoutSeconds) {
    if (event == nullptr)
        return kEventFailed;
    uint32_t ms = timeoutSeconds < 0 ? INFINITE : static_cast<uint32_t>(timeoutSeconds) * 1000u;
    switch (timeoutSeconds == 0 ? WaitForSingleObject(event, 0) : clock::waitMs(event, ms)) {
        case WAIT_OBJECT_0:
            return kEventOk;
        case WAIT_TIMEOUT:
            return kEventTimeout;
        default:
            return kEventFailed;
    }
}

uint32_t signalEvent(HANDLE event) {
    if (event == nullptr)
        return kEventFailed;
    return SetEvent(event) ? kEventOk : kEventFailed;
}

uint32_t drainEvent(HANDLE event) {
    uint32_t status = waitEvent(event, 0);
    return status == kEventTimeout ? kEventOk : status;
}

}  // namespace bvu
