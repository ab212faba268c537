// velkgadget: the Velk in bootloader mode on the device side of a USB HID gadget (/dev/hidgN). It
// runs the simulated bootloader's logic on every output report that the gadget receives and writes
// its acknowledgements as input reports. The gadget's reports carry no report ID: 63 bytes each
// way, to which the bootloader's 64-byte layout adds the 0 in front.
//
//   velkgadget DEVICE velk       the bootloader
//   velkgadget DEVICE refuse N   the bootloader, acknowledging no block from run position N on
//                                (FPGA blocks are 0 to 248, MCU blocks 249 to 255)
//   velkgadget DEVICE deaf N     the bootloader, reading no output report after the N-th
//   velkgadget DEVICE echo       answers every output report with the same 63 bytes
//   velkgadget DEVICE count      reads and counts output reports, answers none (a decoy)
//
// It runs until SIGTERM or SIGINT, then prints one line of what it received and exits 0.
//
// It runs at a real-time priority, as a device's firmware answers in time: without an interrupt
// OUT endpoint the gadget takes each output report as SET_REPORT and keeps only the latest one
// until it is read, so a device side that is scheduled late loses reports that the host saw
// completed (a real device would hold the control transfer until it had taken the data).
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bootloader.h"
#include "update/images.h"

namespace {

constexpr int kWireReport = 63;

enum class Mode { velk, refuse, deaf, echo, count };

volatile sig_atomic_t stopping = 0;

void onStop(int) {
    stopping = 1;
}

velk::sim::Bootloader device;  // about half a megabyte: not on the stack

struct Seen {
    long reports = 0;
    long shortReports = 0;  // reads that delivered fewer than 63 bytes
    long acksWritten = 0;
    long ackWriteErrors = 0;
    int lastOrder = -1;  // the highest run position that a data report named
};

bool parseMode(int argc, char** argv, Mode* mode, long* number) {
    if (argc < 3) return false;
    const char* name = argv[2];
    const bool needsNumber = std::strcmp(name, "refuse") == 0 || std::strcmp(name, "deaf") == 0;
    if (needsNumber != (argc == 4) || argc > 4) return false;
    if (needsNumber) {
        char* end = nullptr;
        *number = std::strtol(argv[3], &end, 10);
        if (*end != '\0' || *number < 0) return false;
    }
    if (std::strcmp(name, "velk") == 0) *mode = Mode::velk;
    else if (std::strcmp(name, "refuse") == 0) *mode = Mode::refuse;
    else if (std::strcmp(name, "deaf") == 0) *mode = Mode::deaf;
    else if (std::strcmp(name, "echo") == 0) *mode = Mode::echo;
    else if (std::strcmp(name, "count") == 0) *mode = Mode::count;
    else return false;
    return true;
}

// Writes all 63 bytes of an input report; false when the gadget refused it.
bool writeReport(int fd, const unsigned char* data) {
    for (;;) {
        const ssize_t n = write(fd, data, kWireReport);
        if (n == kWireReport) return true;
        if (n < 0 && errno == EINTR && stopping == 0) continue;
        return false;
    }
}

void report(const char* mode, const Seen& seen) {
    std::printf("gadget mode=%s reports=%ld short=%ld data=%ld duplicates=%ld rejected=%ld "
                "frames=%ld badsums=%ld acked=%ld acksWritten=%ld ackErrors=%ld restarts=%ld "
                "afterRestart=%ld lastOrder=%d fpga=%s mcu=%s\n",
                mode, seen.reports, seen.shortReports, device.dataReports, device.duplicates,
                device.rejectedReports, device.framesReceived, device.badChecksums,
                device.acknowledged, seen.acksWritten, seen.ackWriteErrors, device.restarts,
                device.afterRestart, seen.lastOrder,
                velk::sim::fpgaMatches(device, velk::fpgaImage, velk::kFpgaImageSize) ? "match" : "differ",
                velk::sim::mcuMatches(device, velk::mcuImage, velk::kMcuImageSize) ? "match" : "differ");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    Mode mode = Mode::velk;
    long number = 0;
    if (!parseMode(argc, argv, &mode, &number)) {
        std::fprintf(stderr, "usage: velkgadget DEVICE velk|refuse N|deaf N|echo|count\n");
        return 64;
    }
    struct sigaction stop {};
    stop.sa_handler = onStop;  // no SA_RESTART: a blocked read or write returns
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);

    sched_param priority{};
    priority.sched_priority = 50;
    if (sched_setscheduler(0, SCHED_FIFO, &priority) != 0)
        std::fprintf(stderr, "velkgadget: no real-time priority: %s\n", std::strerror(errno));

    const int fd = open(argv[1], O_RDWR);
    if (fd < 0) {
        std::fprintf(stderr, "velkgadget: cannot open %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    if (mode == Mode::refuse) device.refuseFrom = static_cast<int>(number);

    Seen seen;
    unsigned char received[64];
    unsigned char ack[64];
    while (stopping == 0) {
        if (mode == Mode::deaf && seen.reports >= number) {
            pause();  // reads nothing more: the gadget's queue fills and the host's writes stall
            continue;
        }
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0) continue;
        std::memset(received, 0, sizeof received);
        const ssize_t n = read(fd, received + 1, kWireReport);
        if (n <= 0) continue;
        ++seen.reports;
        if (n != kWireReport) ++seen.shortReports;
        if (mode == Mode::count) continue;
        if (mode == Mode::echo) {
            if (writeReport(fd, received + 1)) ++seen.acksWritten;
            else ++seen.ackWriteErrors;
            continue;
        }
        if (received[1] == 0x46 && received[2] == 0x2A && received[3] != 0x47) {
            const int order = velk::sim::runOrder(received[3] | (received[4] << 8));
            if (order > seen.lastOrder) seen.lastOrder = order;
        }
        if (velk::sim::bootloaderReceive(device, received, ack)) {
            if (writeReport(fd, ack + 1)) ++seen.acksWritten;
            else ++seen.ackWriteErrors;
        }
    }
    static const char* const names[] = {"velk", "refuse", "deaf", "echo", "count"};
    report(names[static_cast<int>(mode)], seen);
    close(fd);
    return 0;
}
