// velksim: the update run against the simulated Velk, in this process. Standard output is exactly
// what the updater prints and the exit status is the run's; a summary of what the device received
// follows on standard error.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim.h"
#include "update/images.h"
#include "update/output.h"
#include "update/run.h"

namespace {

const char kUsage[] =
    "usage: velksim [--no-device] [--fail-block N] [--pace-us U] [--trace FILE] [--help]\n"
    "Runs the Velk update against a simulated Velk in bootloader mode.\n"
    "  --no-device     no Velk is present\n"
    "  --fail-block N  the Velk acknowledges the blocks before block N (decimal or 0x-hex) in the\n"
    "                  run's order, and none from it on\n"
    "  --pace-us U     real time: the Velk takes U microseconds per report and every wait lasts\n"
    "                  as long as it says (without it, time is virtual and a run ends at once)\n"
    "  --trace FILE    write every report in wire order: \"W \" (written) or \"R \" (read) and the\n"
    "                  64 bytes as hex, one per line\n";

bool number(const char* text, long* value) {
    if (text == nullptr || *text == '\0') return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 0);
    if (errno != 0 || *end != '\0' || v < 0) return false;
    *value = v;
    return true;
}

int usageError(const char* what, const char* arg) {
    std::fprintf(stderr, "velksim: %s%s%s\n%s", what, arg != nullptr ? ": " : "", arg != nullptr ? arg : "",
                 kUsage);
    return 1;
}

const char* yesNo(bool b) {
    return b ? "yes" : "no";
}

}  // namespace

int main(int argc, char** argv) {
    velk::sim::World world;
    bool device = true;
    const char* tracePath = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        long v = 0;
        if (std::strcmp(a, "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (std::strcmp(a, "--no-device") == 0) {
            device = false;
        } else if (std::strcmp(a, "--fail-block") == 0) {
            if (!number(i + 1 < argc ? argv[++i] : nullptr, &v) || velk::sim::runOrder(static_cast<int>(v)) < 0)
                return usageError("--fail-block takes a block number of the run (0x1000 to 0x10f8, 4 to 10)",
                                  argv[i]);
            world.refuseFrom = velk::sim::runOrder(static_cast<int>(v));
        } else if (std::strcmp(a, "--pace-us") == 0) {
            if (!number(i + 1 < argc ? argv[++i] : nullptr, &v) || v > 10'000'000)
                return usageError("--pace-us takes microseconds from 0 to 10000000", argv[i]);
            world.paceUs = v;
            world.realTime = true;
        } else if (std::strcmp(a, "--trace") == 0) {
            if (i + 1 >= argc) return usageError("--trace takes a file name", nullptr);
            tracePath = argv[++i];
        } else {
            return usageError("unknown option", a);
        }
    }

    if (tracePath != nullptr) {
        world.trace = std::fopen(tracePath, "w");
        if (world.trace == nullptr) {
            std::fprintf(stderr, "velksim: cannot write %s: %s\n", tracePath, std::strerror(errno));
            return 1;
        }
    }
    if (device) world.interfaces.push_back(velk::sim::velkInterface());
    world.logCalls = false;
    velk::sim::simStart(world);

    velk::outputStart();
    const int status = velk::updateRun();
    std::fflush(stdout);

    if (world.trace != nullptr) std::fclose(world.trace);
    const velk::sim::State& s = velk::sim::simState();
    const velk::sim::Bootloader& d = s.device;
    if (!device) {
        std::fprintf(stderr, "device: none present\n");
    } else {
        std::fprintf(stderr, "device: %ld reports received, %ld blocks received, %ld acknowledged\n",
                     d.reports, d.framesReceived, d.acknowledged);
        std::fprintf(stderr, "device: FPGA stream equals the embedded image: %s\n",
                     yesNo(velk::sim::fpgaMatches(d, velk::fpgaImage, velk::kFpgaImageSize)));
        std::fprintf(stderr, "device: MCU image equals the embedded image: %s\n",
                     yesNo(velk::sim::mcuMatches(d, velk::mcuImage, velk::kMcuImageSize)));
        std::fprintf(stderr, "device: restart report received: %s\n", yesNo(d.restarts > 0));
    }
    std::fprintf(stderr, "device: simulated time %lld.%03lld s\n", s.nowUs / 1'000'000, (s.nowUs / 1000) % 1000);
    return status;
}
