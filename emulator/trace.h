// The request trace: every request that reached a device, in the order the device answered
// them, kept in memory and in the state file (where an entry keeps at most the first 4,096
// bytes of its data and the file at most the last 20,000 entries).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "emulator/emulated_bus.h"

namespace bvu {
namespace emulator {

enum class TraceKind : uint8_t { Control, Bulk, SetInterface };

struct TraceEntry {
    uint64_t sequence = 0;  // 1 for the device's first request ever
    int device = 0;         // 0 the device, 1 its twin
    Guise guise = Guise::Run;
    TraceKind kind = TraceKind::Control;
    // Control: the setup packet. SetInterface: the standard request it stands for (01 0B
    // alternate interface 0). Bulk: zeros.
    uint8_t setup[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    uint8_t endpoint = 0;     // bulk only
    uint32_t dataLength = 0;  // bytes of the data stage as they moved (OUT sent, IN answered)
    std::vector<uint8_t> data;
    bool dataTruncated = false;  // data holds only the first bytes (entries read from a file)
    Reply reply = Reply::Ack;
    std::string fault;  // the kind of the fault that struck it, or empty
};

constexpr size_t kTraceFileDataLimit = 4096;
constexpr size_t kTraceLimit = 20000;

std::string guiseName(Guise guise);  // "run", "bootloader", "absent", "bricked"
bool parseGuise(const std::string& name, Guise* guise);
std::string replyName(Reply reply);  // "ack", "stall", "no-answer", "gone"
bool parseReply(const std::string& name, Reply* reply);
// One readable line: sequence, guise, request, length, first data bytes, outcome.
std::string formatTraceEntry(const TraceEntry& entry);

}  // namespace emulator
}  // namespace bvu
