// The Win32 backend of the platform seam: SetupAPI lists the HID interfaces, hid.dll tells their
// identity, and the device handle is a file handle opened for overlapped reading and writing, each
// report one overlapped WriteFile or ReadFile awaited on the completion's event.
//
// The seam's handles are the platform's own, cast: a DeviceHandle is the HANDLE of the interface
// (INVALID_HANDLE_VALUE becomes kNoDevice), a HidList* the HDEVINFO of the device information set.
// The interface record of a list position lives in HidEntry's storage, the OVERLAPPED of a
// completion in Completion's.

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // CancelIoEx
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <windows.h>

#include <setupapi.h>
extern "C" {  // hid.dll's header declares its functions without C linkage
#include <hidsdi.h>
}

#include <cstddef>
#include <new>

#include "platform.h"

namespace velk {

static_assert(sizeof(HANDLE) == sizeof(DeviceHandle));
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) <= sizeof(HidEntry::record) &&
              alignof(SP_DEVICE_INTERFACE_DATA) <= alignof(HidEntry));
static_assert(sizeof(OVERLAPPED) <= sizeof(Completion::record) &&
              alignof(OVERLAPPED) <= alignof(Completion));

// SetupAPI checks both records' cbSize against its own idea of their size. On 32-bit Windows its
// records are byte-packed: the interface record is 28 bytes, and the detail record's fixed part
// is its 4-byte cbSize and one character of the path, 5 bytes. The 64-bit records are 32 and 8.
#if !defined(_WIN64)
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28);
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) == 4);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5);
#else
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8);
#endif

namespace {

constexpr DWORD kReportBytes = static_cast<DWORD>(kReportSize);

HANDLE handleOf(DeviceHandle device) {
    return device != kNoDevice ? static_cast<HANDLE>(device) : INVALID_HANDLE_VALUE;
}

HDEVINFO setOf(HidList* list) {
    return static_cast<HDEVINFO>(list);
}

SP_DEVICE_INTERFACE_DATA* interfaceOf(HidEntry* entry) {
    return std::launder(reinterpret_cast<SP_DEVICE_INTERFACE_DATA*>(entry->record));
}

OVERLAPPED* overlappedOf(Completion* completion) {
    return std::launder(reinterpret_cast<OVERLAPPED*>(completion->record));
}

}  // namespace

// 1. The list of the HID interfaces of present devices.

HidList* hidListBuild() {
    GUID hidClass;
    HidD_GetHidGuid(&hidClass);
    HDEVINFO set = SetupDiGetClassDevsA(&hidClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    return set != INVALID_HANDLE_VALUE ? static_cast<HidList*>(set) : nullptr;
}

bool hidListEntry(HidList* list, int position, HidEntry* entry) {
    if (list == nullptr || position < 0) return false;
    GUID hidClass;
    HidD_GetHidGuid(&hidClass);
    SP_DEVICE_INTERFACE_DATA* data = new (entry->record) SP_DEVICE_INTERFACE_DATA{};
    data->cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    return SetupDiEnumDeviceInterfaces(setOf(list), nullptr, &hidClass, static_cast<DWORD>(position), data) != FALSE;
}

// The size query fails by design (ERROR_INSUFFICIENT_BUFFER) and tells the size on the way.
std::size_t hidListPathSize(HidList* list, HidEntry* entry) {
    if (list == nullptr) return 0;
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(setOf(list), interfaceOf(entry), nullptr, 0, &required, nullptr);
    return required;
}

const char* hidListPath(HidList* list, HidEntry* entry, void* buffer, std::size_t size) {
    if (list == nullptr || size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return nullptr;
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);  // the fixed part, not the buffer
    DWORD required = 0;
    if (!SetupDiGetDeviceInterfaceDetailA(setOf(list), interfaceOf(entry), detail, static_cast<DWORD>(size),
                                          &required, nullptr)) {
        return nullptr;
    }
    return detail->DevicePath;
}

void hidListRelease(HidList* list) {
    if (list != nullptr) SetupDiDestroyDeviceInfoList(setOf(list));
}

// 2 to 5. One interface.

DeviceHandle hidOpen(const char* path) {
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    return h != INVALID_HANDLE_VALUE ? static_cast<DeviceHandle>(h) : kNoDevice;
}

bool hidAttributes(DeviceHandle device, HidAttributes* attributes) {
    HIDD_ATTRIBUTES a{};
    a.Size = sizeof a;
    if (!HidD_GetAttributes(handleOf(device), &a)) return false;
    attributes->vendorId = a.VendorID;
    attributes->productId = a.ProductID;
    attributes->versionNumber = a.VersionNumber;
    return true;
}

bool hidIndexedString(DeviceHandle device, unsigned index, void* buffer, unsigned long length) {
    return HidD_GetIndexedString(handleOf(device), index, buffer, length) != FALSE;
}

void hidClose(DeviceHandle device) {
    if (device != kNoDevice) CloseHandle(handleOf(device));
}

// 6. Completions and transfers.

bool completionOpen(Completion* completion) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);  // manual reset, not signalled, unnamed
    if (event == nullptr) return false;
    OVERLAPPED* ol = new (completion->record) OVERLAPPED{};
    ol->hEvent = event;
    completion->event = event;
    return true;
}

void completionClose(Completion* completion) {
    if (completion->event != nullptr) CloseHandle(static_cast<HANDLE>(completion->event));
    completion->event = nullptr;
}

namespace {

// A transfer that started, whether it is still under way or already done, will signal the event;
// one refused at once leaves nothing pending. WriteFile and ReadFile reset the event themselves
// when they start. The byte count is taken from GetOverlappedResult, never from the start.
TransferStart started(BOOL ok) {
    return ok || GetLastError() == ERROR_IO_PENDING ? TransferStart::pending : TransferStart::failed;
}

}  // namespace

TransferStart hidStartWrite(DeviceHandle device, const unsigned char* report, Completion* completion) {
    return started(WriteFile(handleOf(device), report, kReportBytes, nullptr, overlappedOf(completion)));
}

TransferStart hidStartRead(DeviceHandle device, unsigned char* report, Completion* completion) {
    return started(ReadFile(handleOf(device), report, kReportBytes, nullptr, overlappedOf(completion)));
}

// 7. Waiting.

WaitResult hidWait(DeviceHandle device, Completion* completion, unsigned milliseconds) {
    if (WaitForSingleObject(static_cast<HANDLE>(completion->event), milliseconds) != WAIT_OBJECT_0) {
        return WaitResult::timedOut;
    }
    DWORD moved = 0;
    if (GetOverlappedResult(handleOf(device), overlappedOf(completion), &moved, FALSE)) {
        return moved == kReportBytes ? WaitResult::completed : WaitResult::failed;
    }
    // An event signalled while the transfer is still under way leaves it pending: it is ended like
    // one whose wait ran out.
    return GetLastError() == ERROR_IO_INCOMPLETE ? WaitResult::timedOut : WaitResult::failed;
}

// Once GetOverlappedResult has waited for the end, cancelled or completed after all, the platform
// no longer touches the buffer, the OVERLAPPED or the event.
void hidEnd(DeviceHandle device, Completion* completion) {
    HANDLE h = handleOf(device);
    OVERLAPPED* ol = overlappedOf(completion);
    CancelIoEx(h, ol);
    DWORD moved = 0;
    GetOverlappedResult(h, ol, &moved, TRUE);
}

}  // namespace velk
