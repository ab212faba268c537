// velkrate: the raw report rate of the USB stack under the updater, through the same search,
// backend and report exchange, with none of the update protocol. It finds the Velk, then
//
//   velkrate write N   writes N reports, one after the other (the gadget only reads them);
//   velkrate echo N    writes N reports and reads each one back (the gadget echoes them).
//
// It prints one line with the count, the time and the rate, and exits 0 when every report went
// through (and, for echo, came back unchanged), 1 when one did not, 2 when there is no Velk.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hid/device.h"

namespace {

double nowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    const bool echo = argc == 3 && std::strcmp(argv[1], "echo") == 0;
    if (argc != 3 || (!echo && std::strcmp(argv[1], "write") != 0)) {
        std::fprintf(stderr, "usage: velkrate write|echo N\n");
        return 64;
    }
    const long count = std::strtol(argv[2], nullptr, 10);
    velk::DeviceHandle device =
        velk::connectToUSBHIDDevice(velk::kVelkVendorId, velk::kVelkProductId, velk::kAnyVersion);
    if (device == velk::kNoDevice) {
        std::printf("rate no Velk\n");
        return 2;
    }
    velk::Completion completion;
    if (!velk::completionOpen(&completion)) {
        velk::hidClose(device);
        return 1;
    }
    unsigned char out[velk::kReportSize] = {};
    unsigned char in[velk::kReportSize] = {};
    long done = 0;
    long wrong = 0;
    const double start = nowMs();
    for (long i = 0; i < count; ++i) {
        // Every report differs from the one before: a lost or repeated echo shows.
        for (std::size_t b = 1; b < velk::kReportSize; ++b)
            out[b] = static_cast<unsigned char>(i * 7 + static_cast<long>(b));
        if (velk::sendblock(device, out, &completion) == 0) break;
        if (echo) {
            if (velk::getresult(device, in, &completion) == 0) break;
            if (std::memcmp(in, out, velk::kReportSize) != 0) ++wrong;
        }
        ++done;
    }
    const double elapsed = nowMs() - start;
    velk::completionClose(&completion);
    velk::hidClose(device);
    const double transfers = static_cast<double>(done) * (echo ? 2.0 : 1.0);
    std::printf("rate mode=%s reports=%ld of=%ld wrong=%ld ms=%.1f transfers_per_s=%.0f\n",
                echo ? "echo" : "write", done, count, wrong, elapsed,
                elapsed > 0 ? transfers * 1000.0 / elapsed : 0.0);
    return done == count && wrong == 0 ? 0 : 1;
}
