// The platform seam on the simulated platform (see sim.h).
#include "sim.h"

#include <chrono>
#include <cstring>
#include <algorithm>
#include <deque>
#include <thread>

namespace velk {

struct HidDevice {
    int iface;
    bool open;
};

struct HidList {
    bool live;
};

}  // namespace velk

namespace velk::sim {

namespace {

struct Transfer {
    int slot;
    bool write;
    unsigned char* readBuffer;
    unsigned char payload[64];
    int iface;
    long long due;      // when it completes; -1: not while nothing changes
    bool waitingInput;  // a read that completes once the device has a report for it
    bool error;
    bool done;
    const Fault* ackFault;
};

struct Slot {
    bool open;
    int current;  // the transfer last started on it, -1 before the first
    bool signalled;
    WaitResult result;
};

State g;
std::deque<HidDevice> devices;
std::deque<HidList> lists;
std::vector<Slot> slots;
std::vector<Transfer> transfers;
std::vector<std::size_t> pending;  // the transfers not done yet
std::vector<int> faultUses;

// What the device side has seen, to number the attempts of a block.
int currentBlock = kAnyBlock;
int currentAttempt = 0;
int lastBlock = kAnyBlock, lastChunk = -1;

// The device's input report waiting to be read: it holds one; a newer one replaces it.
bool inputFull = false;
unsigned char input[64];

std::chrono::steady_clock::time_point epoch;

void log(const std::string& call) {
    if (g.world.logCalls) g.calls.push_back(call);
}

void moveClock(long long us) {
    if (us <= g.nowUs) return;
    if (g.world.realTime) std::this_thread::sleep_until(epoch + std::chrono::microseconds(us));
    g.nowUs = us;
}

void traceReport(char direction, const unsigned char* report) {
    if (g.world.trace == nullptr) return;
    char line[2 + 128 + 2];
    line[0] = direction;
    line[1] = ' ';
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < 64; ++i) {
        line[2 + 2 * i] = digits[report[i] >> 4];
        line[3 + 2 * i] = digits[report[i] & 15];
    }
    line[130] = '\n';
    line[131] = '\0';
    std::fputs(line, g.world.trace);
}

int slotOf(const Completion* c) {
    int slot;
    std::memcpy(&slot, c->record, sizeof slot);
    return slot;
}

bool isWriteKind(FaultKind k) {
    return k == FaultKind::writeNever || k == FaultKind::writeLate || k == FaultKind::writeError ||
           k == FaultKind::writeRefused || k == FaultKind::corruptChunk;
}

bool isReadKind(FaultKind k) {
    return k == FaultKind::readNever || k == FaultKind::readLate || k == FaultKind::readError ||
           k == FaultKind::readRefused || k == FaultKind::ackWrongLetters ||
           k == FaultKind::ackSwapped || k == FaultKind::ackOtherBlock;
}

// The first unused fault of a kind accepted by `accept` that matches this transfer; used once.
template <typename Accept>
const Fault* strike(Accept accept, int block, int attempt, int chunk) {
    for (std::size_t i = 0; i < g.world.faults.size(); ++i) {
        const Fault& f = g.world.faults[i];
        if (!accept(f.kind) || faultUses[i] >= f.count) continue;
        if (f.block != kAnyBlock && f.block != block) continue;
        if (f.attempt != kAnyAttempt && f.attempt != attempt) continue;
        if (f.chunk != kAnyChunk && chunk != kAnyChunk && f.chunk != chunk) continue;
        ++faultUses[i];
        return &f;
    }
    return nullptr;
}

bool usable(DeviceHandle device) {
    if (device == kNoDevice || !device->open) {
        g.violations.push_back("a transfer on a device that is not open");
        return false;
    }
    return true;
}

// Starts a transfer on a completion; the caller fills in what completes it.
Transfer& begin(Completion* c, bool write, int iface) {
    const int slot = slotOf(c);
    Slot& s = slots[static_cast<std::size_t>(slot)];
    if (!s.open) g.violations.push_back("a transfer started on a released completion");
    if (s.current >= 0 && !transfers[static_cast<std::size_t>(s.current)].done)
        g.violations.push_back("a transfer started while the last one on its completion was pending");
    Transfer t{};
    t.slot = slot;
    t.write = write;
    t.iface = iface;
    t.due = -1;
    transfers.push_back(t);
    pending.push_back(transfers.size() - 1);
    s.current = static_cast<int>(transfers.size()) - 1;
    s.signalled = false;  // starting a transfer resets its event
    return transfers.back();
}

void finish(std::size_t id) {
    transfers[id].done = true;
    std::erase(pending, id);
}

void wakeReader() {
    for (std::size_t id : pending) {
        Transfer& t = transfers[id];
        if (t.waitingInput) {
            t.waitingInput = false;
            t.due = g.nowUs + g.world.paceUs;
            return;
        }
    }
}

void complete(std::size_t id) {
    Transfer& t = transfers[id];
    if (!t.write && !t.error && !inputFull) {
        // Nothing to read yet: the read goes on waiting for the device.
        t.waitingInput = true;
        t.due = -1;
        return;
    }
    Slot& s = slots[static_cast<std::size_t>(t.slot)];
    const bool owned = s.open && s.current == static_cast<int>(id);
    if (!s.open)
        g.violations.push_back("a transfer completed after its completion was released");
    else if (!owned)
        g.violations.push_back("a late transfer completed into a completion serving another transfer");
    finish(id);
    if (t.write && !t.error) {
        ++g.reportsToDevice;
        traceReport('W', t.payload);
        unsigned char ack[64];
        if (g.world.interfaces[static_cast<std::size_t>(t.iface)].velk &&
            bootloaderReceive(g.device, t.payload, ack)) {
            std::memcpy(input, ack, sizeof input);
            inputFull = true;
            wakeReader();
        }
    } else if (!t.write && !t.error) {
        unsigned char report[64];
        std::memcpy(report, input, sizeof report);
        inputFull = false;
        if (t.ackFault != nullptr) {
            switch (t.ackFault->kind) {
                case FaultKind::ackWrongLetters: report[2] = 'X'; break;
                case FaultKind::ackSwapped: std::swap(report[3], report[4]); break;
                case FaultKind::ackOtherBlock: {
                    const int named = (report[3] | (report[4] << 8)) + 1;
                    report[3] = static_cast<unsigned char>(named & 0xFF);
                    report[4] = static_cast<unsigned char>((named >> 8) & 0xFF);
                    break;
                }
                default: break;
            }
        }
        ++g.reportsFromDevice;
        traceReport('R', report);
        // A late read that nobody waits for any more would write into a buffer handed back.
        if (owned) std::memcpy(t.readBuffer, report, sizeof report);
    }
    if (owned) {
        s.signalled = true;
        s.result = t.error ? WaitResult::failed : WaitResult::completed;
    }
}

// The pending transfer that falls due first, no later than `limit`; -1 when none.
long long nextDue(long long limit, std::size_t* id) {
    long long best = -1;
    for (std::size_t i : pending) {
        const Transfer& t = transfers[i];
        if (t.due < 0 || t.due > limit) continue;
        if (best < 0 || t.due < best) {
            best = t.due;
            *id = i;
        }
    }
    return best;
}

}  // namespace

