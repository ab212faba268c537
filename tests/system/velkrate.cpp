// velkrate: the raw report rate of the USB stack under the updater, through the same search,
// backend and report exchange, with none of the update protocol. It finds the Velk, then
//
//   velkrate write N   writes N reports, one after the other (the gadget only reads them);
//   velkrate echo N    writes N reports and reads each one back (the gadget echoes them);
//   velkrate read N    makes N reads that nothing answers, and times each (the bound: 3 x 2000 ms);
//   velkrate stall N   writes until the gadget (which reads nothing) stalls the pipe, then times N
//                      more writes (the bound: 3 x 200 ms each).
//
// It prints one line with the count, the time and the rate (or the shortest and longest call),
// and exits 0 when every report went through (for echo: came back unchanged; for read and stall:
// every call failed), 1 when not, 2 when there is no Velk.
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

// Times `count` calls that must all fail: reads (nothing answers) or writes (nothing reads).
int timeFailures(velk::DeviceHandle device, velk::Completion* completion, bool reads, long count) {
    unsigned char report[velk::kReportSize] = {};
    if (!reads) {
        // Fill the gadget's queue until the first write does not go through.
        int written = 0;
        while (written < 64 && velk::sendblock(device, report, completion) == 1) {
            ++written;
            report[1] = static_cast<unsigned char>(written);
        }
        std::printf("stall after=%d\n", written);
    }
    long ok = 0;
    double shortest = 1e12;
    double longest = 0;
    for (long i = 0; i < count; ++i) {
        const double start = nowMs();
        const int result = reads ? velk::getresult(device, report, completion)
                                 : velk::sendblock(device, report, completion);
        const double took = nowMs() - start;
        ok += result;
        if (took < shortest) shortest = took;
        if (took > longest) longest = took;
    }
    std::printf("rate mode=%s calls=%ld succeeded=%ld shortest_ms=%.1f longest_ms=%.1f\n",
                reads ? "read" : "stall", count, ok, shortest, longest);
    return ok == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const char* mode = argc == 3 ? argv[1] : "";
    const bool echo = std::strcmp(mode, "echo") == 0;
    const bool reads = std::strcmp(mode, "read") == 0;
    const bool stall = std::strcmp(mode, "stall") == 0;
    if (!echo && !reads && !stall && std::strcmp(mode, "write") != 0) {
        std::fprintf(stderr, "usage: velkrate write|echo|read|stall N\n");
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
    if (reads || stall) {
        const int status = timeFailures(device, &completion, reads, count);
        velk::completionClose(&completion);
        velk::hidClose(device);
        return status;
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
