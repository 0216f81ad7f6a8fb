#include "emulator/emulator.h"

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>

#include "emulator/model.h"
#include "emulator/sha256.h"
#include "synthetic_images/firmware_images.h"

namespace bvu {
namespace emulator {
namespace {

// Raw calibration bytes as the factory leaves them (0x00 to 0x11; small signed offsets).
constexpr uint8_t kFactoryCalibration[18] = {0x05, 0xFB, 0x02, 0x00, 0x00, 0x00, 0xFE, 0x03, 0x01,
                                             0x00, 0x00, 0x00, 0x0A, 0xF6, 0x04, 0x12, 0xE0, 0x1C};

DeviceModel* modelOf(EmulatedBus& bus) {
    return dynamic_cast<DeviceModel*>(&bus);
}

bool loadForReading(const std::string& path, BusFile* file, std::string* error) {
    return readStateFile(path, file, error);
}

}  // namespace

bool checkCreateOptions(const CreateOptions& o, std::string* error) {
    const std::string serialText = o.serialText.empty() ? "SN" + o.serial : o.serialText;
    if (o.release != 1 && o.release != 2) {
        *error = "the release must be 1 or 2";
    } else if (serialText.size() > 31) {
        *error = "the serial text must have at most 31 characters";
    } else if (o.pcbRevision.size() > 31) {
        *error = "the PCB revision must have at most 31 characters";
    } else if (o.controlVersion.empty() || o.controlVersion.size() > firmware::kMaxVersionLength) {
        *error = "the control firmware version must have 1 to 15 characters";
    } else if (uint8_t packed; !firmware::packVideoVersion(o.videoVersion, &packed)) {
        *error = "the video firmware version must read X.YY (X at most 7, YY at most 31)";
    } else if (o.packageVersion.size() > 5) {
        *error = "the package version must have at most 5 characters";
    } else if (!o.calibration.empty() && o.calibration.size() != 18) {
        *error = "the calibration data must be 18 bytes";
    } else if (std::any_of(o.memory.begin(), o.memory.end(), [](const auto& run) {
                   return run.first + run.second.size() > kMemorySize;
               })) {
        *error = "a memory run must end within the 256 bytes of memory";
    } else if (!isPortText(o.port) || (o.variant.twin && !isPortText(nextPort(o.port)))) {
        *error =
            "the port must read N or N.N... (1 to 7 numbers from 1 to 127), with room for a "
            "twin after it";
    } else if (o.timing.eraseMs > 4000) {
        // The bootloader holds back its GETSTATUS answer for as long: it must stay well within
        // the host's 5-second transfer time-out.
        *error = "the erase time must be at most 4000 ms";
    } else {
        return true;
    }
    return false;
}

bool createDevice(const std::string& path, const CreateOptions& o, std::string* error) {
    if (!checkCreateOptions(o, error))
        return false;
    DeviceState d;
    d.serialText = o.serialText.empty() ? "SN" + o.serial : o.serialText;
    d.pcbRevision = o.pcbRevision;
    d.release = static_cast<uint8_t>(o.release);
    d.variant = o.variant;
    d.timing = o.timing;
    applyDefaultSettings(d.memory);
    if (o.calibration.empty()) {
        std::copy(std::begin(kFactoryCalibration), std::end(kFactoryCalibration), d.memory.begin());
    } else {
        std::copy(o.calibration.begin(), o.calibration.end(), d.memory.begin());
    }
    for (size_t i = 0; i < 5; ++i)
        d.memory[kPackageVersion + i] =
            i < o.packageVersion.size() ? static_cast<uint8_t>(o.packageVersion[i]) : 0;
    d.memory[kVideoStandard] = o.pal ? 'P' : 'N';
    for (const auto& run : o.memory)
        std::copy(run.second.begin(), run.second.end(), d.memory.begin() + run.first);
    d.controlFlash.assign(kControlFlashSize, 0xFF);
    const std::vector<uint8_t>& control = syntheticControlImage(o.controlVersion);
    std::copy(control.begin(), control.end(), d.controlFlash.begin());
    d.videoFlash = syntheticVideoImage(o.videoVersion);
    d.config = factoryConfig();
    if (o.bootloader)
        d.config[kConfigStartup] &= static_cast<uint8_t>(~kStartupApplicationBit);
    d.plugged = true;
    d.onBus = o.bootloader ? Guise::Bootloader : Guise::Run;
    d.port = o.port;

    BusFile file;
    file.units.push_back(d);
    if (o.variant.twin) {
        file.units.push_back(d);
        file.units.back().port = nextPort(o.port);
    }
    return writeFileAtomically(path, encodeStateFile(file, clock::now()), error);
}

DeviceSnapshot snapshotOf(const DeviceState& d, uint64_t requests, size_t pendingFaults,
                          bool twin) {
    DeviceSnapshot s;
    s.guise = d.bricked ? Guise::Bricked : d.onBus;
    s.port = d.port;
    s.plugged = d.plugged;
    s.vanished = d.vanished;
    s.arriving = d.arriving;
    s.serial = serialNumberOf(d);
    s.serialText = d.serialText;
    s.pcbRevision = d.pcbRevision;
    s.release = d.release;
    s.controlVersion = controlVersionOf(d);
    s.videoVersion = videoVersionOf(d);
    s.videoVersionByte = videoVersionByte(d);
    s.packageVersion = packageVersionOf(d);
    s.videoStandard = d.memory[kVideoStandard] == 'P' ? "PAL" : "NTSC";
    s.memory = d.memory;
    s.startupByte = configByte(d, kConfigStartup);
    s.startupBit = (s.startupByte & kStartupApplicationBit) != 0;
    s.securityByte = configByte(d, kConfigSecurity);
    s.dfuState = d.dfu.state;
    s.dfuStatus = d.dfu.status;
    s.controlFlash = d.controlFlash;
    s.videoFlash = d.videoFlash;
    s.controlFlashSha256 = sha256Hex(d.controlFlash);
    s.videoFlashSha256 = sha256Hex(d.videoFlash);
    s.requests = requests;
    s.pendingFaults = pendingFaults;
    s.twin = twin;
    return s;
}

std::string snapshotJson(const DeviceSnapshot& s) {
    nlohmann::ordered_json j;
    j["guise"] = guiseName(s.guise);
    j["port"] = s.port;
    j["plugged"] = s.plugged;
    j["vanished"] = s.vanished;
    j["arriving"] = s.arriving == Guise::Absent ? "" : guiseName(s.arriving);
    j["serial"] = s.serial;
    j["serialText"] = s.serialText;
    j["pcbRevision"] = s.pcbRevision;
    j["release"] = s.release;
    j["controlVersion"] = s.controlVersion;
    j["videoVersion"] = s.videoVersion;
    j["videoVersionByte"] = s.videoVersionByte;
    j["packageVersion"] = s.packageVersion;
    j["videoStandard"] = s.videoStandard;
    j["memory"] = toHex(s.memory.data(), s.memory.size());
    j["startupBit"] = s.startupBit ? 1 : 0;
    j["startupByte"] = s.startupByte;
    j["securityByte"] = s.securityByte;
    j["dfuState"] = s.dfuState;
    j["dfuStatus"] = s.dfuStatus;
    j["controlFlashSha256"] = s.controlFlashSha256;
    j["videoFlashSha256"] = s.videoFlashSha256;
    j["videoFlashLength"] = s.videoFlash.size();
    j["requests"] = s.requests;
    j["pendingFaults"] = s.pendingFaults;
    j["twin"] = s.twin;
    return j.dump(2);
}

DeviceSnapshot inspect(EmulatedBus& bus) {
    DeviceModel* model = modelOf(bus);
    return model != nullptr ? model->snapshot() : DeviceSnapshot{};
}

bool inspect(const std::string& path, DeviceSnapshot* snapshot, std::string* error) {
    if (auto model = liveModel(path)) {
        *snapshot = model->snapshot();
        return true;
    }
    BusFile file;
    if (!loadForReading(path, &file, error))
        return false;
    if (file.units.empty()) {
        *error = path + ": no device in the state file";
        return false;
    }
    DeviceState& d = file.units[0];
    // A re-enumeration that was under way when the file was saved is over by now.
    if (d.plugged && d.arriving != Guise::Absent) {
        d.onBus = d.arriving;
        d.arriving = Guise::Absent;
    }
    *snapshot = snapshotOf(d, file.requests, file.faults.size(), file.units.size() > 1);
    return true;
}

std::vector<TraceEntry> trace(EmulatedBus& bus) {
    DeviceModel* model = modelOf(bus);
    return model != nullptr ? model->traceEntries() : std::vector<TraceEntry>{};
}

bool trace(const std::string& path, std::vector<TraceEntry>* entries, std::string* error) {
    if (auto model = liveModel(path)) {
        *entries = model->traceEntries();
        return true;
    }
    BusFile file;
    if (!loadForReading(path, &file, error))
        return false;
    entries->assign(file.trace.begin(), file.trace.end());
    return true;
}

void clearTrace(EmulatedBus& bus) {
    if (DeviceModel* model = modelOf(bus))
        model->clearTrace();
}

void addFault(EmulatedBus& bus, const FaultRule& rule) {
    if (DeviceModel* model = modelOf(bus))
        model->addFault(rule);
}

void clearFaults(EmulatedBus& bus) {
    if (DeviceModel* model = modelOf(bus))
        model->clearFaults();
}

namespace {
// Opens the bus of path (the live one, or loaded from the file), acts on it and lets it go;
// the last reference going saves the file.
template <typename Action>
bool onBus(const std::string& path, std::string* error, Action action) {
    std::shared_ptr<EmulatedBus> bus = openBus(path, error);
    if (!bus)
        return false;
    action(*bus);
    return true;
}
}  // namespace

bool addFault(const std::string& path, const FaultRule& rule, std::string* error) {
    return onBus(path, error, [&](EmulatedBus& bus) { addFault(bus, rule); });
}

bool clearFaults(const std::string& path, std::string* error) {
    return onBus(path, error, [](EmulatedBus& bus) { clearFaults(bus); });
}

bool unplug(const std::string& path, std::string* error) {
    return onBus(path, error, [](EmulatedBus& bus) { bus.unplug(); });
}

bool plug(const std::string& path, std::string* error) {
    return onBus(path, error, [](EmulatedBus& bus) { bus.plug(); });
}

bool plugAt(EmulatedBus& bus, const std::string& port) {
    DeviceModel* model = modelOf(bus);
    return model != nullptr && model->plugAt(port);
}

bool plugAt(const std::string& path, const std::string& port, std::string* error) {
    if (!isPortText(port)) {
        *error = "not a port: \"" + port + "\" (N or N.N..., numbers from 1 to 127)";
        return false;
    }
    bool done = false;
    if (!onBus(path, error, [&](EmulatedBus& bus) { done = plugAt(bus, port); }))
        return false;
    if (!done)
        *error = "port " + port + " is the twin's";
    return done;
}

std::vector<std::string> unitPorts(EmulatedBus& bus) {
    std::vector<std::string> ports;
    if (DeviceModel* model = modelOf(bus)) {
        ports = model->ports();
    } else {
        for (const Presence& p : bus.present()) {
            if (!p.port.empty())
                ports.push_back(p.port);
        }
    }
    return ports;
}

bool portsApart(const std::vector<std::shared_ptr<EmulatedBus>>& buses, std::string* why) {
    std::map<std::string, size_t> owner;  // port -> bus
    for (size_t b = 0; b < buses.size(); ++b) {
        for (const std::string& port : unitPorts(*buses[b])) {
            auto it = owner.find(port);
            if (it != owner.end()) {
                *why = "two units at port " + port +
                       ": give each state file its own port (bvu-emulator create --port, "
                       "plug --port)";
                return false;
            }
            owner.emplace(port, b);
        }
    }
    return true;
}

bool waitForGuise(EmulatedBus& bus, Guise guise, uint32_t timeoutMs) {
    DeviceModel* model = modelOf(bus);
    return model != nullptr && model->waitForGuise(guise, timeoutMs);
}

}  // namespace emulator
}  // namespace bvu
