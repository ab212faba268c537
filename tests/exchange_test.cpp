// The report exchange: three tries of one start and one bounded wait, on the virtual clock; late,
// failed and refused transfers; every transfer whose wait ran out is ended before its buffer or
// completion serves again.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "hid/device.h"
#include "support.h"
#include "update/protocol.h"

namespace velk {
namespace {

using sim::Fault;
using sim::FaultKind;

// A fault on a block that never comes: the transfer runs undisturbed.
constexpr int kNoSuchBlock = 0x4242;

class Exchange : public ::testing::Test {
protected:
    void start(std::vector<Fault> faults) {
        sim::World w = test::velkWorld();
        w.faults = std::move(faults);
        sim::simStart(w);
        device = connectToUSBHIDDevice(kVelkVendorId, kVelkProductId, kAnyVersion);
        ASSERT_NE(device, kNoDevice);
        ASSERT_TRUE(completionOpen(&completion));
        buildFrame(frame, nullptr, 0);
        buildDataHeader(report, 0x1000);
        putChunk(report, frame, 0);
        sim::simState().calls.clear();
    }
    // Sends chunks 1 to 35 (chunk 0 is in `report`), so the Velk has acknowledged block 0x1000.
    void sendRestOfBlock() {
        ASSERT_EQ(sendblock(device, report, &completion), 1);
        for (int k = 1; k < kChunks; ++k) {
            putChunk(report, frame, k);
            ASSERT_EQ(sendblock(device, report, &completion), 1);
        }
        sim::simState().calls.clear();
    }
    // Releases the case's device and completion, and checks nothing was left behind or misused.
    void finish() {
        completionClose(&completion);
        hidClose(device);
        const sim::State& s = sim::simState();
        EXPECT_TRUE(s.violations.empty()) << s.violations.front();
        EXPECT_EQ(s.devicesOpen, 0);
        EXPECT_EQ(s.completionsLive, 0);
    }
    long count(const char* call) const {
        long n = 0;
        for (const std::string& c : sim::simState().calls) n += c == call;
        return n;
    }

