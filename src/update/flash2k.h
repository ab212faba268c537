// The transfer of one block: its frame as 36 data reports, then one acknowledgement, up to four
// attempts.
#pragma once

#include "hid/platform.h"

namespace velk {

inline constexpr int kAttempts = 4;

// Sends `length` bytes of `source` (at most 2048; the rest of the block is zero) as block
// `blockNumber` and waits for the device to acknowledge it. Returns 1 and writes one "." when an
// attempt was acknowledged; returns 0 and writes nothing when four attempts failed, or when no
// completion could be made for the transfer.
int flash2k(DeviceHandle device, int blockNumber, const unsigned char* source, int length);

}  // namespace velk
