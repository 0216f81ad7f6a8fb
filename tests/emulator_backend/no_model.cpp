// Stands in for the device model's bus opener in a tree that has no model yet.
#include "emulator/emulated_bus.h"

namespace bvu {
namespace emulator {

std::shared_ptr<EmulatedBus> openBus(const std::string&, std::string* error) {
    if (error != nullptr)
        *error = "this build has no device model";
    return nullptr;
}

}  // namespace emulator
}  // namespace bvu
