// The wire formats: checksum, frame, data reports, acknowledgement test, restart report.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "hid/platform.h"
#include "update/protocol.h"

namespace velk {
namespace {

std::vector<unsigned char> bytesModulo256(std::size_t n) {
    std::vector<unsigned char> b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(i % 256);
    return b;
}

struct ChecksumCase {
    const char* name;
    std::vector<unsigned char> source;  // the block's source bytes; the frame zero-fills to 2048
    std::uint16_t expected;
};

TEST(BlockChecksum, KnownBlocks) {
    const ChecksumCase cases[] = {
        {"zeros", std::vector<unsigned char>(2048, 0x00), 0x402E},
        {"all 0xFF", std::vector<unsigned char>(2048, 0xFF), 0x5928},
        {"abc then zeros", {'a', 'b', 'c'}, 0x4C0E},
        {"i mod 256", bytesModulo256(2048), 0xF76C},
        {"1512 bytes of i mod 256, zero fill", bytesModulo256(1512), 0x462B},
    };
    for (const ChecksumCase& c : cases) {
        unsigned char frame[kFrameSize];
        std::memset(frame, 0xEE, sizeof frame);
        buildFrame(frame, c.source.data(), c.source.size());
        EXPECT_EQ(blockchecksum(frame), c.expected) << c.name;
        // The frame carries it low byte first, then two zero bytes; the fill is zero.
        EXPECT_EQ(frame[2048], c.expected & 0xFF) << c.name;
        EXPECT_EQ(frame[2049], c.expected >> 8) << c.name;
        EXPECT_EQ(frame[2050], 0) << c.name;
        EXPECT_EQ(frame[2051], 0) << c.name;
        for (std::size_t i = c.source.size(); i < 2048; ++i) ASSERT_EQ(frame[i], 0) << c.name << " at " << i;
        EXPECT_EQ(std::memcmp(frame, c.source.data(), c.source.size()), 0) << c.name;
    }
}

TEST(BlockChecksum, CoversOnlyTheBlockNotTheBytesBehindIt) {
    unsigned char frame[kFrameSize] = {};
    const std::uint16_t before = blockchecksum(frame);
    frame[2048] = 0x12;
    frame[2051] = 0x34;
    EXPECT_EQ(blockchecksum(frame), before);
    frame[2047] = 1;
    EXPECT_NE(blockchecksum(frame), before);
}

TEST(DataReport, ChunksOfAZeroBlock) {
    const unsigned char zeros[2048] = {};
    unsigned char frame[kFrameSize];
    buildFrame(frame, zeros, sizeof zeros);
    unsigned char report[kReportSize];
    std::memset(report, 0xAB, sizeof report);
    buildDataHeader(report, 0x1000);

    putChunk(report, frame, 0);
    std::array<unsigned char, 64> chunk0{};
    chunk0[1] = 0x46;
    chunk0[2] = 0x2A;
    chunk0[4] = 0x10;
    EXPECT_EQ(std::memcmp(report, chunk0.data(), 64), 0);

    putChunk(report, frame, 35);
    std::array<unsigned char, 64> chunk35{};
    chunk35[1] = 0x46;
    chunk35[2] = 0x2A;
    chunk35[4] = 0x10;
    chunk35[5] = 0x23;
    chunk35[59] = 0x2E;
    chunk35[60] = 0x40;
    EXPECT_EQ(std::memcmp(report, chunk35.data(), 64), 0);
}

TEST(DataReport, ChunksCoverTheFrameInOrderAndByte63StaysZero) {
    const std::vector<unsigned char> source = bytesModulo256(2048);
    unsigned char frame[kFrameSize];
    buildFrame(frame, source.data(), source.size());
    unsigned char report[kReportSize];
    buildDataHeader(report, 0x10F8);
    std::vector<unsigned char> rebuilt;
    for (int k = 0; k < kChunks; ++k) {
        putChunk(report, frame, k);
        EXPECT_EQ(report[3], 0xF8);
        EXPECT_EQ(report[4], 0x10);
        EXPECT_EQ(report[5], k);
        EXPECT_EQ(report[63], 0) << "chunk " << k;
        rebuilt.insert(rebuilt.end(), report + 6, report + 63);
    }
    ASSERT_EQ(rebuilt.size(), kFrameSize);
    EXPECT_EQ(std::memcmp(rebuilt.data(), frame, kFrameSize), 0);
}

TEST(Acknowledgement, NamesTheBlockLowByteFirst) {
    struct Case {
        const char* name;
        std::array<unsigned char, 5> head;  // bytes 0 to 4
        int block;
        bool accepted;
    };
    const Case cases[] = {
        {"right", {0x00, 0x46, 0x2B, 0x00, 0x10}, 0x1000, true},
        {"byte 0 is not tested", {0x7F, 0x46, 0x2B, 0x00, 0x10}, 0x1000, true},
        {"swapped block bytes", {0x00, 0x46, 0x2B, 0x10, 0x00}, 0x1000, false},
        {"another block", {0x00, 0x46, 0x2B, 0x01, 0x10}, 0x1000, false},
        {"data report letters", {0x00, 0x46, 0x2A, 0x00, 0x10}, 0x1000, false},
        {"wrong first letter", {0x00, 0x47, 0x2B, 0x00, 0x10}, 0x1000, false},
        {"MCU block", {0x00, 0x46, 0x2B, 0x0A, 0x00}, 10, true},
        {"number out of range never matches", {0x00, 0x46, 0x2B, 0x00, 0x00}, 0x10000, false},
    };
    for (const Case& c : cases) {
        unsigned char report[kReportSize];
        std::memset(report, 0x5A, sizeof report);  // bytes 5 to 63 are not tested
        std::memcpy(report, c.head.data(), c.head.size());
        EXPECT_EQ(acknowledges(report, c.block), c.accepted) << c.name;
    }
}

TEST(RestartReport, Bytes) {
    unsigned char report[kReportSize];
    std::memset(report, 0xCC, sizeof report);
    buildRestartReport(report);
    std::array<unsigned char, 64> expected{};
    expected[1] = 0x46;
    expected[2] = 0x2A;
    expected[3] = 0x47;
    expected[5] = 0xFF;
    EXPECT_EQ(std::memcmp(report, expected.data(), 64), 0);
}

}  // namespace
}  // namespace velk
