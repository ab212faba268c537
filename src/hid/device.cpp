#include "device.h"

#include <cstdlib>
#include <cstring>

namespace velk {

DeviceHandle connectToIthUSBHIDDevice(int* position) {
    HidList* list = hidListBuild();
    HidEntry entry;
    for (;;) {
        if (!hidListEntry(list, *position, &entry)) {
            hidListRelease(list);
            return kNoDevice;
        }
        // A size that cannot be told, or a buffer that cannot be had, ends the search as a failed
        // path query does.
        const std::size_t size = hidListPathSize(list, &entry);
        void* detail = size != 0 ? std::malloc(size) : nullptr;
        const char* path = detail != nullptr ? hidListPath(list, &entry, detail, size) : nullptr;
        if (path == nullptr) {
            hidListRelease(list);
            std::free(detail);
            return kNoDevice;
        }
        DeviceHandle device = hidOpen(path);
        std::free(detail);
        if (device != kNoDevice) {
            hidListRelease(list);
            return device;
        }
        ++*position;
    }
}

namespace {

bool identityMatches(DeviceHandle device, const HidAttributes& attributes, std::uint32_t vendorId,
                     std::uint32_t productId, std::uint32_t versionNumber) {
    if (attributes.vendorId != vendorId) return false;
    if (attributes.productId != productId) return false;
    if (versionNumber != kAnyVersion && attributes.versionNumber != versionNumber) return false;
    unsigned char text[kIdentityStringBytes] = {};
    if (!hidIndexedString(device, kIdentityStringIndex, text, sizeof text)) return false;
    // The low bytes of the first two UTF-16LE code units: "F", "W".
    return text[0] == 0x46 && text[2] == 0x57;
}

}  // namespace

DeviceHandle connectToUSBHIDDevice(std::uint32_t vendorId, std::uint32_t productId,
                                   std::uint32_t versionNumber) {
    int position = 0;
    for (;;) {
        DeviceHandle device = connectToIthUSBHIDDevice(&position);
        if (device == kNoDevice) return kNoDevice;
        HidAttributes attributes{};
        if (!hidAttributes(device, &attributes)) {
            hidClose(device);
            return kNoDevice;
        }
        if (identityMatches(device, attributes, vendorId, productId, versionNumber)) return device;
        hidClose(device);
        ++position;
    }
}

namespace {

// One try's end: a completed transfer is the only success. A transfer whose wait ran out is ended
// before the caller's buffer or completion serves anything else.
bool finished(DeviceHandle device, Completion* completion, unsigned milliseconds) {
    switch (hidWait(device, completion, milliseconds)) {
        case WaitResult::completed:
            return true;
        case WaitResult::failed:
            return false;
        case WaitResult::timedOut:
            hidEnd(device, completion);
            return false;
    }
    return false;
}

}  // namespace

int sendblock(DeviceHandle device, const unsigned char* report, Completion* completion) {
    for (int t = 0; t < kTries; ++t) {
        if (hidStartWrite(device, report, completion) == TransferStart::failed) continue;
        if (finished(device, completion, kWriteWaitMs)) return 1;
    }
    return 0;
}

int getresult(DeviceHandle device, unsigned char* buffer, Completion* completion) {
    for (int t = 0; t < kTries; ++t) {
        std::memset(buffer, 0, kReportSize);
        if (hidStartRead(device, buffer, completion) == TransferStart::failed) continue;
        if (finished(device, completion, kReadWaitMs)) return 1;
    }
    std::memset(buffer, 0, kReportSize);
    return 0;
}

}  // namespace velk
