// The emulated device's state: what it is (identity, variant, timing), what it keeps (memory,
// both flashes, the bootloader's configuration bytes), where it is (on the bus or not, in which
// guise) and what it is doing (a video download, a DFU command). Plain data; the model
// (model.cpp) guards it with its lock, the request handlers (run_mode.cpp, bootloader.cpp,
// standard_requests.cpp) change it, state_file.cpp saves and loads it.
//
// What the device does where nobody has told us (decisions of this model):
//  Run mode
//  - 5,7 is taken only after 5,1; the ready byte reads 1 from the preparation time after 5,7
//    until 2,3; 5,1 again starts a new attempt (dropping collected data), except while the
//    video flash is being re-programmed. Bulk data on 0x04 outside an open download, or past
//    2 MiB, stalls (the endpoint halts). 5,6 needs an open download, 2,1 a closed one, 2,2 a
//    2,1, 2,3 a 2,2; each out of order stalls.
//  - 2,2 erases the video flash and writes the collected image at an even pace over the
//    re-programming time; 2,3 (or a reset or power loss) ends it: before that time has passed
//    only the share written so far holds data, the rest stays erased, and the firmware is
//    corrupt. A video flash without a complete image makes the version register read 0x00.
//  - 14,0 sets memory back to its defaults except the factory calibration (0x00-0x11), the
//    package version (0x33-0x37) and the video standard (0x3D): 0x00 everywhere, the working
//    calibration cells 0xD0-0xE7 at 0x0200.
//  - 6,9 is a software restart of the application: back in run mode after the restart delay,
//    whatever the start-up bit says. 6,4 and C0 00 00 go through the bootloader's entry.
//  - Release 1 takes 6,4 and does nothing; release 2 takes any bulk message on 0x02 and does
//    nothing with it (so a host that picks the wrong way waits in vain, as with the real one).
//  - Memory reads and writes past 0xFF, the package version longer than 5 bytes, unknown
//    areas and info texts stall. Info texts answer the text and its NUL, cut to wLength.
//  - A bulk endpoint that stalled (0x02 or 0x04, whatever the reason) stays halted, as USB
//    has it: every later transfer to it stalls at once, unseen by the device's function and
//    by the fault rules, until CLEAR_FEATURE(ENDPOINT_HALT) for it, a SET_INTERFACE or
//    SET_CONFIGURATION, or a reset. SET_FEATURE(ENDPOINT_HALT) halts it; GET_STATUS for it
//    answers the halt in bit 0. A stalled control request ends with the next setup packet.
//  Bootloader (see also bootloader.cpp)
//  - Program blocks: wLength must be exactly 32 + n + 16 for the n = end - start + 1 <= 3,072
//    data bytes (errFILE otherwise), inside 0x0000-0x7FFF (errADDRESS); flash cells can only
//    be programmed from 1 to 0, so writing over unerased data leaves the AND of both.
//  - Security byte: writes can only clear bits (old AND new); its bits 1-0 are the level:
//    11 (0xFF) none, one clear (0xFE) programming refused, both clear (0xFC) programming and
//    reading refused, each with errWRITE; the chip erase sets it back to 0xFF.
//  - The chip erase leaves every other configuration byte alone, the start-up byte 02/00
//    included: a host that has pointed the start-up bit at the bootloader before erasing
//    relies on it to find the bootloader again after a power loss in the middle of an update.
//    Writable configuration bytes: 01/00, 01/01, 01/05, 01/06 and 02/00 (others errADDRESS);
//    factory values: 00/00 0x10, 00/01 0xDC, 00/02 0xFB, 01/30 0x1E, 01/31 0x95, 01/60 0x8A,
//    01/61 0x00, 01/05 0xFF, 02/00 0xFF (0xBF when created in the bootloader).
//  - Durations: erase 1 s (configurable, at most 4 s), program 4 ms per 128-byte page,
//    configuration write 15 ms, anything else 2 ms.
//  - Starting the application (04 03 01 ...) from a flash without a complete control image,
//    or a reset (04 03 00) with the start-up bit set and no image: the device leaves the bus
//    and does not come back ("vanished") until power-cycled. A power-up with the start-up bit
//    set and no image bricks it for good (the bootloader can never be entered again).
//  - A zero-length DNLOAD without a pending start: after a block it manifests (dfuMANIFEST-
//    SYNC, then dfuIDLE at GETSTATUS); in dfuIDLE it stalls into dfuERROR (errSTALLEDPKT).
//  - DETACH and unknown DFU requests stall into dfuERROR (errSTALLEDPKT); vendor requests
//    just stall.
//  Both guises
//  - Every reset (re-enumeration, restart, power cycle) loses the RAM: a video download in
//    progress, the DFU state (back to dfuIDLE) and the never-ready and busy fault conditions.
//  - Power-up (plug) is immediate; leaving the bus is immediate; arrival in the other guise
//    comes after the re-enumeration delay (1.5 s), after 6,9 after the restart delay (2 s).
//  - The twin variant is a second device with the same identity and its own state, on the
//    next port; power reaches both; faults, the request count and the snapshot concern the
//    first only.
//  - Every unit is plugged into a port of its own (by default port 1, the twin port 2) and
//    arrives there in either guise; a unit plugged in elsewhere (plug --port, an unplug fault
//    with a replug port) keeps its new port. Units of several state files served together
//    must have different ports.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "emulator/emulated_bus.h"
#include "platform/clock.h"

