#include "emulator/bootloader.h"

namespace bvu {
namespace emulator {

Reply handleDfuControl(DeviceState&, Request&, Outcome&) {
    return Reply::Stall;
}

Reply strikeDfuError(DeviceState& d, Request&, uint8_t status) {
    d.dfu.state = dfu::kError;
    d.dfu.status = status;
    return Reply::Stall;
}

}  // namespace emulator
}  // namespace bvu
