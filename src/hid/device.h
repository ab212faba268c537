// The device search and the report exchange, written once above the platform seam.
#pragma once

#include <cstdint>

#include "platform.h"

namespace velk {

// Vendor ID, product ID and version number (0 = any) of the Velk in bootloader mode.
inline constexpr std::uint32_t kVelkVendorId = 0x5A17;
inline constexpr std::uint32_t kVelkProductId = 0x0005;
inline constexpr std::uint32_t kAnyVersion = 0;

// The device string that names the bootloader, and the room the search reads it into.
inline constexpr unsigned kIdentityStringIndex = 4;
inline constexpr unsigned kIdentityStringBytes = 8;

// Bounds of the report exchange: three tries, each one start and one wait.
inline constexpr int kTries = 3;
inline constexpr unsigned kWriteWaitMs = 200;
inline constexpr unsigned kReadWaitMs = 2000;

// Opens the first HID interface at or after *position that can be opened, and leaves in *position
// the place where it stopped: at the opened interface, at the end of the list, or at an interface
// whose path could not be had. Only the search calls it.
DeviceHandle connectToIthUSBHIDDevice(int* position);

// The first HID interface with this vendor ID, product ID and version (0 = any) whose string 4
// begins "FW"; kNoDevice when there is none. The caller closes it with hidClose.
DeviceHandle connectToUSBHIDDevice(std::uint32_t vendorId, std::uint32_t productId,
                                   std::uint32_t versionNumber);

// Writes one 64-byte report: 1 when a try completed within its 200 ms wait, else 0.
int sendblock(DeviceHandle device, const unsigned char* report, Completion* completion);

// Reads one 64-byte input report into the buffer: 1 when a try completed within its 2000 ms wait
// (the report is then in the buffer), else 0. The buffer is cleared before every try, so it never
// holds bytes that a read did not deliver.
int getresult(DeviceHandle device, unsigned char* buffer, Completion* completion);

}  // namespace velk