namespace bvu {
namespace emulator {

constexpr uint16_t kVendorId = 0x03EB;
constexpr uint16_t kRunProductId = 0x3014;
constexpr uint16_t kBootloaderProductId = 0x2FFD;
constexpr size_t kMemorySize = 256;
constexpr size_t kControlFlashSize = 32768;
constexpr size_t kVideoFlashSize = 2 * 1024 * 1024;  // room for any bitstream of this family

// Memory map of the byte-addressed memory (area 5/1).
constexpr uint8_t kCalibrationRawFirst = 0x00;  // factory data, 0x00 to 0x11
constexpr uint8_t kCalibrationRawLast = 0x11;
constexpr uint8_t kPackageVersion = 0x33;  // 5 bytes, 0x33 to 0x37
constexpr uint8_t kVideoStandard = 0x3D;   // 'N' or 'P'
constexpr uint8_t kDefaultsMarker = 0x3E;
constexpr uint8_t kCalibrationResultFirst = 0xD0;  // 12 cells of 16 bits, high byte first
constexpr uint8_t kCalibrationResultLast = 0xE7;

// Bootloader configuration bytes, keyed group << 8 | byte.
constexpr uint16_t kConfigSecurity = 0x0105;
constexpr uint16_t kConfigStartup = 0x0200;
constexpr uint8_t kStartupApplicationBit = 0x40;  // set: start the application; clear: bootloader

// DFU 1.1 states and status codes.
namespace dfu {
constexpr uint8_t kAppIdle = 0, kAppDetach = 1, kIdle = 2, kDnloadSync = 3, kDnBusy = 4,
                  kDnloadIdle = 5, kManifestSync = 6, kManifest = 7, kManifestWaitReset = 8,
                  kUploadIdle = 9, kError = 10;
constexpr uint8_t kOk = 0, kErrTarget = 1, kErrFile = 2, kErrWrite = 3, kErrErase = 4,
                  kErrCheckErased = 5, kErrProg = 6, kErrVerify = 7, kErrAddress = 8,
                  kErrNotDone = 9, kErrFirmware = 10, kErrVendor = 11, kErrUsbr = 12, kErrPor = 13,
                  kErrUnknown = 14, kErrStalledPkt = 15;
}  // namespace dfu

// Nominal durations in milliseconds (on the platform clock).
struct Timing {
    uint32_t preparationMs = 3000;    // after 5,7: until the ready byte reads 1
    uint32_t reprogrammingMs = 5000;  // after 2,2: until the video flash holds the new image
    uint32_t eraseMs = 1000;          // DFU chip erase
    uint32_t reenumerationMs = 1500;  // off the bus before it arrives in the other guise
    uint32_t restartMs = 2000;        // after 6,9: off the bus before it is back in run mode
};

// Structural variants of the device, fixed when it is made.
struct Variant {
    bool busyStatus = false;      // GETSTATUS answers dfuDNBUSY while a command runs
    uint8_t interfaceNumber = 0;  // the number of the device's one interface (both guises)
    bool twin = false;            // a second identical device on the bus
    bool refuseSetInterface = false;
};

// The run-mode video download, step by step.
enum class VideoStage : uint8_t {
    Idle,
    Prepared,       // 5,1 received
    Preparing,      // 5,7 received: ready after the preparation time
    Open,           // 5,5: bulk data on 0x04 is collected
    Collected,      // 5,6: the image is complete
    Armed,          // 2,1
    Reprogramming,  // 2,2: writing the video flash; 2,3 ends it
};

enum class UploadKind : uint8_t { None, Flash, Config, BlankAddress };
enum class StartKind : uint8_t { None, Application, Reset };

// The bootloader's DFU machine.
struct DfuMachine {
    uint8_t state = dfu::kIdle;
    uint8_t status = dfu::kOk;
    bool running = false;  // a command block is being carried out until doneAt
    clock::TimePoint doneAt{};
    uint8_t resultState = dfu::kIdle;  // the state and status the command ends in
    uint8_t resultStatus = dfu::kOk;
    StartKind start = StartKind::None;  // carried out at the next zero-length DNLOAD
    UploadKind upload = UploadKind::None;
    uint16_t uploadNext = 0;  // Flash: next address; Config: key; BlankAddress: the address
    uint16_t uploadLast = 0;  // Flash: last address (inclusive)
    bool uploadExhausted = false;
};

struct DeviceState {
    // What it is.
    std::string serialText;   // info text 13; the host shows its characters 2 to 5
    std::string pcbRevision;  // info text 7
    uint8_t release = 2;      // major byte of bcdDevice
    Variant variant;
    Timing timing;

