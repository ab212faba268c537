#include "protocol.h"

#include <cstring>

#include "hid/platform.h"

namespace velk {

std::uint16_t blockchecksum(const unsigned char* block) {
    std::uint16_t c = 0;
    for (unsigned i = 0; i < kBlockSize; ++i) {
        const std::uint16_t x = static_cast<std::uint16_t>(c ^ i);
        std::uint16_t y = static_cast<std::uint16_t>(x << 1);
        if ((c & 0x8000) == 0) y = static_cast<std::uint16_t>(~y);
        c = static_cast<std::uint16_t>(y + block[i]);
    }
    return c;
}

void buildFrame(unsigned char* frame, const unsigned char* source, std::size_t length) {
    if (length > kBlockSize) length = kBlockSize;
    if (length != 0) std::memcpy(frame, source, length);
    std::memset(frame + length, 0, kFrameSize - length);
    const std::uint16_t sum = blockchecksum(frame);
    frame[kBlockSize] = static_cast<unsigned char>(sum & 0xFF);
    frame[kBlockSize + 1] = static_cast<unsigned char>(sum >> 8);
}

void buildDataHeader(unsigned char* report, int blockNumber) {
    std::memset(report, 0, kReportSize);
    report[1] = 0x46;
    report[2] = 0x2A;
    report[3] = static_cast<unsigned char>(blockNumber & 0xFF);
    report[4] = static_cast<unsigned char>((blockNumber >> 8) & 0xFF);
}

void putChunk(unsigned char* report, const unsigned char* frame, int chunk) {
    report[5] = static_cast<unsigned char>(chunk);
    std::memcpy(report + 6, frame + kChunkSize * static_cast<std::size_t>(chunk), kChunkSize);
}

bool acknowledges(const unsigned char* report, int blockNumber) {
    const int named = report[3] | (report[4] << 8);
    return report[1] == 0x46 && report[2] == 0x2B && named == blockNumber;
}

void buildRestartReport(unsigned char* report) {
    std::memset(report, 0, kReportSize);
    report[1] = 0x46;
    report[2] = 0x2A;
    report[3] = 0x47;
    report[4] = 0x00;
    report[5] = 0xFF;
}

}  // namespace velk
