// The update run: find the Velk, write the FPGA stream and the MCU image block by block, restart
// the device, and tell the outcome on standard output and in the exit status.
#pragma once

#include <cstddef>

namespace velk {

inline constexpr int kStatusDone = 0;
inline constexpr int kStatusNoDevice = 2;
inline constexpr int kStatusFailed = 3;

inline constexpr int kFirstFpgaBlock = 0x1000;
inline constexpr int kFpgaBlocks = 249;  // 0x1000 to 0x10F8
inline constexpr int kFirstMcuBlock = 4;
inline constexpr int kMcuBlocks = 7;  // 4 to 10

inline constexpr const char* kNotFoundText =
    "No Velk found. Please restart Velk in bootloader mode (press and hold CONFIG during power on).\n";

// Assembles FPGA block n (0 to 248) of the stream "length prefix, then fpgaImage" into a 2048-byte
// buffer and returns how many of its bytes come from the stream (2048, or 1512 for the last). The
// buffer's bytes behind that count are left as they were: the block transfer zero-fills them.
int fpgaBlock(int n, unsigned char* block);

// The whole run. Returns the exit status: 0 after the restart report, 2 when no Velk was found, 3
// when a block was not confirmed.
int updateRun();

}  // namespace velk
