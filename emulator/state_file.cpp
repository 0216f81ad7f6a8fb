#include "emulator/state_file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "synthetic_images/firmware_images.h"

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace bvu {
namespace emulator {
namespace {

using nlohmann::json;

constexpr const char* kFormat = "bvu-emulator-state";
constexpr int kFormatVersion = 1;
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Time still to run until a deadline, in nominal milliseconds (0 once it has passed).
uint64_t remainingMs(clock::TimePoint now, clock::TimePoint deadline) {
    double ms = clock::nominalMsBetween(now, deadline);
    return ms <= 0 ? 0 : static_cast<uint64_t>(std::ceil(ms));
}

clock::TimePoint inMs(clock::TimePoint now, uint64_t ms) {
    return now + clock::scaled(std::chrono::milliseconds(ms));
}

const char* videoStageName(VideoStage s) {
    switch (s) {
        case VideoStage::Idle:
            return "idle";
        case VideoStage::Prepared:
            return "prepared";
        case VideoStage::Preparing:
            return "preparing";
        case VideoStage::Open:
            return "open";
        case VideoStage::Collected:
            return "collected";
        case VideoStage::Armed:
            return "armed";
        case VideoStage::Reprogramming:
            return "reprogramming";
    }
    return "idle";
}

VideoStage parseVideoStage(const std::string& name) {
    for (VideoStage s :
         {VideoStage::Idle, VideoStage::Prepared, VideoStage::Preparing, VideoStage::Open,
          VideoStage::Collected, VideoStage::Armed, VideoStage::Reprogramming}) {
        if (name == videoStageName(s))
            return s;
    }
    throw std::runtime_error("unknown video download stage '" + name + "'");
}

Guise guiseOf(const json& j) {
    Guise g;
    if (!parseGuise(j.get<std::string>(), &g))
        throw std::runtime_error("unknown guise");
    return g;
}

std::vector<uint8_t> hexOf(const json& j) {
    std::vector<uint8_t> v;
    if (!fromHex(j.get<std::string>(), &v))
        throw std::runtime_error("bad hex data");
    return v;
}

std::vector<uint8_t> base64Of(const json& j) {
    std::vector<uint8_t> v;
    if (!fromBase64(j.get<std::string>(), &v))
        throw std::runtime_error("bad base64 data");
    return v;
}

// A flash that holds exactly one of the synthetic images (and erased bytes after it) is kept
// as the image's name, which keeps the file small; any other content as base64.
json encodeFlash(const std::vector<uint8_t>& flash, firmware::ImageKind kind) {
    firmware::ImageInfo info;
    if (firmware::identifyImage(flash, &info) && info.kind == kind) {
        const std::vector<uint8_t>& image = kind == firmware::ImageKind::Control
                                                ? syntheticControlImage(info.version)
                                                : syntheticVideoImage(info.version);
        const bool same = image.size() <= flash.size() &&
                          std::equal(image.begin(), image.end(), flash.begin()) &&
                          std::all_of(flash.begin() + static_cast<std::ptrdiff_t>(image.size()),
                                      flash.end(), [](uint8_t b) { return b == 0xFF; });
        if (same)
            return {{"synthetic", info.version}, {"length", flash.size()}};
    }
    return toBase64(flash);
}

std::vector<uint8_t> decodeFlash(const json& j, firmware::ImageKind kind) {
    if (j.is_string())
        return base64Of(j);
    const std::string version = j.at("synthetic").get<std::string>();
    const size_t length = j.at("length").get<size_t>();
    std::vector<uint8_t> flash = kind == firmware::ImageKind::Control
                                     ? syntheticControlImage(version)
                                     : syntheticVideoImage(version);
    if (length < flash.size() || length > kVideoFlashSize)
        throw std::runtime_error("bad flash length");
    flash.resize(length, 0xFF);
    return flash;
}

json encodeDevice(const DeviceState& d, clock::TimePoint now) {
    json j;
    j["serialText"] = d.serialText;
    j["pcbRevision"] = d.pcbRevision;
    j["release"] = d.release;
    j["variant"] = {{"busyStatus", d.variant.busyStatus},
                    {"interfaceNumber", d.variant.interfaceNumber},
                    {"twin", d.variant.twin},
                    {"refuseSetInterface", d.variant.refuseSetInterface}};
    j["timing"] = {{"preparationMs", d.timing.preparationMs},
                   {"reprogrammingMs", d.timing.reprogrammingMs},
                   {"eraseMs", d.timing.eraseMs},
                   {"reenumerationMs", d.timing.reenumerationMs},
                   {"restartMs", d.timing.restartMs}};
    j["memory"] = toHex(d.memory.data(), d.memory.size());
    j["controlFlash"] = encodeFlash(d.controlFlash, firmware::ImageKind::Control);
    j["videoFlash"] = encodeFlash(d.videoFlash, firmware::ImageKind::Video);
    json config = json::object();
    for (const auto& kv : d.config) {
        char key[8];
        std::snprintf(key, sizeof key, "%04X", kv.first);
        config[key] = kv.second;
    }
    j["config"] = config;
    j["port"] = d.port;
    j["plugged"] = d.plugged;
    j["onBus"] = guiseName(d.onBus);
    j["arriving"] = guiseName(d.arriving);
    j["arriveInMs"] = remainingMs(now, d.arriveAt);
    j["vanished"] = d.vanished;
    j["bricked"] = d.bricked;
    const DfuMachine& m = d.dfu;
    j["volatile"] = {{"video", videoStageName(d.video)},
                     {"videoDeadlineInMs", remainingMs(now, d.videoDeadline)},
                     {"collected", toBase64(d.collected)},
                     {"neverReady", d.neverReady},
                     {"stuckBusy", d.stuckBusy},
                     {"halted", d.halted},
                     {"dfu",
                      {{"state", m.state},
                       {"status", m.status},
                       {"running", m.running},
                       {"doneInMs", remainingMs(now, m.doneAt)},
                       {"resultState", m.resultState},
                       {"resultStatus", m.resultStatus},
                       {"start", static_cast<int>(m.start)},
                       {"upload", static_cast<int>(m.upload)},
                       {"uploadNext", m.uploadNext},
                       {"uploadLast", m.uploadLast},
                       {"uploadExhausted", m.uploadExhausted}}}};
    return j;
}

DeviceState decodeDevice(const json& j, clock::TimePoint now, const std::string& port) {
    DeviceState d;
    // Files from before ports: the device on port 1, its twin on port 2.
    d.port = j.value("port", port);
    if (!isPortText(d.port))
        throw std::runtime_error("bad port \"" + d.port + "\"");
    d.serialText = j.at("serialText").get<std::string>();
    d.pcbRevision = j.at("pcbRevision").get<std::string>();
    d.release = j.at("release").get<uint8_t>();
    const json& v = j.at("variant");
    d.variant.busyStatus = v.at("busyStatus").get<bool>();
    d.variant.interfaceNumber = v.at("interfaceNumber").get<uint8_t>();
    d.variant.twin = v.at("twin").get<bool>();
    d.variant.refuseSetInterface = v.at("refuseSetInterface").get<bool>();
    const json& t = j.at("timing");
    d.timing.preparationMs = t.at("preparationMs").get<uint32_t>();
    d.timing.reprogrammingMs = t.at("reprogrammingMs").get<uint32_t>();
    d.timing.eraseMs = t.at("eraseMs").get<uint32_t>();
    d.timing.reenumerationMs = t.at("reenumerationMs").get<uint32_t>();
    d.timing.restartMs = t.at("restartMs").get<uint32_t>();
    std::vector<uint8_t> memory = hexOf(j.at("memory"));
    if (memory.size() != kMemorySize)
        throw std::runtime_error("memory is not 256 bytes");
    std::copy(memory.begin(), memory.end(), d.memory.begin());
    d.controlFlash = decodeFlash(j.at("controlFlash"), firmware::ImageKind::Control);
    if (d.controlFlash.size() != kControlFlashSize)
        throw std::runtime_error("control flash is not 32 KiB");
    d.videoFlash = decodeFlash(j.at("videoFlash"), firmware::ImageKind::Video);
    if (d.videoFlash.size() > kVideoFlashSize)
        throw std::runtime_error("video flash too large");
    for (auto it = j.at("config").begin(); it != j.at("config").end(); ++it) {
        unsigned long key = std::stoul(it.key(), nullptr, 16);
        d.config[static_cast<uint16_t>(key)] = it.value().get<uint8_t>();
    }
    d.plugged = j.at("plugged").get<bool>();
    d.onBus = guiseOf(j.at("onBus"));
    d.arriving = guiseOf(j.at("arriving"));
    d.arriveAt = inMs(now, j.at("arriveInMs").get<uint64_t>());
    d.vanished = j.at("vanished").get<bool>();
    d.bricked = j.at("bricked").get<bool>();
    const json& vol = j.at("volatile");
    d.video = parseVideoStage(vol.at("video").get<std::string>());
    d.videoDeadline = inMs(now, vol.at("videoDeadlineInMs").get<uint64_t>());
    d.collected = base64Of(vol.at("collected"));
    d.neverReady = vol.at("neverReady").get<bool>();
    d.stuckBusy = vol.at("stuckBusy").get<bool>();
    // Files written before endpoints could halt have no such list.
    d.halted = vol.value("halted", std::set<uint8_t>());
    const json& m = vol.at("dfu");
    d.dfu.state = m.at("state").get<uint8_t>();
    d.dfu.status = m.at("status").get<uint8_t>();
    d.dfu.running = m.at("running").get<bool>();
    d.dfu.doneAt = inMs(now, m.at("doneInMs").get<uint64_t>());
    d.dfu.resultState = m.at("resultState").get<uint8_t>();
    d.dfu.resultStatus = m.at("resultStatus").get<uint8_t>();
    d.dfu.start = static_cast<StartKind>(m.at("start").get<int>());
    d.dfu.upload = static_cast<UploadKind>(m.at("upload").get<int>());
    d.dfu.uploadNext = m.at("uploadNext").get<uint16_t>();
    d.dfu.uploadLast = m.at("uploadLast").get<uint16_t>();
    d.dfu.uploadExhausted = m.at("uploadExhausted").get<bool>();
    return d;
}

json encodeFault(const FaultRule& f) {
    json j = {{"kind", faultKindName(f.kind)}, {"after", f.after}};
    if (f.guise == Guise::Run || f.guise == Guise::Bootloader)
        j["guise"] = guiseName(f.guise);
    if (f.match)
        j["match"] = matchText(f);
    j["bytes"] = f.bytes;
    j["status"] = f.status;
    j["replugAfterMs"] = f.replugAfterMs;
    if (!f.replugPort.empty())
        j["replugPort"] = f.replugPort;
    return j;
}

FaultRule decodeFault(const json& j) {
    FaultRule f;
    if (!parseFaultKind(j.at("kind").get<std::string>(), &f.kind))
        throw std::runtime_error("unknown fault kind");
    f.after = j.at("after").get<uint32_t>();
    if (j.contains("guise"))
        f.guise = guiseOf(j.at("guise"));
    std::string why;
    if (j.contains("match") && !parseMatch(j.at("match").get<std::string>(), &f, &why))
        throw std::runtime_error(why);
    f.bytes = j.at("bytes").get<uint32_t>();
    f.status = j.at("status").get<uint8_t>();
    f.replugAfterMs = j.at("replugAfterMs").get<uint32_t>();
    f.replugPort = j.value("replugPort", "");
    if (!f.replugPort.empty() && !isPortText(f.replugPort))
        throw std::runtime_error("bad replug port");
    return f;
}

json encodeTrace(const TraceEntry& e) {
    const size_t kept = std::min(e.data.size(), kTraceFileDataLimit);
    json j = {{"seq", e.sequence},
              {"device", e.device},
              {"guise", guiseName(e.guise)},
              {"kind", e.kind == TraceKind::Bulk           ? "bulk"
                       : e.kind == TraceKind::SetInterface ? "set-interface"
                                                           : "control"},
              {"setup", toHex(e.setup, 8)},
              {"endpoint", e.endpoint},
              {"length", e.dataLength},
              {"data", toHex(e.data.data(), kept)},
              {"reply", replyName(e.reply)}};
    if (!e.fault.empty())
        j["fault"] = e.fault;
    return j;
}

TraceEntry decodeTrace(const json& j) {
    TraceEntry e;
    e.sequence = j.at("seq").get<uint64_t>();
    e.device = j.at("device").get<int>();
    e.guise = guiseOf(j.at("guise"));
    const std::string kind = j.at("kind").get<std::string>();
    e.kind = kind == "bulk"            ? TraceKind::Bulk
             : kind == "set-interface" ? TraceKind::SetInterface
                                       : TraceKind::Control;
    std::vector<uint8_t> setup = hexOf(j.at("setup"));
    if (setup.size() != 8)
        throw std::runtime_error("bad setup packet in trace");
    std::copy(setup.begin(), setup.end(), e.setup);
    e.endpoint = j.at("endpoint").get<uint8_t>();
    e.dataLength = j.at("length").get<uint32_t>();
    e.data = hexOf(j.at("data"));
    e.dataTruncated = e.data.size() < e.dataLength && e.data.size() == kTraceFileDataLimit;
    if (!parseReply(j.at("reply").get<std::string>(), &e.reply))
        throw std::runtime_error("bad reply in trace");
    e.fault = j.value("fault", "");
    return e;
}

}  // namespace

std::string toHex(const uint8_t* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        s += digits[data[i] >> 4];
        s += digits[data[i] & 0xF];
    }
    return s;
}

bool fromHex(const std::string& text, std::vector<uint8_t>* out) {
    if (text.size() % 2 != 0)
        return false;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    out->clear();
    out->reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = nibble(text[i]), lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out->push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

std::string toBase64(const std::vector<uint8_t>& data) {
    std::string s;
    s.reserve((data.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < data.size(); i += 3) {
        uint32_t v = data[i] << 16 | data[i + 1] << 8 | data[i + 2];
        for (int k = 3; k >= 0; --k) s += kBase64[(v >> (6 * k)) & 0x3F];
    }
    if (i + 1 == data.size()) {
        uint32_t v = data[i] << 16;
        s += kBase64[(v >> 18) & 0x3F];
        s += kBase64[(v >> 12) & 0x3F];
        s += "==";
    } else if (i + 2 == data.size()) {
        uint32_t v = data[i] << 16 | data[i + 1] << 8;
        s += kBase64[(v >> 18) & 0x3F];
        s += kBase64[(v >> 12) & 0x3F];
        s += kBase64[(v >> 6) & 0x3F];
        s += '=';
    }
    return s;
}

bool fromBase64(const std::string& text, std::vector<uint8_t>* out) {
    if (text.size() % 4 != 0)
        return false;
    int value[256];
    for (int& v : value) v = -1;
    for (int k = 0; k < 64; ++k) value[static_cast<uint8_t>(kBase64[k])] = k;
    out->clear();
    out->reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        int pad = 0;
        uint32_t v = 0;
        for (size_t k = 0; k < 4; ++k) {
            char c = text[i + k];
            if (c == '=' && i + 4 == text.size() && k >= 2) {
                ++pad;
                v <<= 6;
                continue;
            }
            if (pad > 0)
                return false;
            int x = value[static_cast<uint8_t>(c)];
            if (x < 0)
                return false;
            v = v << 6 | static_cast<uint32_t>(x);
        }
        out->push_back(static_cast<uint8_t>(v >> 16));
        if (pad < 2)
            out->push_back(static_cast<uint8_t>(v >> 8));
        if (pad < 1)
            out->push_back(static_cast<uint8_t>(v));
    }
    return true;
}

std::string encodeStateFile(const BusFile& file, clock::TimePoint now) {
    json j;
    j["format"] = kFormat;
    j["formatVersion"] = kFormatVersion;
    if (!file.units.empty())
        j["device"] = encodeDevice(file.units[0], now);
    if (file.units.size() > 1)
        j["twin"] = encodeDevice(file.units[1], now);
    json faults = json::array();
    for (const auto& f : file.faults) faults.push_back(encodeFault(f));
    j["faults"] = faults;
    j["requests"] = file.requests;
    j["nextBusId"] = file.nextBusId;
    j["replugInMs"] =
        file.replugPending ? static_cast<int64_t>(remainingMs(now, file.replugAt)) : int64_t{-1};
    if (!file.replugPort.empty())
        j["replugPort"] = file.replugPort;
    json trace = json::array();
    const size_t skip = file.trace.size() > kTraceLimit ? file.trace.size() - kTraceLimit : 0;
    for (size_t i = skip; i < file.trace.size(); ++i) trace.push_back(encodeTrace(file.trace[i]));
    j["trace"] = trace;
    return j.dump(1) + "\n";
}

bool decodeStateFile(const std::string& text, clock::TimePoint now, BusFile* file,
                     std::string* error) {
    try {
        json j = json::parse(text);
        if (j.value("format", "") != kFormat) {
            *error = "not an emulated device's state file";
            return false;
        }
        if (j.value("formatVersion", 0) != kFormatVersion) {
            *error = "state file of an unknown format version";
            return false;
        }
        BusFile f;
        f.units.push_back(decodeDevice(j.at("device"), now, "1"));
        if (j.contains("twin"))
            f.units.push_back(decodeDevice(j.at("twin"), now, "2"));
        for (const auto& x : j.at("faults")) f.faults.push_back(decodeFault(x));
        f.requests = j.at("requests").get<uint64_t>();
        f.nextBusId = j.at("nextBusId").get<uint32_t>();
        int64_t replug = j.at("replugInMs").get<int64_t>();
        f.replugPending = replug >= 0;
        if (f.replugPending)
            f.replugAt = inMs(now, static_cast<uint64_t>(replug));
        f.replugPort = j.value("replugPort", "");
        for (const auto& x : j.at("trace")) f.trace.push_back(decodeTrace(x));
        *file = std::move(f);
        return true;
    } catch (const std::exception& e) {
        *error = std::string("damaged state file: ") + e.what();
        return false;
    }
}

bool readStateFile(const std::string& path, BusFile* file, std::string* error) {
    std::ifstream in(path, std::ios::binary);
#ifdef _WIN32
    // While a writer replaces the file, Windows refuses to open it for a moment ("Permission
    // denied"); the replacement is atomic, so waiting a little gives the new whole file.
    for (int attempt = 0; attempt < 100 && !in && errno == EACCES; ++attempt) {
        Sleep(10);
        in.clear();
        in.open(path, std::ios::binary);
    }
#endif
    if (!in) {
        *error = "cannot open state file " + path + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (!decodeStateFile(text.str(), clock::now(), file, error)) {
        *error = path + ": " + *error;
        return false;
    }
    return true;
}

bool writeFileAtomically(const std::string& path, const std::string& content, std::string* error) {
    static std::atomic<unsigned> counter{0};
#ifdef _WIN32
    const int pid = _getpid();
#else
    const int pid = static_cast<int>(getpid());
#endif
    const std::string tmp =
        path + ".tmp-" + std::to_string(pid) + "-" + std::to_string(counter.fetch_add(1));
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (f == nullptr) {
        *error = "cannot write " + tmp + ": " + std::strerror(errno);
        return false;
    }
    bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
    ok = (std::fflush(f) == 0) && ok;
    ok = (std::fclose(f) == 0) && ok;
    if (!ok) {
        *error = "cannot write " + tmp;
        std::remove(tmp.c_str());
        return false;
    }
#ifdef _WIN32
    // Windows refuses to replace a file that someone has open at that moment (a reader of the
    // state, an antivirus scan): error 5 or 32. Such a refusal passes, so try again for a while
    // (real time: this is the file system's pace, not the device's).
    BOOL moved = FALSE;
    for (int attempt = 0; attempt < 100 && !moved; ++attempt) {
        moved = MoveFileExA(tmp.c_str(), path.c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        const DWORD why = moved ? 0 : GetLastError();
        if (!moved && why != ERROR_ACCESS_DENIED && why != ERROR_SHARING_VIOLATION)
            break;
        if (!moved)
            Sleep(10);
    }
    if (!moved) {
        *error = "cannot replace " + path + " (error " + std::to_string(GetLastError()) + ")";
        std::remove(tmp.c_str());
        return false;
    }
#else
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        *error = "cannot replace " + path + ": " + std::strerror(errno);
        std::remove(tmp.c_str());
        return false;
    }
#endif
    return true;
}

}  // namespace emulator
}  // namespace bvu
