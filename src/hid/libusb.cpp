// The Linux backend of the platform seam, on libusb-1.0.
//
// Why not hidraw: a hidraw write is synchronous with a fixed kernel time-out of 5 s, so the 200 ms
// bound of a write cannot be kept there, and hidraw cannot read an arbitrary string descriptor.
// libusb's asynchronous transfers can be submitted, awaited with an exact bound, and cancelled.
//
// The list holds the HID interfaces (interface class 3) of the USB devices present, one position
// per interface, ordered by bus, port path and interface number. A path names one of them as
// "usb:BUS-PORT.PORT...:INTERFACE". Opening an interface opens its USB device without claiming
// anything, so reading the identity of a device that is not the Velk leaves its driver alone; the
// interface is claimed (its kernel driver detached, and attached again when the handle is closed)
// only by the first transfer, which the search makes on the Velk alone.
//
// Reports: the Velk uses no report IDs, so the 64-byte report of the callers (byte 0 the ID, 0)
// travels as its 63 data bytes, and a 63-byte input report is read in behind a 0. Output reports go
// to the interrupt OUT endpoint, or as SET_REPORT(Output) on the control pipe when the interface
// has none; input reports come from the interrupt IN endpoint.
//
// Resources: the libusb context is made by the first list or device and ended with the last one.
// Lists and devices are records in small static pools. Each opened device carries one preallocated
// libusb transfer (made when the device is opened, freed when it is closed), which serves every
// report on it: a completion holds only the state that the transfer's callback writes, so the
// report path itself allocates nothing. A machine where libusb cannot start has no HID interfaces.
#include <libusb.h>
#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <cstring>

#include "hid/platform.h"

namespace {

constexpr int kHidClass = 3;
constexpr int kMaxPorts = 7;      // the depth of a USB tree below its root hub
constexpr int kWireReport = 63;   // a report without its ID byte
constexpr int kListRoom = 128;    // HID interfaces one list can hold
constexpr int kStringRoom = 255;  // the largest string descriptor

// Where an interface sits: its bus, the port numbers from the root hub down, its number.
struct Place {
    std::uint8_t bus;
    std::uint8_t depth;
    std::uint8_t ports[kMaxPorts];
    std::uint8_t interface;
};

// What the transfer callback leaves in a completion.
struct CompletionState {
    int done;      // 1 once the callback ran, or when nothing is pending
    int status;    // libusb_transfer_status
    int actual;    // bytes moved (data stage only, for a control transfer)
    int expected;  // bytes the transfer must move to count as completed
};
static_assert(sizeof(CompletionState) <= sizeof(velk::Completion::record));
static_assert(alignof(CompletionState) <= alignof(velk::Completion));
static_assert(sizeof(Place) <= sizeof(velk::HidEntry::record));
static_assert(alignof(Place) <= alignof(velk::HidEntry));

}  // namespace

namespace velk {

struct HidList {
    bool used;
    int count;
    Place places[kListRoom];
};

struct HidDevice {
    bool used;
    libusb_device_handle* handle;
    libusb_transfer* transfer;  // the device's one transfer, reused by every report
    bool busy;                  // the transfer is submitted and its callback has not run
    bool claimed;
    int interface;
    unsigned char inEndpoint;
    unsigned char outEndpoint;  // 0: none, output reports go as SET_REPORT
    // The setup packet and data of a SET_REPORT must lie together.
    unsigned char control[LIBUSB_CONTROL_SETUP_SIZE + kWireReport];
};

}  // namespace velk

