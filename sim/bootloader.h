// The Velk's bootloader as the updater meets it: it takes output reports one at a time, checks each
// data report, rebuilds the block frame, checks its checksum and acknowledges a good block. It
// keeps what it received so that a test can compare it with the embedded images. Pure logic over
// fixed buffers: the simulated platform and the USB gadget both drive it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velk::sim {

inline constexpr std::size_t kFpgaStreamRoom = 249 * 2048;  // the stream, zero-filled to whole blocks
inline constexpr std::size_t kMcuRoom = 7 * 2048;

struct Bootloader {
    // The block being received: its number, the next chunk index expected, and its frame so far.
    int block = -1;
    int nextChunk = 0;
    bool broken = false;  // a report of this frame was wrong: the block is not acknowledged
    unsigned char frame[2052] = {};
    unsigned char lastReport[64] = {};
    bool haveLast = false;

    // Blocks in the run's order from this position on are never acknowledged (-1: none).
    int refuseFrom = -1;

    // What the device holds.
    unsigned char fpgaStream[kFpgaStreamRoom] = {};
    unsigned char mcu[kMcuRoom] = {};
    bool fpgaWritten[249] = {};
    bool mcuWritten[7] = {};

    // Counts.
    long reports = 0;         // output reports received
    long dataReports = 0;     // of which data reports
    long duplicates = 0;      // the same report again, right after itself (a retried write)
    long rejectedReports = 0; // reports that were not a well-formed data or restart report
    long framesReceived = 0;  // complete frames (36 chunks in order)
    long badChecksums = 0;
    long acknowledged = 0;
    long restarts = 0;
    long afterRestart = 0;    // reports that came after the restart report
};

// The place of a block number in the run's order: FPGA blocks 0x1000..0x10F8 are 0..248, MCU
// blocks 4..10 are 249..255; -1 for any other number.
int runOrder(int blockNumber);

// Takes one 64-byte output report. Returns true and fills `ack` (64 bytes) when the device answers
// with an acknowledgement report.
bool bootloaderReceive(Bootloader& device, const unsigned char* report, unsigned char* ack);

// Does the device hold exactly this FPGA stream (length prefix, the image, zero fill) and MCU image,
// every block of both written?
bool fpgaMatches(const Bootloader& device, const unsigned char* image, std::size_t length);
bool mcuMatches(const Bootloader& device, const unsigned char* image, std::size_t length);

}  // namespace velk::sim