std::vector<unsigned char> utf16(const char* text) {
    std::vector<unsigned char> bytes;
    for (const char* p = text; *p != '\0'; ++p) {
        bytes.push_back(static_cast<unsigned char>(*p));
        bytes.push_back(0);
    }
    return bytes;
}

Interface velkInterface() {
    Interface i = otherInterface(0x5A17, 0x0005, "FW bootloader");
    i.attributes.versionNumber = 0x0100;
    i.velk = true;
    return i;
}

Interface otherInterface(std::uint16_t vendorId, std::uint16_t productId, const char* string4) {
    Interface i;
    i.attributes = HidAttributes{vendorId, productId, 0x0001};
    i.string4 = utf16(string4);
    return i;
}

void simStart(const World& world) {
    g = State{};
    g.world = world;
    for (std::size_t i = 0; i < g.world.interfaces.size(); ++i)
        if (g.world.interfaces[i].path.empty()) g.world.interfaces[i].path = "sim:" + std::to_string(i);
    g.device.refuseFrom = world.refuseFrom;
    devices.clear();
    lists.clear();
    slots.clear();
    transfers.clear();
    pending.clear();
    faultUses.assign(world.faults.size(), 0);
    currentBlock = kAnyBlock;
    currentAttempt = 0;
    lastBlock = kAnyBlock;
    lastChunk = -1;
    inputFull = false;
    epoch = std::chrono::steady_clock::now();
}

