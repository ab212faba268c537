#include "run.h"

#include <cstring>

#include "flash2k.h"
#include "hid/device.h"
#include "images.h"
#include "output.h"
#include "protocol.h"

namespace velk {

namespace {

// The stream opens with the image's length, most significant byte first: 00 07 C5 E4.
constexpr std::size_t kPrefixSize = 4;
constexpr unsigned char kLengthPrefix[kPrefixSize] = {
    static_cast<unsigned char>(kFpgaImageSize >> 24), static_cast<unsigned char>(kFpgaImageSize >> 16),
    static_cast<unsigned char>(kFpgaImageSize >> 8), static_cast<unsigned char>(kFpgaImageSize)};

void restart(DeviceHandle device) {
    unsigned char report[kReportSize];
    buildRestartReport(report);
    Completion completion;
    if (!completionOpen(&completion)) return;
    sendblock(device, report, &completion);  // not written or not, the run is done
    completionClose(&completion);
}

}  // namespace

int fpgaBlock(int n, unsigned char* block) {
    if (n == 0) {
        std::memcpy(block, kLengthPrefix, kPrefixSize);
        std::memcpy(block + kPrefixSize, fpgaImage, kBlockSize - kPrefixSize);
        return static_cast<int>(kBlockSize);
    }
    const std::size_t start = (kBlockSize - kPrefixSize) + kBlockSize * static_cast<std::size_t>(n - 1);
    if (start >= kFpgaImageSize) return 0;
    const std::size_t left = kFpgaImageSize - start;
    const std::size_t count = left < kBlockSize ? left : kBlockSize;
    std::memcpy(block, fpgaImage + start, count);
    return static_cast<int>(count);
}

int updateRun() {
    DeviceHandle device = connectToUSBHIDDevice(kVelkVendorId, kVelkProductId, kAnyVersion);
    if (device == kNoDevice) {
        say(kNotFoundText);
        return kStatusNoDevice;
    }

    // The device handle is closed on every way out, so a device-side handle (a claimed USB
    // interface) is given back whatever the outcome.
    say("Updating FPGA.");
    unsigned char block[kBlockSize];
    for (int n = 0; n < kFpgaBlocks; ++n) {
        const int length = fpgaBlock(n, block);
        if (flash2k(device, kFirstFpgaBlock + n, block, length) == 0) {
            say(" failed.\n");
            hidClose(device);
            return kStatusFailed;
        }
    }
    say(" done.\n");

    say("Updating MCU.");
    for (int n = 0; n < kMcuBlocks; ++n) {
        if (flash2k(device, kFirstMcuBlock + n, mcuImage + kBlockSize * static_cast<std::size_t>(n),
                    static_cast<int>(kBlockSize)) == 0) {
            say(" failed.\n");
            hidClose(device);
            return kStatusFailed;
        }
    }
    say(" done.\n");

    say("Restarting...\n");
    restart(device);
    hidClose(device);
    return kStatusDone;
}

}  // namespace velk
