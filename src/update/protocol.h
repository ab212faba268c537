// The update protocol's wire formats: the block frame with its checksum, the data report, the
// acknowledgement report and the restart report. Pure functions over fixed buffers; nothing here
// touches a platform.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velk {

inline constexpr std::size_t kBlockSize = 2048;
inline constexpr std::size_t kFrameSize = 2052;  // the block, its checksum (low byte first), 0, 0
inline constexpr std::size_t kChunkSize = 57;
inline constexpr int kChunks = 36;  // 36 x 57 = 2052: the chunks cover the frame exactly

// The 16-bit checksum over the first 2048 bytes of a block frame.
std::uint16_t blockchecksum(const unsigned char* block);

// Builds the frame of a block: `length` source bytes (at most 2048), zero fill to 2048 bytes, the
// checksum low byte first, then two zero bytes.
void buildFrame(unsigned char* frame, const unsigned char* source, std::size_t length);

// Clears a 64-byte report and writes the data report header: 0x00, "F", "*", block number low,
// block number high. Byte 63 stays 0.
void buildDataHeader(unsigned char* report, int blockNumber);

// Puts chunk `chunk` (0 to 35) of the frame into bytes 5 to 62 of a data report.
void putChunk(unsigned char* report, const unsigned char* frame, int chunk);

// Does this input report acknowledge the block: "F", "+", the block number low byte first?
bool acknowledges(const unsigned char* report, int blockNumber);

// The report that makes the device restart: 0x00, "F", "*", "G", 0x00, 0xFF, then zeros.
void buildRestartReport(unsigned char* report);

}  // namespace velk