    DeviceHandle device = kNoDevice;
    Completion completion{};
    unsigned char frame[kFrameSize];
    unsigned char report[kReportSize];
};

struct WriteCase {
    const char* name;
    Fault fault;
    int result;
    long starts, waits, ends;
    long long elapsedUs;  // on the virtual clock
    long reachedDevice;
};

TEST_F(Exchange, WriteTriesAndBounds) {
    const WriteCase cases[] = {
        {"completes at once", {FaultKind::writeNever, kNoSuchBlock}, 1, 1, 1, 0, 0, 1},
        {"never completes", {FaultKind::writeNever}, 0, 3, 3, 3, 600'000, 0},
        {"first wait runs out, second completes", {FaultKind::writeNever, sim::kAnyBlock, 0, -1, 1}, 1, 2, 2, 1,
         200'000, 1},
        {"late beyond its wait, ended, then sent again", {FaultKind::writeLate, sim::kAnyBlock, 0, -1, 1, 250}, 1, 2,
         2, 1, 200'000, 1},
        {"late on every try", {FaultKind::writeLate, sim::kAnyBlock, 0, -1, 3, 201}, 0, 3, 3, 3, 600'000, 0},
        {"completes with an error every time", {FaultKind::writeError}, 0, 3, 3, 0, 0, 0},
        {"one error, then completes", {FaultKind::writeError, sim::kAnyBlock, 0, -1, 1}, 1, 2, 2, 0, 0, 1},
        {"cannot be started", {FaultKind::writeRefused}, 0, 3, 0, 0, 0, 0},
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.name);
        start({c.fault});
        EXPECT_EQ(sendblock(device, report, &completion), c.result);
        EXPECT_EQ(count("write"), c.starts);
        EXPECT_EQ(count("wait 200"), c.waits);
        EXPECT_EQ(count("end"), c.ends);
        // Later time passes; an ended transfer must never land.
        sim::simAdvanceTo(sim::simState().nowUs + 10'000'000);
        EXPECT_EQ(sim::simState().nowUs - 10'000'000, c.elapsedUs);
        EXPECT_EQ(sim::simState().reportsToDevice, c.reachedDevice);
        finish();
    }
}

struct ReadCase {
    const char* name;
    bool deviceAnswers;  // the whole block was sent, so an acknowledgement waits
    Fault fault;
    int result;
    long starts, waits, ends;
    long long elapsedUs;
};

TEST_F(Exchange, ReadTriesAndBounds) {
    const ReadCase cases[] = {
        {"acknowledgement waiting", true, {FaultKind::readNever, kNoSuchBlock}, 1, 1, 1, 0, 0},
        {"nothing to read", false, {FaultKind::readNever, kNoSuchBlock}, 0, 3, 3, 3, 6'000'000},
        {"first read never completes", true, {FaultKind::readNever, sim::kAnyBlock, 0, -1, 1}, 1, 2, 2, 1,
         2'000'000},
        {"late beyond its wait, ended, then read again", true,
         {FaultKind::readLate, sim::kAnyBlock, 0, -1, 1, 2'500}, 1, 2, 2, 1, 2'000'000},
        {"completes with an error every time", true, {FaultKind::readError}, 0, 3, 3, 0, 0},
        {"cannot be started", true, {FaultKind::readRefused}, 0, 3, 0, 0, 0},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        start({c.fault});
        if (c.deviceAnswers) sendRestOfBlock();
        const long long before = sim::simState().nowUs;
        unsigned char response[kReportSize];
        std::memset(response, 0xAA, sizeof response);
        EXPECT_EQ(getresult(device, response, &completion), c.result);
        EXPECT_EQ(sim::simState().nowUs - before, c.elapsedUs);
        EXPECT_EQ(count("read"), c.starts);
        EXPECT_EQ(count("wait 2000"), c.waits);
        EXPECT_EQ(count("end"), c.ends);
        if (c.result == 1) {
            EXPECT_TRUE(acknowledges(response, 0x1000));
        } else {
            // No bytes that a completed read did not deliver.
            for (unsigned char b : response) ASSERT_EQ(b, 0);
        }
        sim::simAdvanceTo(sim::simState().nowUs + 10'000'000);
        finish();
    }
}

// The simulated platform itself must show the fault that ending a late transfer prevents:
// otherwise the tests above could not fail.
TEST_F(Exchange, ALateTransferThatIsNotEndedIsCaught) {
    start({{FaultKind::readLate, sim::kAnyBlock, 0, -1, 1, 2'500}});
    sendRestOfBlock();
    unsigned char response[kReportSize] = {};
    ASSERT_EQ(hidStartRead(device, response, &completion), TransferStart::pending);
    ASSERT_EQ(hidWait(device, &completion, kReadWaitMs), WaitResult::timedOut);
    // Starting again without ending the late read: the platform would reuse a busy record.
    unsigned char again[kReportSize] = {};
    ASSERT_EQ(hidStartRead(device, again, &completion), TransferStart::pending);
    ASSERT_EQ(hidWait(device, &completion, kReadWaitMs), WaitResult::completed);
    sim::simAdvanceTo(sim::simState().nowUs + 1'000'000);
    std::vector<std::string>& v = sim::simState().violations;
    ASSERT_FALSE(v.empty());
    EXPECT_NE(v.front().find("pending"), std::string::npos) << v.front();
    v.clear();
    finish();
}

TEST_F(Exchange, ALateReadLandingAfterTheCompletionIsReleasedIsCaught) {
    start({{FaultKind::readLate, sim::kAnyBlock, 0, -1, 1, 2'500}});
    sendRestOfBlock();
    unsigned char response[kReportSize] = {};
    ASSERT_EQ(hidStartRead(device, response, &completion), TransferStart::pending);
    ASSERT_EQ(hidWait(device, &completion, kReadWaitMs), WaitResult::timedOut);
    completionClose(&completion);
    sim::simAdvanceTo(sim::simState().nowUs + 1'000'000);
    std::vector<std::string>& v = sim::simState().violations;
    ASSERT_GE(v.size(), 2u);
    EXPECT_NE(v[0].find("released while its transfer was pending"), std::string::npos) << v[0];
    EXPECT_NE(v[1].find("after its completion was released"), std::string::npos) << v[1];
    // The released buffer was not written.
    for (unsigned char b : response) ASSERT_EQ(b, 0);
    v.clear();
    ASSERT_TRUE(completionOpen(&completion));
    finish();
}

}  // namespace
}  // namespace velk
