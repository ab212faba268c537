// The simulated platform: the platform seam over a list of simulated HID interfaces, one of which
// can be a simulated Velk bootloader, on a virtual clock. A wait that nothing will end advances the
// clock by its whole bound at once, so bounded waits are tested exactly and instantly. Every call
// across the seam is logged; faults are injected by block, attempt and chunk.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bootloader.h"
#include "hid/platform.h"

namespace velk::sim {

// What a fault does to the transfers it strikes.
enum class FaultKind {
    writeNever,       // the write is started but never completes
    writeLate,        // the write completes `delayMs` after its start (after its wait ran out)
    writeError,       // the write completes at once with an error; nothing reaches the device
    writeRefused,     // the write cannot be started at all
    readNever,        // the read never completes (the device's report stays unread)
    readLate,         // the read completes `delayMs` after its start
    readError,        // the read completes at once with an error and delivers nothing
    readRefused,      // the read cannot be started at all
    ackWrongLetters,  // the acknowledgement reads "FX" instead of "F+"
    ackSwapped,       // the acknowledgement's block number bytes are swapped
    ackOtherBlock,    // the acknowledgement names the block number plus one
    corruptChunk,     // one byte of the chunk's payload is flipped on the way to the device
    vanish,           // the device is gone: from the matching transfer on, nothing starts
};

inline constexpr int kAnyBlock = -1;
inline constexpr int kRestartReport = -2;  // the block key of the restart report
inline constexpr int kAnyAttempt = 0;
inline constexpr int kAnyChunk = -1;

// A fault strikes the transfers of `block` (a block number, kAnyBlock or kRestartReport), in
// attempt `attempt` of that block (1 to 4, or kAnyAttempt), at chunk `chunk` (0 to 35 for data
// reports, kAnyChunk for every chunk; reads match any chunk), at most `count` times.
struct Fault {
    FaultKind kind;
    int block = kAnyBlock;
    int attempt = kAnyAttempt;
    int chunk = kAnyChunk;
    int count = 1 << 30;
    unsigned delayMs = 0;
};

struct Interface {
    std::string path;
    bool openable = true;
    bool sizeQueryFails = false;  // the path's size cannot be told
    bool pathQueryFails = false;  // the path query fails
    bool attributesFail = false;
    HidAttributes attributes{};
    bool stringFails = false;
    std::vector<unsigned char> string4;  // what string 4 holds, UTF-16LE bytes
    bool velk = false;                   // its reports go to the simulated bootloader
};

// A Velk in bootloader mode: vendor 0x5A17, product 0x0005, string 4 "FW bootloader".
Interface velkInterface();
// Another HID interface with the given identity and string 4.
Interface otherInterface(std::uint16_t vendorId, std::uint16_t productId, const char* string4 = "");
// UTF-16LE bytes of an ASCII text.
std::vector<unsigned char> utf16(const char* text);

struct World {
    std::vector<Interface> interfaces;
    bool listFails = false;         // no list can be built
    bool completionsFail = false;   // no completion can be made
    std::vector<Fault> faults;
    int refuseFrom = -1;            // the bootloader acknowledges no block from this run position on
    long paceUs = 0;                // the device's time per report
    bool realTime = false;          // waits and pacing take real time
    bool logCalls = true;           // keep the call log
    std::FILE* trace = nullptr;     // "W "/"R " lines of every report that crosses the wire
};

struct State {
    World world;
    Bootloader device;

    long long nowUs = 0;  // the clock, from the start of the world
    std::vector<std::string> calls;
    std::vector<std::array<unsigned char, 64>> writes;  // every report a write was started with
    std::vector<std::string> violations;  // transfers that touched what they no longer owned

    int listsBuilt = 0, listsLive = 0;
    int devicesOpen = 0;
    int completionsMade = 0, completionsLive = 0;
    long writesStarted = 0, readsStarted = 0, waits = 0, ends = 0;
    long reportsToDevice = 0;  // output reports that reached the device (restart included)
    long reportsFromDevice = 0;
    bool vanished = false;
};

// Starts a new world; every count and the clock start from zero.
void simStart(const World& world);
State& simState();

// Runs the clock to `us` (real time: sleeps until then), completing whatever falls due.
void simAdvanceTo(long long us);

}  // namespace velk::sim