    // What it keeps across power cycles.
    std::array<uint8_t, kMemorySize> memory{};
    std::vector<uint8_t> controlFlash;  // kControlFlashSize bytes
    std::vector<uint8_t> videoFlash;    // the bytes written since its last erase
    std::map<uint16_t, uint8_t> config;

    // Where it is.
    std::string port = "1";  // the port it is plugged into ("4", or "4.2" behind a hub)
    bool plugged = true;
    Guise onBus = Guise::Run;        // Run, Bootloader, or Absent (off the bus)
    Guise arriving = Guise::Absent;  // off the bus on a re-enumeration: the guise to come back in
    clock::TimePoint arriveAt{};
    bool vanished = false;  // started an application it could not run: gone until power-cycled
    bool bricked = false;   // powers up into an application it cannot run: never enumerates

    // What it is doing (RAM: lost at every reset and power loss).
    VideoStage video = VideoStage::Idle;
    clock::TimePoint videoDeadline{};  // Preparing: ready then; Reprogramming: done then
    std::vector<uint8_t> collected;
    bool neverReady = false;  // fault: the preparation never completes
    bool stuckBusy = false;   // fault: the bootloader reports dfuDNBUSY for ever
    DfuMachine dfu;
    std::set<uint8_t> halted;  // run mode: the bulk endpoints (addresses) that are halted
};

// A request as the handlers see it.
struct Request {
    uint8_t setup[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    const uint8_t* out = nullptr;  // OUT data stage as it arrived
    uint32_t outLength = 0;
    uint32_t inCapacity = 0;     // IN: the most the host takes
    std::vector<uint8_t> reply;  // IN: the handler's answer (cut to inCapacity by the model)
    clock::TimePoint now{};

    uint8_t type() const { return setup[0]; }
    uint8_t request() const { return setup[1]; }
    uint16_t value() const { return static_cast<uint16_t>(setup[2] | setup[3] << 8); }
    uint16_t index() const { return static_cast<uint16_t>(setup[4] | setup[5] << 8); }
    uint16_t length() const { return static_cast<uint16_t>(setup[6] | setup[7] << 8); }
    bool isIn() const { return (setup[0] & 0x80) != 0; }
};

// What a request does to the device's presence on the bus, or that it must wait.
struct Outcome {
    bool leave = false;              // the device drops off the bus once the request is answered
    Guise arriveAs = Guise::Absent;  // ... and arrives so (Absent: it does not come back)
    uint32_t arriveAfterMs = 0;
    bool busy = false;  // the device cannot take the request before retryAt: nothing changed
    clock::TimePoint retryAt{};
};

// ---- Facts derived from the state ---------------------------------------------------------

// The control firmware version the flash holds ("" when it holds no complete image).
std::string controlVersionOf(const DeviceState& d);
// The video firmware version text, and the byte the device reports (0 for no valid image).
std::string videoVersionOf(const DeviceState& d);
uint8_t videoVersionByte(const DeviceState& d);
// The package firmware version text at memory 0x33 (up to the first NUL, at most 5 bytes).
std::string packageVersionOf(const DeviceState& d);
bool startupSaysApplication(const DeviceState& d);
uint8_t configByte(const DeviceState& d, uint16_t key);
// What the host shows as the serial number: characters 2 to 5 of the info text.
std::string serialNumberOf(const DeviceState& d);

// Whether text names a port: 1 to 7 numbers from 1 to 127 with a dot between ("4", "4.2").
bool isPortText(const std::string& text);
// The port after it on the same hub: "2" after "1", "4.3" after "4.2".
std::string nextPort(const std::string& port);

// The synthetic images (synthetic_images/firmware_images.h), made once per version and process.
const std::vector<uint8_t>& syntheticControlImage(const std::string& version);
const std::vector<uint8_t>& syntheticVideoImage(const std::string& version);

// ---- Life-cycle steps ---------------------------------------------------------------------

// The factory configuration bytes and default settings (memory outside the factory data).
std::map<uint16_t, uint8_t> factoryConfig();
void applyDefaultSettings(std::array<uint8_t, kMemorySize>& memory);

// A reset (re-enumeration, restart, power-up): everything in RAM is lost. A video flash being
// re-programmed keeps what was written so far.
void resetVolatile(DeviceState& d, clock::TimePoint now);
// The guise a power-up starts (marks the device bricked when the start-up bit says
// application and the flash holds no application).
Guise powerUpGuise(DeviceState& d);
// The guise that starting the application gives: Run, or Absent (vanished) when the flash
// holds no complete control image.
Guise applicationGuise(const DeviceState& d);

}  // namespace emulator
}  // namespace bvu
