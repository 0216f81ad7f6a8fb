// The state file: the whole bus (the device, its twin, pending faults, request count, trace)
// as one JSON document, written atomically (a temporary file beside it, then a rename over it)
// so that a program killed at any moment leaves either the old or the new file, never a torn
// one. Delays that are under way are kept as the nominal milliseconds still to run and start
// again from the moment the file is loaded.
//
// Layout (format "bvu-emulator-state", formatVersion 1): "device" and, for the twin variant,
// "twin" (identity, variant, timing, "memory" as hex, "controlFlash" and "videoFlash" as
// base64 -- or, when a flash holds exactly one of the synthetic images followed by erased
// bytes, {"synthetic": VERSION, "length": BYTES} --, "config" keyed by 4 hex digits group/byte,
// "port" (missing in older files: 1 for the device, 2 for the twin), power and bus fields, and
// "volatile": the RAM state), "faults", "requests", "nextBusId", "replugInMs" (-1 when no
// replug is pending) and "replugPort" (where it comes back, when not at its own port), "trace"
// (entries with "data" as hex, at most 4,096 bytes each).
//
// All functions are thread-safe (no shared state) and never throw.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "emulator/device_state.h"
#include "emulator/faults.h"
#include "emulator/trace.h"

namespace bvu {
namespace emulator {

struct BusFile {
    std::vector<DeviceState> units;  // the device, then its twin when there is one
    std::vector<FaultRule> faults;
    uint64_t requests = 0;
    uint32_t nextBusId = 1;
    bool replugPending = false;
    clock::TimePoint replugAt{};
    std::string replugPort;  // empty: the device's own
    std::deque<TraceEntry> trace;
};

std::string encodeStateFile(const BusFile& file, clock::TimePoint now);
bool decodeStateFile(const std::string& text, clock::TimePoint now, BusFile* file,
                     std::string* error);

// Reads and decodes a state file; false and a reason (naming the path) on failure.
bool readStateFile(const std::string& path, BusFile* file, std::string* error);
// Writes content to path atomically; false and a reason on failure (path then untouched).
bool writeFileAtomically(const std::string& path, const std::string& content, std::string* error);

std::string toHex(const uint8_t* data, size_t size);
bool fromHex(const std::string& text, std::vector<uint8_t>* out);
std::string toBase64(const std::vector<uint8_t>& data);
bool fromBase64(const std::string& text, std::vector<uint8_t>* out);

}  // namespace emulator
}  // namespace bvu
