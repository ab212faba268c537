#include "bootloader.h"

#include <cstring>

#include "update/protocol.h"

namespace velk::sim {

int runOrder(int blockNumber) {
    if (blockNumber >= 0x1000 && blockNumber <= 0x10F8) return blockNumber - 0x1000;
    if (blockNumber >= 4 && blockNumber <= 10) return 249 + (blockNumber - 4);
    return -1;
}

namespace {

bool isRestart(const unsigned char* r) {
    static const unsigned char head[6] = {0x00, 0x46, 0x2A, 0x47, 0x00, 0xFF};
    if (std::memcmp(r, head, sizeof head) != 0) return false;
    for (int i = 6; i < 64; ++i)
        if (r[i] != 0) return false;
    return true;
}

void store(Bootloader& d) {
    const int order = runOrder(d.block);
    if (order < 249) {
        std::memcpy(d.fpgaStream + 2048 * static_cast<std::size_t>(order), d.frame, 2048);
        d.fpgaWritten[order] = true;
    } else {
        std::memcpy(d.mcu + 2048 * static_cast<std::size_t>(order - 249), d.frame, 2048);
        d.mcuWritten[order - 249] = true;
    }
}

}  // namespace

bool bootloaderReceive(Bootloader& d, const unsigned char* r, unsigned char* ack) {
    ++d.reports;
    if (d.restarts > 0) ++d.afterRestart;
    if (d.haveLast && std::memcmp(r, d.lastReport, 64) == 0) {
        ++d.duplicates;
        return false;
    }
    std::memcpy(d.lastReport, r, 64);
    d.haveLast = true;

    if (isRestart(r)) {
        ++d.restarts;
        return false;
    }
    if (r[0] != 0x00 || r[1] != 0x46 || r[2] != 0x2A || r[63] != 0x00 || r[5] >= 36) {
        ++d.rejectedReports;
        d.broken = true;
        return false;
    }
    ++d.dataReports;
    const int block = r[3] | (r[4] << 8);
    const int chunk = r[5];
    if (chunk == 0) {
        // A new frame, or the same one again from the start.
        d.block = block;
        d.nextChunk = 0;
        d.broken = runOrder(block) < 0;
    } else if (block != d.block || chunk != d.nextChunk) {
        d.broken = true;
    }
    if (d.broken) return false;
    std::memcpy(d.frame + 57 * static_cast<std::size_t>(chunk), r + 6, 57);
    d.nextChunk = chunk + 1;
    if (d.nextChunk < 36) return false;

    ++d.framesReceived;
    d.broken = true;  // a frame is answered once; the next must start from chunk 0
    const unsigned sum = d.frame[2048] | (d.frame[2049] << 8);
    if (sum != blockchecksum(d.frame) || d.frame[2050] != 0 || d.frame[2051] != 0) {
        ++d.badChecksums;
        return false;
    }
    if (d.refuseFrom >= 0 && runOrder(block) >= d.refuseFrom) return false;
    store(d);
    ++d.acknowledged;
    std::memset(ack, 0, 64);
    ack[1] = 0x46;
    ack[2] = 0x2B;
    ack[3] = static_cast<unsigned char>(block & 0xFF);
    ack[4] = static_cast<unsigned char>(block >> 8);
    return true;
}

bool fpgaMatches(const Bootloader& d, const unsigned char* image, std::size_t length) {
    if (length + 4 > kFpgaStreamRoom) return false;
    for (bool written : d.fpgaWritten)
        if (!written) return false;
    const unsigned char prefix[4] = {static_cast<unsigned char>(length >> 24),
                                     static_cast<unsigned char>(length >> 16),
                                     static_cast<unsigned char>(length >> 8),
                                     static_cast<unsigned char>(length)};
    if (std::memcmp(d.fpgaStream, prefix, 4) != 0) return false;
    if (std::memcmp(d.fpgaStream + 4, image, length) != 0) return false;
    for (std::size_t i = 4 + length; i < kFpgaStreamRoom; ++i)
        if (d.fpgaStream[i] != 0) return false;
    return true;
}

bool mcuMatches(const Bootloader& d, const unsigned char* image, std::size_t length) {
    if (length != kMcuRoom) return false;
    for (bool written : d.mcuWritten)
        if (!written) return false;
    return std::memcmp(d.mcu, image, length) == 0;
}

}  // namespace velk::sim
