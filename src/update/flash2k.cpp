#include "flash2k.h"

#include "hid/device.h"
#include "output.h"
#include "protocol.h"

namespace velk {

namespace {

// One attempt: the whole frame from chunk 0, then one acknowledgement read.
bool attempt(DeviceHandle device, int blockNumber, const unsigned char* frame,
             unsigned char* report, unsigned char* response, Completion* completion) {
    for (int chunk = 0; chunk < kChunks; ++chunk) {
        putChunk(report, frame, chunk);
        if (sendblock(device, report, completion) == 0) return false;
    }
    return getresult(device, response, completion) == 1 && acknowledges(response, blockNumber);
}

}  // namespace

int flash2k(DeviceHandle device, int blockNumber, const unsigned char* source, int length) {
    Completion completion;
    if (!completionOpen(&completion)) return 0;

    unsigned char frame[kFrameSize];
    unsigned char report[kReportSize];
    unsigned char response[kReportSize];
    buildFrame(frame, source, length > 0 ? static_cast<std::size_t>(length) : 0);
    buildDataHeader(report, blockNumber);

    int confirmed = 0;
    for (int a = 0; a < kAttempts && confirmed == 0; ++a) {
        if (attempt(device, blockNumber, frame, report, response, &completion)) {
            say(".");
            confirmed = 1;
        }
    }
    completionClose(&completion);
    return confirmed;
}

}  // namespace velk
