// Across processes: the tool as a program, several runs acting on one device, and a writer
// killed at any moment never leaving a broken state file.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "emulator/state_file.h"
#include "tests/emulator/emu_fixture.h"

namespace bvu {
namespace emulator {
namespace test {
namespace {

struct ToolRun {
    int exitCode;
    std::string out;
};

// Runs the tool with the arguments (single-quoted for the shell); stdout and stderr together.
ToolRun tool(const std::string& args) {
    const std::string command = std::string("'") + BVU_EMULATOR_TOOL + "' " + args + " 2>&1";
    ToolRun r{-1, ""};
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr)
        return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int status = pclose(p);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

nlohmann::json showJson(const std::string& state) {
    ToolRun r = tool("show '" + state + "' --json");
    EXPECT_EQ(r.exitCode, 0) << r.out;
    return nlohmann::json::parse(r.out, nullptr, false);
}

TEST(EmuTool, CreateShowFaultPowerAndTraceAcrossRuns) {
    TempDir dir;
    const std::string state = dir.file("d.json");
    ToolRun r = tool("create '" + state +
                     "' --serial 0815 --pcb R3.0 --release 1 --control-version 1.05 "
                     "--video-version 1.03 --package-version 2.01 --pal --calibration "
                     "000102030405060708090a0b0c0d0e0f1011");
    ASSERT_EQ(r.exitCode, 0) << r.out;
    nlohmann::json j = showJson(state);
    EXPECT_EQ(j["guise"], "run");
    EXPECT_EQ(j["serial"], "0815");
    EXPECT_EQ(j["pcbRevision"], "R3.0");
    EXPECT_EQ(j["release"], 1);
    EXPECT_EQ(j["controlVersion"], "1.05");
    EXPECT_EQ(j["videoVersion"], "1.03");
    EXPECT_EQ(j["packageVersion"], "2.01");
    EXPECT_EQ(j["videoStandard"], "PAL");
    EXPECT_EQ(j["memory"].get<std::string>().substr(0, 36), "000102030405060708090a0b0c0d0e0f1011");
    EXPECT_EQ(j["startupBit"], 1);
    EXPECT_EQ(j["securityByte"], 255);
    EXPECT_EQ(j["controlFlashSha256"].get<std::string>().size(), 64u);
    EXPECT_EQ(j["requests"], 0);

    ASSERT_EQ(tool("fault '" + state + "' stall --after 3 --guise run").exitCode, 0);
    ASSERT_EQ(tool("fault '" + state + "' short --bytes 2 --match 0xA0:3:0x0204").exitCode, 0);
    EXPECT_EQ(showJson(state)["pendingFaults"], 2);
    ASSERT_EQ(tool("fault '" + state + "' --clear").exitCode, 0);
    EXPECT_EQ(showJson(state)["pendingFaults"], 0);

    ASSERT_EQ(tool("unplug '" + state + "'").exitCode, 0);
    EXPECT_EQ(showJson(state)["guise"], "absent");
    EXPECT_EQ(showJson(state)["plugged"], false);
    ASSERT_EQ(tool("plug '" + state + "'").exitCode, 0);
    EXPECT_EQ(showJson(state)["guise"], "run");

    r = tool("show '" + state + "'");
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("control firmware   1.05"), std::string::npos) << r.out;
    r = tool("trace '" + state + "'");
    EXPECT_EQ(r.exitCode, 0) << r.out;
}

TEST(EmuTool, SeveralRunsActOnOneDevice) {
    clock::setTimeScaleForTests(0.02);
    TempDir dir;
    const std::string state = dir.file("d.json");
    ASSERT_EQ(tool("create '" + state + "' --bootloader").exitCode, 0);
    EXPECT_EQ(showJson(state)["guise"], "bootloader");
    {
        std::string error;
        std::shared_ptr<EmulatedBus> bus = openBus(state, &error);
        ASSERT_TRUE(bus) << error;
        uint32_t id = bus->present().at(0).busId;
        uint8_t setup[8] = {0x21, 1, 0, 0, 4, 0, 4, 0};
        uint8_t block[4] = {0x04, 0x02, 0x00, 0xFF};  // start-up bit: application
        uint32_t n = 0;
        ASSERT_EQ(bus->control(id, setup, block, &n), Reply::Ack);
    }
    EXPECT_EQ(showJson(state)["startupBit"], 1);
    ASSERT_EQ(tool("unplug '" + state + "'").exitCode, 0);
    ASSERT_EQ(tool("plug '" + state + "'").exitCode, 0);
    nlohmann::json j = showJson(state);
    EXPECT_EQ(j["guise"], "run");
    EXPECT_EQ(j["requests"], 1);
}

TEST(EmuTool, ExitCodesAndMessages) {
    TempDir dir;
    const std::string state = dir.file("d.json");
    ToolRun r = tool("");
    EXPECT_EQ(r.exitCode, 2);
    r = tool("frobnicate '" + state + "'");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.out.find("unknown command"), std::string::npos);
    r = tool("create '" + state + "' --release 3");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.out.find("release"), std::string::npos);
    r = tool("create '" + state + "' --video-version 1.40");
    EXPECT_EQ(r.exitCode, 2);
    r = tool("create '" + state + "' --calibration 0011");
    EXPECT_EQ(r.exitCode, 2);
    r = tool("show '" + state + "'");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("d.json"), std::string::npos);
    ASSERT_EQ(tool("create '" + state + "'").exitCode, 0);
    EXPECT_EQ(tool("fault '" + state + "' explode").exitCode, 2);
    EXPECT_EQ(tool("fault '" + state + "' short").exitCode, 2);  // needs --bytes
    EXPECT_EQ(tool("fault '" + state + "' stall --match 1").exitCode, 2);
    EXPECT_EQ(tool("fault '" + state + "' stall --guise absent").exitCode, 2);
    EXPECT_EQ(tool("show '" + state + "' --yaml").exitCode, 2);
    EXPECT_EQ(tool("create '" + dir.file("no/such/dir.json") + "'").exitCode, 1);
    r = tool("serve '" + state + "' -- true");
    if (r.out.find("serve is not available") != std::string::npos) {
        EXPECT_EQ(r.exitCode, 2);
    }
}