namespace {

using velk::HidDevice;
using velk::HidList;

constexpr int kLists = 2;
constexpr int kDevices = 4;
HidList lists[kLists];
HidDevice devices[kDevices];

// The first record of a pool that is not in use, or nullptr when all are.
template <typename Record, std::size_t N>
Record* unused(Record (&pool)[N]) {
    for (Record& r : pool)
        if (!r.used) return &r;
    return nullptr;
}

libusb_context* context = nullptr;
int contextUsers = 0;

bool contextAcquire() {
    if (contextUsers == 0) {
        if (libusb_init(&context) != 0) {
            context = nullptr;
            return false;
        }
        libusb_set_option(context, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_NONE);
    }
    ++contextUsers;
    return true;
}

void contextRelease() {
    if (--contextUsers == 0) {
        libusb_exit(context);
        context = nullptr;
    }
}

// Orders places by bus, then port path (a hub before the devices below it), then interface.
bool placeBefore(const Place& a, const Place& b) {
    if (a.bus != b.bus) return a.bus < b.bus;
    for (int i = 0; i < a.depth && i < b.depth; ++i)
        if (a.ports[i] != b.ports[i]) return a.ports[i] < b.ports[i];
    if (a.depth != b.depth) return a.depth < b.depth;
    return a.interface < b.interface;
}

bool samePlace(libusb_device* device, const Place& place) {
    std::uint8_t ports[kMaxPorts];
    const int depth = libusb_get_port_numbers(device, ports, kMaxPorts);
    return libusb_get_bus_number(device) == place.bus && depth == place.depth &&
           std::memcmp(ports, place.ports, static_cast<std::size_t>(depth)) == 0;
}

// The HID interface with this number in the device's active configuration, or nullptr.
const libusb_interface_descriptor* hidInterface(const libusb_config_descriptor* config,
                                                int number) {
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& interface = config->interface[i];
        if (interface.num_altsetting < 1) continue;
        const libusb_interface_descriptor* setting = &interface.altsetting[0];
        if (setting->bInterfaceClass == kHidClass && setting->bInterfaceNumber == number)
            return setting;
    }
    return nullptr;
}

// Writes the path of a place, "usb:1-2.3:0", into `out` (room for `size` bytes, NUL included) and
// returns its length without the NUL; with too little room (or none) it writes what fits and
// still returns the whole length.
std::size_t formatPath(const Place& place, char* out, std::size_t size) {
    std::size_t n = 0;
    auto put = [&](char c) {
        if (n + 1 < size) out[n] = c;
        ++n;
    };
    auto number = [&](unsigned value) {
        char digits[3];
        int count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (count > 0) put(digits[--count]);
    };
    for (const char* p = "usb:"; *p != '\0'; ++p) put(*p);
    number(place.bus);
    put('-');
    for (int i = 0; i < place.depth; ++i) {
        if (i > 0) put('.');
        number(place.ports[i]);
    }
    put(':');
    number(place.interface);
    if (size > 0) out[n < size ? n : size - 1] = '\0';
    return n;
}

// Reads a decimal number of at most 255 at *p and moves past it.
bool parseNumber(const char*& p, std::uint8_t* value) {
    if (*p < '0' || *p > '9') return false;
    unsigned v = 0;
    while (*p >= '0' && *p <= '9') {
        v = v * 10 + static_cast<unsigned>(*p - '0');
        if (v > 255) return false;
        ++p;
    }
    *value = static_cast<std::uint8_t>(v);
    return true;
}

bool parsePath(const char* path, Place* place) {
    *place = Place{};
    if (std::strncmp(path, "usb:", 4) != 0) return false;
    const char* p = path + 4;
    if (!parseNumber(p, &place->bus) || *p++ != '-') return false;
    if (*p != ':') {
        for (;;) {
            if (place->depth == kMaxPorts || !parseNumber(p, &place->ports[place->depth])) return false;
            ++place->depth;
            if (*p != '.') break;
            ++p;
        }
    }
    if (*p++ != ':') return false;
    return parseNumber(p, &place->interface) && *p == '\0';
}

CompletionState* stateOf(velk::Completion* completion) {
    return reinterpret_cast<CompletionState*>(completion->record);
}

