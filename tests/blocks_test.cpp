// How the run cuts the FPGA stream (length prefix, then the image) into numbered blocks.
#include <gtest/gtest.h>

#include <cstring>

#include "update/images.h"
#include "update/run.h"

namespace velk {
namespace {

TEST(Images, LengthsAndLeadIn) {
    EXPECT_EQ(sizeof fpgaImage, 509412u);
    EXPECT_EQ(sizeof mcuImage, 14336u);
    for (int i = 0; i < 32; ++i) ASSERT_EQ(fpgaImage[i], 0xFF) << i;
    EXPECT_EQ(fpgaImage[32], 0xAA);
    EXPECT_EQ(fpgaImage[33], 0x99);
}

TEST(FpgaBlocks, FirstBlockOpensWithTheLengthPrefix) {
    unsigned char block[2048];
    ASSERT_EQ(fpgaBlock(0, block), 2048);
    const unsigned char prefix[4] = {0x00, 0x07, 0xC5, 0xE4};
    EXPECT_EQ(std::memcmp(block, prefix, 4), 0);
    EXPECT_EQ(std::memcmp(block + 4, fpgaImage, 2044), 0);
}

TEST(FpgaBlocks, LaterBlocksStartFourBytesShortOfABlockBoundary) {
    struct Case {
        int n;
        std::size_t firstImageByte;
    };
    const Case cases[] = {{1, 2044}, {2, 4092}, {247, 505852}};
    for (const Case& c : cases) {
        unsigned char block[2048];
        ASSERT_EQ(fpgaBlock(c.n, block), 2048) << c.n;
        EXPECT_EQ(std::memcmp(block, fpgaImage + c.firstImageByte, 2048), 0) << c.n;
    }
}

TEST(FpgaBlocks, LastBlockIsTheFinal1512BytesAndReadsNothingBeyond) {
    unsigned char block[2048];
    std::memset(block, 0xEE, sizeof block);
    ASSERT_EQ(fpgaBlock(248, block), 1512);
    EXPECT_EQ(std::memcmp(block, fpgaImage + 507900, 1512), 0);
    // The rest is for the block transfer to zero-fill; the run leaves it untouched.
    EXPECT_EQ(block[1512], 0xEE);
    EXPECT_EQ(block[2047], 0xEE);
}

TEST(FpgaBlocks, TheStreamMakes249BlocksThatCoverItExactly) {
    std::size_t streamBytes = 0;
    int blocks = 0;
    unsigned char block[2048];
    for (int n = 0;; ++n) {
        const int length = fpgaBlock(n, block);
        if (length == 0) break;
        streamBytes += static_cast<std::size_t>(length);
        ++blocks;
    }
    EXPECT_EQ(blocks, kFpgaBlocks);
    EXPECT_EQ(streamBytes, 4 + sizeof fpgaImage);
    EXPECT_EQ(kFirstFpgaBlock + kFpgaBlocks - 1, 0x10F8);
    EXPECT_EQ(kFirstMcuBlock + kMcuBlocks - 1, 10);
    EXPECT_EQ(static_cast<std::size_t>(kMcuBlocks) * 2048, sizeof mcuImage);
}

}  // namespace
}  // namespace velk
