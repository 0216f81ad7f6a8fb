// The emulated device for tests and tools: make a device, look at it, script its faults.
//
// A device lives in a state file. openBus(path) (emulated_bus.h) serves it to a backend; the
// functions here act either on such a live bus or on a path. A path function acts on the live
// bus when one is open for that path in this process, and otherwise loads the file, acts, and
// saves it again, so tests and tools can use the same calls before, during and after a run.
//
// Typical test:
//   bvu::clock::setTimeScaleForTests(0.02);
//   CreateOptions o;  o.controlVersion = "1.09";  o.release = 1;
//   ASSERT_TRUE(createDevice(path, o, &err));
//   auto bus = openBus(path, &err);                      // or BVU_USB=emulator:PATH
//   addFault(*bus, rule);                                // e.g. a stall on the 3rd request
//   ... run the code under test against the bus ...
//   DeviceSnapshot s = inspect(*bus);                     // versions, memory, flashes...
//   std::vector<TraceEntry> t = trace(*bus);             // every request with its data
//
// Threads: every function is thread-safe; the bus functions take the model's lock briefly and
// never call a listener while holding it. Nothing here throws (failures are a false return
// with a reason in *error).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "emulator/device_state.h"
#include "emulator/emulated_bus.h"
#include "emulator/faults.h"
#include "emulator/trace.h"

namespace bvu {
namespace emulator {

// What `bvu-emulator create` takes. Defaults: a fresh device of the field, in run mode.
struct CreateOptions {
    std::string serial = "4711";  // the serial number as the host shows it (info text "SN" + it)
    std::string serialText;       // the whole info text 13 instead (when not empty)
    std::string pcbRevision = "C2.1";
    int release = 2;                      // 1 or 2: major byte of bcdDevice
    std::string controlVersion = "1.09";  // the control flash holds this synthetic image
    std::string videoVersion = "1.01";    // the video flash holds this one (X.YY)
    std::string packageVersion = "2.05";  // memory 0x33 (at most 4 characters, NUL after)
    bool pal = false;                     // video standard at 0x3D: 'P' or 'N'
    std::vector<uint8_t> calibration;     // 18 raw calibration bytes at 0x00 (empty: factory)
    bool bootloader = false;  // start-up bit clear: powers up (and starts) in the bootloader
    // Bytes written into memory last, each run at its address (the settings a user left, say):
    // they override everything above.
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> memory;
    std::string port = "1";  // the port it is plugged into; the twin gets the next one
    Variant variant;
    Timing timing;
};

// Makes a new device and writes it to path (replacing any file there). False and a reason on
// bad options or a failed write. Not for a path whose bus is open in this process.
bool createDevice(const std::string& path, const CreateOptions& options, std::string* error);
// Checks options without writing anything (what create would refuse).
bool checkCreateOptions(const CreateOptions& options, std::string* error);

// What `bvu-emulator show` tells, for the device (not its twin).
struct DeviceSnapshot {
    Guise guise = Guise::Absent;  // Run, Bootloader, Absent (off the bus) or Bricked
    std::string port;             // where it is plugged ("1", "4.2")
    bool plugged = true;
    bool vanished = false;           // off the bus after starting an application it could not run
    Guise arriving = Guise::Absent;  // Run or Bootloader while re-enumerating
    std::string serial;              // as the host shows it (characters 2 to 5 of serialText)
    std::string serialText;
    std::string pcbRevision;
    int release = 2;
    std::string controlVersion;    // "" when the control flash holds no complete image
    std::string videoVersion;      // "" when the video flash holds no complete image
    uint8_t videoVersionByte = 0;  // what the device reports for it
    std::string packageVersion;
    std::string videoStandard;  // "NTSC" or "PAL"
    std::array<uint8_t, kMemorySize> memory{};
    bool startupBit = true;  // bit 6 of 02/00: set = start the application
    uint8_t startupByte = 0xFF;
    uint8_t securityByte = 0xFF;  // 01/05
    uint8_t dfuState = 2;
    uint8_t dfuStatus = 0;
    std::string controlFlashSha256;  // of the whole 32 KiB
    std::string videoFlashSha256;    // of the bytes written to the video flash
    std::vector<uint8_t> controlFlash;
    std::vector<uint8_t> videoFlash;
    uint64_t requests = 0;  // requests that reached the device so far
    size_t pendingFaults = 0;
    bool twin = false;
};

DeviceSnapshot inspect(EmulatedBus& bus);
bool inspect(const std::string& path, DeviceSnapshot* snapshot, std::string* error);
// The JSON object of `show --json` (flash contents left out, their digests in).
std::string snapshotJson(const DeviceSnapshot& snapshot);

// The request trace, oldest first (entries read from a file keep at most 4 KiB of data).
std::vector<TraceEntry> trace(EmulatedBus& bus);
bool trace(const std::string& path, std::vector<TraceEntry>* entries, std::string* error);
void clearTrace(EmulatedBus& bus);

// Fault rules (faults.h): added at the end of the list; clearing removes every pending rule
// (conditions already struck, never-ready and busy, last until the next reset).
void addFault(EmulatedBus& bus, const FaultRule& rule);
bool addFault(const std::string& path, const FaultRule& rule, std::string* error);
void clearFaults(EmulatedBus& bus);
bool clearFaults(const std::string& path, std::string* error);

// Power: unplug drops the device off the bus, plug powers it up (bus.unplug(), bus.plug()).
bool unplug(const std::string& path, std::string* error);
bool plug(const std::string& path, std::string* error);
// The device (not its twin) pulled out, if plugged in, and plugged into port (isPortText);
// false when port is not one or is the twin's.
bool plugAt(EmulatedBus& bus, const std::string& port);
bool plugAt(const std::string& path, const std::string& port, std::string* error);

// The ports of the bus's units (the device's, then the twin's), plugged in or not.
std::vector<std::string> unitPorts(EmulatedBus& bus);
// Whether no two units of the buses share a port; else false and the reason.
bool portsApart(const std::vector<std::shared_ptr<EmulatedBus>>& buses, std::string* why);

// Waits (on the clock, nominal ms) until the device is in the guise; true when it is.
bool waitForGuise(EmulatedBus& bus, Guise guise, uint32_t timeoutMs);

}  // namespace emulator
}  // namespace bvu