State& simState() {
    return g;
}

void simAdvanceTo(long long us) {
    std::size_t id = 0;
    while (nextDue(us, &id) >= 0) {
        moveClock(transfers[id].due);
        complete(id);
    }
    moveClock(us);
}

}  // namespace velk::sim

namespace velk {

using namespace velk::sim;

HidList* hidListBuild() {
    log("build");
    if (g.world.listFails) return nullptr;
    lists.push_back(HidList{true});
    ++g.listsBuilt;
    ++g.listsLive;
    return &lists.back();
}

bool hidListEntry(HidList* list, int position, HidEntry* entry) {
    log("entry " + std::to_string(position));
    if (list == nullptr || !list->live) return false;
    if (position < 0 || position >= static_cast<int>(g.world.interfaces.size())) return false;
    std::memcpy(entry->record, &position, sizeof position);
    return true;
}

namespace {
const Interface& entryInterface(const HidEntry* entry, int* position) {
    std::memcpy(position, entry->record, sizeof *position);
    return g.world.interfaces[static_cast<std::size_t>(*position)];
}
}  // namespace

std::size_t hidListPathSize(HidList*, HidEntry* entry) {
    int position;
    const Interface& i = entryInterface(entry, &position);
    log("size " + std::to_string(position));
    return i.sizeQueryFails ? 0 : i.path.size() + 1;
}

const char* hidListPath(HidList*, HidEntry* entry, void* buffer, std::size_t size) {
    int position;
    const Interface& i = entryInterface(entry, &position);
    log("path " + std::to_string(position));
    if (i.pathQueryFails || size < i.path.size() + 1) return nullptr;
    std::memcpy(buffer, i.path.c_str(), i.path.size() + 1);
    return static_cast<const char*>(buffer);
}

void hidListRelease(HidList* list) {
    log("release");
    if (list == nullptr) return;
    if (!list->live) g.violations.push_back("a list released twice");
    list->live = false;
    --g.listsLive;
}

DeviceHandle hidOpen(const char* path) {
    for (std::size_t n = 0; n < g.world.interfaces.size(); ++n) {
        if (g.world.interfaces[n].path != path) continue;
        log("open " + std::to_string(n));
        if (!g.world.interfaces[n].openable) return kNoDevice;
        devices.push_back(HidDevice{static_cast<int>(n), true});
        ++g.devicesOpen;
        return &devices.back();
    }
    log(std::string("open ") + path);
    return kNoDevice;
}

bool hidAttributes(DeviceHandle device, HidAttributes* attributes) {
    log("attributes " + std::to_string(device->iface));
    const Interface& i = g.world.interfaces[static_cast<std::size_t>(device->iface)];
    if (i.attributesFail) return false;
    *attributes = i.attributes;
    return true;
}

bool hidIndexedString(DeviceHandle device, unsigned index, void* buffer, unsigned long length) {
    log("string " + std::to_string(device->iface) + " " + std::to_string(index) + " " +
        std::to_string(length));
    const Interface& i = g.world.interfaces[static_cast<std::size_t>(device->iface)];
    if (i.stringFails || index != 4) return false;
    std::memset(buffer, 0, length);
    if (!i.string4.empty()) std::memcpy(buffer, i.string4.data(), std::min<std::size_t>(length, i.string4.size()));
    return true;
}

void hidClose(DeviceHandle device) {
    log("close " + std::to_string(device->iface));
    if (!device->open) {
        g.violations.push_back("a device closed twice");
        return;
    }
    device->open = false;
    --g.devicesOpen;
}

bool completionOpen(Completion* completion) {
    log("completion");
    if (g.world.completionsFail) return false;
    slots.push_back(Slot{true, -1, false, WaitResult::timedOut});
    const int slot = static_cast<int>(slots.size()) - 1;
    std::memcpy(completion->record, &slot, sizeof slot);
    completion->event = &slots;  // any non-null value: the simulated event lives in the slot
    ++g.completionsMade;
    ++g.completionsLive;
    return true;
}

void completionClose(Completion* completion) {
    log("completion-close");
    Slot& s = slots[static_cast<std::size_t>(slotOf(completion))];
    if (!s.open) g.violations.push_back("a completion released twice");
    if (s.current >= 0 && !transfers[static_cast<std::size_t>(s.current)].done)
        g.violations.push_back("a completion released while its transfer was pending");
    s.open = false;
    --g.completionsLive;
}

TransferStart hidStartWrite(DeviceHandle device, const unsigned char* report, Completion* completion) {
    log("write");
    ++g.writesStarted;
    if (g.world.logCalls) {
        g.writes.emplace_back();
        std::memcpy(g.writes.back().data(), report, 64);
    }
    if (!usable(device) || g.vanished) return TransferStart::failed;

    const bool restart = report[3] == 0x47 && report[4] == 0 && report[5] == 0xFF;
    const int block = restart ? kRestartReport : (report[3] | (report[4] << 8));
    const int chunk = restart ? kAnyChunk : report[5];
    if (!restart && chunk == 0 && !(lastBlock == block && lastChunk == 0)) {
        currentAttempt = block == currentBlock ? currentAttempt + 1 : 1;
        currentBlock = block;
    }
    lastBlock = block;
    lastChunk = chunk;
    const int attempt = block == currentBlock ? currentAttempt : 1;

    if (strike([](FaultKind k) { return k == FaultKind::vanish; }, block, attempt, chunk) != nullptr)
        g.vanished = true;
    if (g.vanished) return TransferStart::failed;
    const Fault* f = strike(isWriteKind, block, attempt, chunk);
    if (f != nullptr && f->kind == FaultKind::writeRefused) return TransferStart::failed;

    Transfer& t = begin(completion, true, device->iface);
    std::memcpy(t.payload, report, sizeof t.payload);
    t.due = g.nowUs + g.world.paceUs;
    if (f != nullptr) {
        switch (f->kind) {
            case FaultKind::writeNever: t.due = -1; break;
            case FaultKind::writeLate: t.due = g.nowUs + 1000LL * f->delayMs; break;
            case FaultKind::writeError: t.error = true; break;
            case FaultKind::corruptChunk: t.payload[6] ^= 0xFF; break;
            default: break;
        }
    }
    return TransferStart::pending;
}

TransferStart hidStartRead(DeviceHandle device, unsigned char* report, Completion* completion) {
    log("read");
    ++g.readsStarted;
    if (!usable(device) || g.vanished) return TransferStart::failed;
    const Fault* f = strike(isReadKind, currentBlock, currentAttempt, kAnyChunk);
    if (f != nullptr && f->kind == FaultKind::readRefused) return TransferStart::failed;

    Transfer& t = begin(completion, false, device->iface);
    t.readBuffer = report;
    if (inputFull)
        t.due = g.nowUs + g.world.paceUs;
    else
        t.waitingInput = true;
    if (f != nullptr) {
        switch (f->kind) {
            case FaultKind::readNever: t.due = -1; t.waitingInput = false; break;
            case FaultKind::readLate: t.due = g.nowUs + 1000LL * f->delayMs; t.waitingInput = false; break;
            case FaultKind::readError: t.due = g.nowUs; t.error = true; t.waitingInput = false; break;
            default: t.ackFault = f; break;
        }
    }
    return TransferStart::pending;
}

WaitResult hidWait(DeviceHandle, Completion* completion, unsigned milliseconds) {
    log("wait " + std::to_string(milliseconds));
    ++g.waits;
    const Slot& s = slots[static_cast<std::size_t>(slotOf(completion))];
    const long long deadline = g.nowUs + 1000LL * milliseconds;
    while (!s.signalled) {
        std::size_t id = 0;
        if (nextDue(deadline, &id) < 0) {
            moveClock(deadline);
            return WaitResult::timedOut;
        }
        moveClock(transfers[id].due);
        complete(id);
    }
    return s.result;
}

void hidEnd(DeviceHandle, Completion* completion) {
    log("end");
    ++g.ends;
    Slot& s = slots[static_cast<std::size_t>(slotOf(completion))];
    if (s.current < 0) return;
    Transfer& t = transfers[static_cast<std::size_t>(s.current)];
    if (t.done) return;
    // Cancelled: it will never complete, and its event is signalled with the abort.
    finish(static_cast<std::size_t>(s.current));
    s.signalled = true;
    s.result = WaitResult::failed;
}

}  // namespace velk
