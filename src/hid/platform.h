// The platform seam: the few services the device search and the report exchange need of a
// platform. Each backend (Win32, libusb, the simulated Velk) defines every function below in one
// source file of its own; the build links exactly one of them. Nothing above this seam knows which.
//
// The services:
//   1. list the HID interfaces present, by position from 0, with a path for each
//      (hidListBuild, hidListEntry, hidListPathSize, hidListPath, hidListRelease);
//   2. open an interface by its path (hidOpen);
//   3. read its vendor ID, product ID and version number (hidAttributes);
//   4. read the device string with a given index as UTF-16LE (hidIndexedString);
//   5. close it (hidClose);
//   6. start the transfer of one 64-byte report, signalled on a completion (hidStartWrite,
//      hidStartRead), with the completion made and released by completionOpen and completionClose;
//   7. wait for a completion with a bound in milliseconds (hidWait), and end a transfer whose
//      wait ran out (hidEnd).
#pragma once

#include <cstddef>
#include <cstdint>

namespace velk {

// One report on the wire as callers see it: byte 0 is the report ID (always 0 for the Velk) and
// bytes 1 to 63 its data. A backend whose stack strips or adds the ID byte makes up for it.
inline constexpr std::size_t kReportSize = 64;

// An opened HID interface. Each backend defines the record behind the pointer (or casts its own
// handle to it); kNoDevice stands for "no device".
struct HidDevice;
using DeviceHandle = HidDevice*;
inline constexpr DeviceHandle kNoDevice = nullptr;

// A list of the HID interfaces present, built afresh by each hidListBuild.
struct HidList;

// The record of one position in a list, filled by hidListEntry and read by the path queries.
// Storage only: the backend keeps its own record inside it.
struct HidEntry {
    alignas(8) unsigned char record[64];
};

// The completion of one transfer at a time: the platform's completion record (an OVERLAPPED on
// Windows) and its event. Made by whoever starts a block transfer or the restart report, handed to
// every transfer of it, and released by the same code. Storage only, as for HidEntry.
struct Completion {
    alignas(8) unsigned char record[64];
    void* event;
};

struct HidAttributes {
    std::uint16_t vendorId;
    std::uint16_t productId;
    std::uint16_t versionNumber;
};

enum class TransferStart {
    pending,  // started; its completion will be signalled (possibly already)
    failed,   // refused at once: nothing is pending
};

enum class WaitResult {
    completed,  // signalled within the bound, with every byte of the report moved
    failed,     // signalled within the bound, but the transfer ended with an error or short
    timedOut,   // not signalled within the bound (or the wait itself failed); still pending
};

// 1. The list. hidListBuild may return nullptr when no list can be made; every other list call
// then behaves as for an empty list, and hidListRelease accepts it.
HidList* hidListBuild();
// Is there an interface at this position? Fills the entry for the path queries.
bool hidListEntry(HidList* list, int position, HidEntry* entry);
// The size of the buffer that hidListPath needs for this entry, in bytes; 0 when none can be told.
std::size_t hidListPathSize(HidList* list, HidEntry* entry);
// Fills the caller's buffer (of hidListPathSize bytes) and returns the NUL-terminated path inside
// it, or nullptr when the query failed.
const char* hidListPath(HidList* list, HidEntry* entry, void* buffer, std::size_t size);
void hidListRelease(HidList* list);

// 2 to 5. One interface.
DeviceHandle hidOpen(const char* path);
bool hidAttributes(DeviceHandle device, HidAttributes* attributes);
bool hidIndexedString(DeviceHandle device, unsigned index, void* buffer, unsigned long length);
void hidClose(DeviceHandle device);

// 6. Completions and transfers. completionOpen returns false when no completion can be made (the
// completion then needs no completionClose). A transfer names the report buffer, which must stay
// untouched until hidWait has returned completed or failed, or hidEnd has returned.
bool completionOpen(Completion* completion);
void completionClose(Completion* completion);
TransferStart hidStartWrite(DeviceHandle device, const unsigned char* report, Completion* completion);
TransferStart hidStartRead(DeviceHandle device, unsigned char* report, Completion* completion);

// 7. Waiting. hidWait waits at most `milliseconds` for the transfer on the completion. hidEnd ends a
// transfer whose wait timed out: it cancels it and returns only once the platform will no longer
// touch the buffer, the completion record or the event.
WaitResult hidWait(DeviceHandle device, Completion* completion, unsigned milliseconds);
void hidEnd(DeviceHandle device, Completion* completion);

}  // namespace velk