void LIBUSB_CALL transferDone(libusb_transfer* transfer) {
    auto* state = static_cast<CompletionState*>(transfer->user_data);
    state->status = transfer->status;
    state->actual = transfer->actual_length;
    state->done = 1;
}

// Claims the device's interface on its first transfer. The kernel driver is detached with the
// claim and attached again when the interface is released.
bool claim(HidDevice* device) {
    if (device->claimed) return true;
    libusb_set_auto_detach_kernel_driver(device->handle, 1);
    if (libusb_claim_interface(device->handle, device->interface) != 0) return false;
    device->claimed = true;
    return true;
}

velk::TransferStart submit(HidDevice* device, CompletionState* state) {
    state->done = 0;
    state->status = LIBUSB_TRANSFER_ERROR;
    state->actual = 0;
    state->expected = kWireReport;
    if (libusb_submit_transfer(device->transfer) != 0) {
        state->done = 1;
        return velk::TransferStart::failed;
    }
    device->busy = true;
    return velk::TransferStart::pending;
}

bool usable(HidDevice* device) {
    return device != nullptr && device->used && !device->busy && claim(device);
}

// Microseconds on the monotonic clock.
std::int64_t nowUs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

}  // namespace

namespace velk {

HidList* hidListBuild() {
    HidList* list = unused(lists);
    if (list == nullptr || !contextAcquire()) return nullptr;
    list->used = true;
    list->count = 0;

    libusb_device** present = nullptr;
    const ssize_t count = libusb_get_device_list(context, &present);
    for (ssize_t d = 0; d < count; ++d) {
        libusb_config_descriptor* config = nullptr;
        if (libusb_get_active_config_descriptor(present[d], &config) != 0) continue;
        Place place{};
        place.bus = libusb_get_bus_number(present[d]);
        const int depth = libusb_get_port_numbers(present[d], place.ports, kMaxPorts);
        place.depth = static_cast<std::uint8_t>(depth > 0 ? depth : 0);
        for (int i = 0; i < config->bNumInterfaces && list->count < kListRoom; ++i) {
            const libusb_interface& interface = config->interface[i];
            if (interface.num_altsetting < 1 || interface.altsetting[0].bInterfaceClass != kHidClass)
                continue;
            place.interface = interface.altsetting[0].bInterfaceNumber;
            // Insert in order.
            int at = list->count++;
            while (at > 0 && placeBefore(place, list->places[at - 1])) {
                list->places[at] = list->places[at - 1];
                --at;
            }
            list->places[at] = place;
        }
        libusb_free_config_descriptor(config);
    }
    if (count >= 0) libusb_free_device_list(present, 1);
    return list;
}

bool hidListEntry(HidList* list, int position, HidEntry* entry) {
    if (list == nullptr || position < 0 || position >= list->count) return false;
    std::memcpy(entry->record, &list->places[position], sizeof(Place));
    return true;
}

std::size_t hidListPathSize(HidList* list, HidEntry* entry) {
    if (list == nullptr) return 0;
    Place place;
    std::memcpy(&place, entry->record, sizeof place);
    return formatPath(place, nullptr, 0) + 1;
}

const char* hidListPath(HidList* list, HidEntry* entry, void* buffer, std::size_t size) {
    if (list == nullptr || buffer == nullptr) return nullptr;
    Place place;
    std::memcpy(&place, entry->record, sizeof place);
    char* out = static_cast<char*>(buffer);
    if (formatPath(place, out, size) + 1 > size) return nullptr;
    return out;
}

void hidListRelease(HidList* list) {
    if (list == nullptr) return;
    list->used = false;
    contextRelease();
}

DeviceHandle hidOpen(const char* path) {
    Place place;
    if (path == nullptr || !parsePath(path, &place)) return kNoDevice;
    HidDevice* device = unused(devices);
    if (device == nullptr || !contextAcquire()) return kNoDevice;

    libusb_device** present = nullptr;
    const ssize_t count = libusb_get_device_list(context, &present);
    libusb_device_handle* handle = nullptr;
    int in = -1;
    int out = 0;
    for (ssize_t d = 0; d < count && handle == nullptr; ++d) {
        if (!samePlace(present[d], place)) continue;
        libusb_config_descriptor* config = nullptr;
        if (libusb_get_active_config_descriptor(present[d], &config) != 0) break;
        if (const libusb_interface_descriptor* setting = hidInterface(config, place.interface)) {
            for (int e = 0; e < setting->bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& endpoint = setting->endpoint[e];
                if ((endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_INTERRUPT)
                    continue;
                const bool isIn = (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN;
                if (isIn && in < 0) in = endpoint.bEndpointAddress;
                if (!isIn && out == 0) out = endpoint.bEndpointAddress;
            }
            // Without permission (or for any other reason) the open fails: the interface is skipped.
            if (in >= 0 && libusb_open(present[d], &handle) != 0) handle = nullptr;
        }
        libusb_free_config_descriptor(config);
        break;
    }
    if (count >= 0) libusb_free_device_list(present, 1);

    libusb_transfer* transfer = handle != nullptr ? libusb_alloc_transfer(0) : nullptr;
    if (transfer == nullptr) {
        if (handle != nullptr) libusb_close(handle);
        contextRelease();
        return kNoDevice;
    }
    *device = HidDevice{};
    device->used = true;
    device->handle = handle;
    device->transfer = transfer;
    device->interface = place.interface;
    device->inEndpoint = static_cast<unsigned char>(in);
    device->outEndpoint = static_cast<unsigned char>(out);
    return device;
}

bool hidAttributes(DeviceHandle device, HidAttributes* attributes) {
    if (device == kNoDevice) return false;
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(libusb_get_device(device->handle), &descriptor) != 0) return false;
    attributes->vendorId = descriptor.idVendor;
    attributes->productId = descriptor.idProduct;
    attributes->versionNumber = descriptor.bcdDevice;
    return true;
}

bool hidIndexedString(DeviceHandle device, unsigned index, void* buffer, unsigned long length) {
    if (device == kNoDevice || index > 255) return false;
    unsigned char descriptor[kStringRoom];
    // String 0 lists the language IDs; the first one is asked for.
    int got = libusb_get_string_descriptor(device->handle, 0, 0, descriptor, sizeof descriptor);
    if (got < 4 || descriptor[1] != LIBUSB_DT_STRING) return false;
    const std::uint16_t language = static_cast<std::uint16_t>(descriptor[2] | (descriptor[3] << 8));
    got = libusb_get_string_descriptor(device->handle, static_cast<std::uint8_t>(index), language,
                                       descriptor, sizeof descriptor);
    if (got < 2 || descriptor[1] != LIBUSB_DT_STRING) return false;
    std::size_t text = static_cast<std::size_t>(got < descriptor[0] ? got : descriptor[0]);
    text = text >= 2 ? text - 2 : 0;
    std::memset(buffer, 0, length);
    std::memcpy(buffer, descriptor + 2, text < length ? text : length);
    return true;
}

void hidClose(DeviceHandle device) {
    if (device == kNoDevice || !device->used) return;
    if (device->busy) {
        // Not ended by its caller: end it here, before the transfer is freed.
        libusb_cancel_transfer(device->transfer);
        CompletionState* state = static_cast<CompletionState*>(device->transfer->user_data);
        while (state->done == 0) libusb_handle_events_completed(context, &state->done);
        device->busy = false;
    }
    if (device->claimed) libusb_release_interface(device->handle, device->interface);
    libusb_close(device->handle);
    libusb_free_transfer(device->transfer);
    *device = HidDevice{};
    contextRelease();
}

bool completionOpen(Completion* completion) {
    std::memset(completion->record, 0, sizeof completion->record);
    stateOf(completion)->done = 1;  // nothing pending
    completion->event = nullptr;    // the callback's flag in the record serves as the event
    return true;
}

void completionClose(Completion* completion) {
    (void)completion;  // the transfer belongs to the device; nothing was taken for the completion
}

TransferStart hidStartWrite(DeviceHandle device, const unsigned char* report, Completion* completion) {
    if (!usable(device)) return TransferStart::failed;
    CompletionState* state = stateOf(completion);
    if (device->outEndpoint != 0) {
        // libusb does not write into an OUT transfer's buffer.
        libusb_fill_interrupt_transfer(device->transfer, device->handle, device->outEndpoint,
                                       const_cast<unsigned char*>(report + 1), kWireReport,
                                       transferDone, state, 0);
    } else {
        // SET_REPORT (class request 0x09, host to interface: 0x21), report type Output (2) and
        // report ID 0 in wValue.
        libusb_fill_control_setup(device->control, 0x21, 0x09, 0x0200,
                                  static_cast<std::uint16_t>(device->interface), kWireReport);
        std::memcpy(device->control + LIBUSB_CONTROL_SETUP_SIZE, report + 1, kWireReport);
        libusb_fill_control_transfer(device->transfer, device->handle, device->control, transferDone,
                                     state, 0);
    }
    return submit(device, state);
}

TransferStart hidStartRead(DeviceHandle device, unsigned char* report, Completion* completion) {
    if (!usable(device)) return TransferStart::failed;
    CompletionState* state = stateOf(completion);
    report[0] = 0;  // the report ID, which the Velk does not send
    libusb_fill_interrupt_transfer(device->transfer, device->handle, device->inEndpoint, report + 1,
                                   kWireReport, transferDone, state, 0);
    return submit(device, state);
}

WaitResult hidWait(DeviceHandle device, Completion* completion, unsigned milliseconds) {
    CompletionState* state = stateOf(completion);
    if (device == kNoDevice) return WaitResult::timedOut;
    const std::int64_t deadline = nowUs() + static_cast<std::int64_t>(milliseconds) * 1000;
    for (;;) {
        while (state->done == 0) {
            const std::int64_t left = deadline - nowUs();
            if (left <= 0) return WaitResult::timedOut;
            timeval bound{};
            bound.tv_sec = static_cast<time_t>(left / 1000000);
            bound.tv_usec = static_cast<suseconds_t>(left % 1000000);
            const int result = libusb_handle_events_timeout_completed(context, &bound, &state->done);
            if (result != 0 && result != LIBUSB_ERROR_INTERRUPTED && state->done == 0)
                return WaitResult::timedOut;  // the wait itself failed
        }
        device->busy = false;
        // A zero-length packet on the interrupt IN pipe carries no report (a device may send one
        // after a report that fills its packets): the read goes on within the same bound, as a
        // HID class driver's read does.
        const bool emptyRead = (device->transfer->endpoint & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN &&
                               state->status == LIBUSB_TRANSFER_COMPLETED && state->actual == 0;
        if (!emptyRead) break;
        if (deadline - nowUs() <= 0) return WaitResult::timedOut;  // nothing is pending
        if (submit(device, state) == TransferStart::failed) return WaitResult::failed;
    }
    return state->status == LIBUSB_TRANSFER_COMPLETED && state->actual == state->expected
               ? WaitResult::completed
               : WaitResult::failed;
}

void hidEnd(DeviceHandle device, Completion* completion) {
    CompletionState* state = stateOf(completion);
    if (device == kNoDevice || state->done != 0) return;
    // libusb calls back every cancelled transfer (status cancelled, or completed when the
    // cancellation came too late), also when the device has gone; until then the buffer is busy.
    libusb_cancel_transfer(device->transfer);
    while (state->done == 0) libusb_handle_events_completed(context, &state->done);
    device->busy = false;
}

}  // namespace velk
