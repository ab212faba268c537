// One block's transfer: 36 data reports, one acknowledgement, up to four attempts, each from
// chunk 0; one dot for a confirmed block and none for a failed one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hid/device.h"
#include "support.h"
#include "update/flash2k.h"

namespace velk {
namespace {

using sim::Fault;
using sim::FaultKind;

constexpr int kBlock = 0x1000;

struct Outcome {
    int result;
    std::string output;
    std::vector<int> chunks;  // the chunk index of every write started, in order
    long reads;
    long long elapsedUs;
};

Outcome transfer(std::vector<Fault> faults, bool completionsFail = false) {
    sim::World w = test::velkWorld();
    w.faults = std::move(faults);
    w.completionsFail = completionsFail;
    sim::simStart(w);
    DeviceHandle d = connectToUSBHIDDevice(kVelkVendorId, kVelkProductId, kAnyVersion);
    EXPECT_NE(d, kNoDevice);
    sim::State& s = sim::simState();
    s.calls.clear();
    s.writes.clear();
    unsigned char block[2048] = {};
    Outcome o{};
    {
        test::CapturedOutput out;
        o.result = flash2k(d, kBlock, block, 2048);
        o.output = out.text();
    }
    for (const auto& r : s.writes) {
        EXPECT_EQ(r[3] | (r[4] << 8), kBlock);
        o.chunks.push_back(r[5]);
    }
    o.reads = s.readsStarted;
    o.elapsedUs = s.nowUs;
    EXPECT_EQ(s.completionsLive, 0) << "the completion is released on every way out";
    EXPECT_TRUE(s.violations.empty()) << s.violations.front();
    EXPECT_EQ(s.device.rejectedReports, 0);
    hidClose(d);
    return o;
}

// Chunk indexes of `attempts` whole attempts.
std::vector<int> wholeAttempts(int attempts) {
    std::vector<int> chunks;
    for (int a = 0; a < attempts; ++a)
        for (int k = 0; k < 36; ++k) chunks.push_back(k);
    return chunks;
}

TEST(Flash2k, Attempts) {
    struct Case {
        const char* name;
        std::vector<Fault> faults;
        int result;
        int wholeAttempts;  // how many times the whole frame went out, when no write failed
        long reads;
    };
    const Case cases[] = {
        {"first attempt", {}, 1, 1, 1},
        {"swapped block number, then right", {{FaultKind::ackSwapped, kBlock, 1}}, 1, 2, 2},
        {"success in the third attempt",
         {{FaultKind::ackWrongLetters, kBlock, 1}, {FaultKind::ackOtherBlock, kBlock, 2}}, 1, 3, 3},
        {"another block named every time", {{FaultKind::ackOtherBlock, kBlock}}, 0, 4, 4},
        {"a corrupted chunk is not acknowledged", {{FaultKind::corruptChunk, kBlock, 1, 7, 1}}, 1, 2, 3 + 1},
        {"acknowledgement lost in every attempt", {{FaultKind::readNever, kBlock}}, 0, 4, 4 * 3},
    };
    for (const Case& c : cases) {
        const Outcome o = transfer(c.faults);
        EXPECT_EQ(o.result, c.result) << c.name;
        EXPECT_EQ(o.output, c.result == 1 ? "." : "") << c.name;
        EXPECT_EQ(o.chunks, wholeAttempts(c.wholeAttempts)) << c.name;
        EXPECT_EQ(o.reads, c.reads) << c.name;
    }
}

TEST(Flash2k, AWriteThatFailsEndsTheAttemptWithoutARead) {
    const Outcome o = transfer({{FaultKind::writeNever, kBlock, 1, 20, 3}});
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.output, ".");
    std::vector<int> expected;
    for (int k = 0; k <= 20; ++k) expected.push_back(k);
    expected.push_back(20);
    expected.push_back(20);  // chunk 20's three tries
    for (int k : wholeAttempts(1)) expected.push_back(k);
    EXPECT_EQ(o.chunks, expected);
    EXPECT_EQ(o.reads, 1);
    EXPECT_EQ(o.elapsedUs, 3 * 200'000);
}

TEST(Flash2k, FourFailedAttemptsTakeTheirBoundedWaitsAndWriteNothing) {
    const Outcome o = transfer({{FaultKind::readNever, kBlock}});
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.output, "");
    EXPECT_EQ(o.elapsedUs, 4LL * 3 * 2'000'000);
}

TEST(Flash2k, ADeviceThatVanishesFailsTheBlock) {
    const Outcome o = transfer({{FaultKind::vanish, kBlock, 1, 5}});
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.output, "");
    EXPECT_EQ(o.reads, 0);
}

TEST(Flash2k, NoCompletionMeansNoTransferAndFailure) {
    const Outcome o = transfer({}, true);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.output, "");
    EXPECT_TRUE(o.chunks.empty());
    EXPECT_EQ(o.reads, 0);
}

}  // namespace
}  // namespace velk