TEST(EmuTool, PortsAreGivenAtCreationAndByPlug) {
    TempDir dir;
    const std::string state = dir.file("d.json");
    ASSERT_EQ(tool("create '" + state + "' --port 4.2").exitCode, 0);
    EXPECT_EQ(showJson(state)["port"], "4.2");
    EXPECT_NE(tool("show '" + state + "'").out.find("  port               4.2\n"),
              std::string::npos);
    ASSERT_EQ(tool("plug '" + state + "' --port 3").exitCode, 0);
    EXPECT_EQ(showJson(state)["port"], "3");
    EXPECT_EQ(showJson(state)["guise"], "run");
    EXPECT_EQ(tool("create '" + state + "' --port 0").exitCode, 2);
    EXPECT_EQ(tool("plug '" + state + "' --port 4.").exitCode, 2);
    EXPECT_EQ(tool("plug '" + state + "' --bogus").exitCode, 2);
    EXPECT_EQ(tool("fault '" + state + "' unplug --replug-port 2").exitCode, 2);  // no replug
    EXPECT_EQ(tool("fault '" + state + "' stall --replug-after 5 --replug-port 2").exitCode, 2);
    EXPECT_EQ(tool("fault '" + state + "' unplug --replug-after 5 --replug-port 2").exitCode, 0);
    EXPECT_EQ(showJson(state)["port"], "3");
}

TEST(EmuKilledWriter, NeverLeavesABrokenStateFile) {
    clock::setTimeScaleForTests(0.02);
    TempDir dir;
    const std::string state = dir.file("d.json");
    std::string error;
    ASSERT_TRUE(createDevice(state, CreateOptions{}, &error)) << error;
    uint64_t saved = 0;
    for (int round = 0; round < 6; ++round) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::shared_ptr<EmulatedBus> bus = openBus(state, nullptr);
            if (!bus)
                _exit(3);
            for (uint8_t i = 0;; ++i) {
                uint32_t id = bus->present().empty() ? 0 : bus->present()[0].busId;
                uint8_t setup[8] = {0x20, 2, 1, 5, 0x40, 0, 1, 0};
                uint32_t n = 0;
                bus->control(id, setup, &i, &n);
                std::string e;
                bus->save(&e);
            }
        }
        // Once the writer is under way (its first save has landed), kill it at some moment.
        for (int i = 0; i < 2000; ++i) {
            BusFile seen;
            std::string e;
            if (readStateFile(state, &seen, &e) && seen.requests > saved)
                break;
            usleep(5000);
        }
        usleep(static_cast<useconds_t>(3000 + 7919 * round));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself";
        BusFile file;
        ASSERT_TRUE(readStateFile(state, &file, &error)) << "round " << round << ": " << error;
        EXPECT_EQ(file.units.size(), 1u);
        EXPECT_GT(file.requests, saved) << "round " << round;
        saved = file.requests;
    }
    std::shared_ptr<EmulatedBus> bus = openBus(state, &error);
    ASSERT_TRUE(bus) << error;
    EXPECT_GT(inspect(*bus).requests, 0u);
}

}  // namespace
}  // namespace test
}  // namespace emulator
}  // namespace bvu
#endif  // !_WIN32
