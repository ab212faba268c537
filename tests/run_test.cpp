// Whole update runs against the simulated Velk: output, exit status, what crossed the wire and
// what the device ends up holding.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support.h"
#include "update/images.h"
#include "update/run.h"

namespace velk {
namespace {

using sim::Fault;
using sim::FaultKind;

struct RunResult {
    int status;
    std::string output;
};

RunResult run(const sim::World& world) {
    sim::simStart(world);
    test::CapturedOutput out;
    RunResult r;
    r.status = updateRun();
    r.output = out.text();
    const sim::State& s = sim::simState();
    EXPECT_EQ(s.devicesOpen, 0) << "the device handle is closed on every way out";
    EXPECT_EQ(s.listsLive, 0);
    EXPECT_EQ(s.completionsLive, 0);
    EXPECT_TRUE(s.violations.empty()) << s.violations.front();
    return r;
}

// The highest run position of any block that a write was started for.
int lastBlockWritten() {
    int last = -1;
    for (const auto& r : sim::simState().writes) {
        const int order = sim::runOrder(r[3] | (r[4] << 8));
        if (r[5] != 0xFF && order > last) last = order;
    }
    return last;
}

TEST(UpdateRun, CompleteRun) {
    const RunResult r = run(test::velkWorld());
    EXPECT_EQ(r.status, kStatusDone);
    EXPECT_EQ(r.output, test::completeRunText());
    EXPECT_EQ(r.output.size(), 311u);
    const sim::State& s = sim::simState();
    EXPECT_EQ(s.device.dataReports, 9216);
    EXPECT_EQ(s.device.restarts, 1);
    EXPECT_EQ(s.reportsToDevice, 9217);
    EXPECT_EQ(s.writesStarted, 9217);
    EXPECT_EQ(s.readsStarted, 256);
    EXPECT_EQ(s.reportsFromDevice, 256);
    EXPECT_EQ(s.device.acknowledged, 256);
    EXPECT_EQ(s.device.rejectedReports, 0);
    EXPECT_EQ(s.device.afterRestart, 0);
    EXPECT_TRUE(sim::fpgaMatches(s.device, fpgaImage, sizeof fpgaImage));
    EXPECT_TRUE(sim::mcuMatches(s.device, mcuImage, sizeof mcuImage));
    // The restart report is the last thing written, and nothing is read after it.
    EXPECT_EQ(s.writes.back()[5], 0xFF);
    EXPECT_EQ(s.calls.back(), "close 0");
}

TEST(UpdateRun, NoDevice) {
    sim::World w;
    w.interfaces.push_back(sim::otherInterface(0x845E, 0x0001, "Mouse"));
    w.interfaces.push_back(sim::otherInterface(0x5A17, 0x0005, "Application"));  // not in bootloader mode
    for (const sim::World& world : {sim::World{}, w}) {
        const RunResult r = run(world);
        EXPECT_EQ(r.status, kStatusNoDevice);
        EXPECT_EQ(r.output, kNotFoundText);
        EXPECT_EQ(sim::simState().writesStarted, 0);
        EXPECT_EQ(sim::simState().readsStarted, 0);
    }
}

TEST(UpdateRun, ABlockThatIsNotConfirmedEndsTheRun) {
    const std::string fpgaLine = "Updating FPGA." + std::string(249, '.') + " done.\n";
    struct Case {
        int position;  // the first block, in the run's order, that the Velk does not acknowledge
        std::string output;
    };
    const Case cases[] = {
        {0, test::fpgaFailureText(0)},
        {1, test::fpgaFailureText(1)},
        {137, test::fpgaFailureText(137)},
        {248, test::fpgaFailureText(248)},
        {249, fpgaLine + "Updating MCU." + " failed.\n"},
        {249 + 3, fpgaLine + "Updating MCU..." + ". failed.\n"},
        {249 + 6, fpgaLine + "Updating MCU." + std::string(6, '.') + " failed.\n"},
    };
    for (const Case& c : cases) {
        sim::World w = test::velkWorld();
        w.refuseFrom = c.position;
        const RunResult r = run(w);
        EXPECT_EQ(r.status, kStatusFailed) << c.position;
        EXPECT_EQ(r.output, c.output) << c.position;
        const sim::State& s = sim::simState();
        EXPECT_EQ(lastBlockWritten(), c.position) << "no later block";
        EXPECT_EQ(s.device.restarts, 0) << "no restart report";
        EXPECT_EQ(s.device.acknowledged, c.position);
        // Four attempts of the refused block, each with its three bounded read waits.
        EXPECT_EQ(s.nowUs, 4LL * 3 * 2'000'000) << c.position;
    }
}

TEST(UpdateRun, ARestartReportThatCannotBeWrittenStillEndsDone) {
    sim::World w = test::velkWorld();
    w.faults.push_back(Fault{FaultKind::writeNever, sim::kRestartReport});
    const RunResult r = run(w);
    EXPECT_EQ(r.status, kStatusDone);
    EXPECT_EQ(r.output, test::completeRunText());
    EXPECT_EQ(sim::simState().device.restarts, 0);
    EXPECT_EQ(sim::simState().nowUs, 3 * 200'000);
}

TEST(UpdateRun, TransientFaultsAreRiddenOut) {
    sim::World w = test::velkWorld();
    w.faults = {
        {FaultKind::ackSwapped, 0x1000, 1},
        {FaultKind::writeLate, 0x1020, 1, 3, 1, 250},
        {FaultKind::writeNever, 0x1030, 2, 35, 2},
        {FaultKind::readLate, 0x10F8, 1, sim::kAnyChunk, 1, 2'100},
        {FaultKind::corruptChunk, 0x10F8, 2, 35, 1},
        {FaultKind::writeError, 5, 1, 0, 1},
        {FaultKind::readNever, 10, 1, sim::kAnyChunk, 3},
    };
    const RunResult r = run(w);
    EXPECT_EQ(r.status, kStatusDone);
    EXPECT_EQ(r.output, test::completeRunText());
    const sim::State& s = sim::simState();
    EXPECT_TRUE(sim::fpgaMatches(s.device, fpgaImage, sizeof fpgaImage));
    EXPECT_TRUE(sim::mcuMatches(s.device, mcuImage, sizeof mcuImage));
    EXPECT_EQ(s.device.restarts, 1);
    EXPECT_GT(s.ends, 0);
}

TEST(UpdateRun, ADeviceThatVanishesMidRunFails) {
    sim::World w = test::velkWorld();
    w.faults.push_back(Fault{FaultKind::vanish, 0x1080, 1, 10});
    const RunResult r = run(w);
    EXPECT_EQ(r.status, kStatusFailed);
    EXPECT_EQ(r.output, test::fpgaFailureText(0x80));
    EXPECT_EQ(sim::simState().device.restarts, 0);
}

}  // namespace
}  // namespace velk
