// Fault rules: what goes wrong on which request. Rules wait in the state file until they
// strike; each strikes once and is then gone (never-ready and busy leave the device in a
// condition that lasts until its next reset or power cycle).
//
// A rule looks at a request when the request reaches the (first) device, is in the rule's
// guise (if one is given) and matches the rule's pattern (if one is given). Every rule that
// looks at a request counts it; the first rule whose count of requests to let pass is used
// up strikes it. So after = 0 strikes the next request the rule looks at.
//
// Kinds, as the request that is struck sees them:
//   timeout      no answer at all (the host's time-out decides); the request is not carried out
//   stall        stalled, not carried out
//   short        carried out, but the data stage is cut to `bytes` bytes (IN: the reply; OUT:
//                only the first bytes reach the device, which acts on them)
//   empty        as short with 0 bytes
//   unplug       the device drops off the bus (as a pulled cable); with replugAfterMs > 0 it
//                is plugged in again after that long (a power cycle), at replugPort when one
//                is given (plugged into another port)
//   dfu-error    bootloader: the request goes wrong with DFU status `status`: a command block
//                is taken but fails (GETSTATUS then reports dfuERROR with the status), a
//                GETSTATUS or GETSTATE answers the error at once, anything else stalls; the
//                error stands until CLRSTATUS or ABORT. Counts bootloader requests only unless
//                a guise is given (in run mode it stalls).
//   never-ready  run mode: the video download's ready byte never becomes 1. Counts run-mode
//                requests only unless a guise is given.
//   busy         bootloader: from this request on it reports dfuDNBUSY to every GETSTATUS and
//                GETSTATE and takes no command block. Counts bootloader requests only unless a
//                guise is given.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "emulator/emulated_bus.h"

namespace bvu {
namespace emulator {

enum class FaultKind { Timeout, Stall, Short, Empty, Unplug, DfuError, NeverReady, Busy };

struct FaultRule {
    FaultKind kind = FaultKind::Stall;
    uint32_t after = 0;           // requests (that the rule looks at) to let pass first
    Guise guise = Guise::Absent;  // Run or Bootloader: only requests in that guise; else any
    // Pattern: a control request of this bmRequestType and bRequest (and wValue if
    // matchValue), or, with matchBulk, bulk OUT data to endpoint matchRequest.
    bool match = false;
    bool matchBulk = false;
    uint8_t matchType = 0;
    uint8_t matchRequest = 0;
    bool matchValue = false;
    uint16_t value = 0;
    uint32_t bytes = 0;          // short
    uint8_t status = 3;          // dfu-error: DFU status code (default errWRITE)
    uint32_t replugAfterMs = 0;  // unplug: nominal ms until plugged in again; 0 never
    std::string replugPort;      // unplug: the port it is plugged into again; empty: its own
};

// "timeout", "stall", "short", "empty", "unplug", "dfu-error", "never-ready", "busy".
std::string faultKindName(FaultKind kind);
bool parseFaultKind(const std::string& name, FaultKind* kind);

// Pattern texts: "TYPE:REQUEST[:VALUE]" (numbers decimal or 0x hex, e.g. 0xA1:3 or
// 0x20:1:0x0604) or "bulk:ENDPOINT" (e.g. bulk:0x04).
bool parseMatch(const std::string& text, FaultRule* rule, std::string* why);
std::string matchText(const FaultRule& rule);  // "" when the rule has no pattern

// A request as the rules see it. setup is null for bulk data.
struct RequestView {
    Guise guise;
    const uint8_t* setup;
    uint8_t endpoint;  // bulk only
};

// Counts the request in every rule that looks at it; removes and returns (true) the first
// rule that strikes it.
bool strikeRule(std::vector<FaultRule>& rules, const RequestView& request, FaultRule* struck);

// Parses a whole number (decimal or 0x hex) no larger than max.
bool parseNumber(const std::string& text, uint64_t max, uint64_t* value);

}  // namespace emulator
}  // namespace bvu
