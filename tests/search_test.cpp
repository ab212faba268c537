// The device search: the order of the platform calls, the identity filter, and every list and
// interface released on every way out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hid/device.h"
#include "support.h"

namespace velk {
namespace {

using Calls = std::vector<std::string>;

// The platform calls the last search made, up to its return.
Calls searchCalls;

sim::Interface unopenable() {
    sim::Interface i = sim::otherInterface(0x1234, 0x0001);
    i.openable = false;
    return i;
}

sim::Interface keyboard() {
    return sim::otherInterface(0x845E, 0x0001, "Keyboard");
}

// Runs the search over these interfaces; returns the position of the interface found, or -1.
int search(std::vector<sim::Interface> interfaces, bool listFails = false, std::uint32_t vendor = kVelkVendorId,
           std::uint32_t product = kVelkProductId, std::uint32_t version = kAnyVersion) {
    sim::World w;
    w.interfaces = std::move(interfaces);
    w.listFails = listFails;
    sim::simStart(w);
    DeviceHandle d = connectToUSBHIDDevice(vendor, product, version);
    const sim::State& s = sim::simState();
    EXPECT_EQ(s.listsLive, 0) << "every list is released";
    EXPECT_EQ(s.devicesOpen, d == kNoDevice ? 0 : 1) << "only the device found stays open";
    EXPECT_TRUE(s.violations.empty());
    searchCalls = s.calls;
    if (d == kNoDevice) return -1;
    const std::string& opened = s.calls[s.calls.size() - 1];  // its string read
    int position = -1;
    for (auto it = s.calls.rbegin(); it != s.calls.rend(); ++it)
        if (it->rfind("open ", 0) == 0) {
            position = std::stoi(it->substr(5));
            break;
        }
    EXPECT_EQ(opened.rfind("string ", 0), 0u);
    searchCalls = s.calls;
    hidClose(d);
    return position;
}

const Calls& calls() {
    return searchCalls;
}

TEST(Search, NothingPresentBuildsAndReleasesOneList) {
    EXPECT_EQ(search({}), -1);
    EXPECT_EQ(calls(), (Calls{"build", "entry 0", "release"}));
}

TEST(Search, AListThatCannotBeBuiltFindsNothing) {
    EXPECT_EQ(search({sim::velkInterface()}, true), -1);
    EXPECT_EQ(calls(), (Calls{"build", "entry 0", "release"}));
}

TEST(Search, InterfacesThatCannotBeOpenedAreSkippedWithinOneList) {
    EXPECT_EQ(search({unopenable(), unopenable()}), -1);
    EXPECT_EQ(calls(), (Calls{"build", "entry 0", "size 0", "path 0", "open 0", "entry 1", "size 1", "path 1",
                              "open 1", "entry 2", "release"}));

    EXPECT_EQ(search({unopenable(), unopenable(), sim::velkInterface()}), 2);
    EXPECT_EQ(calls(), (Calls{"build", "entry 0", "size 0", "path 0", "open 0", "entry 1", "size 1", "path 1",
                              "open 1", "entry 2", "size 2", "path 2", "open 2", "release", "attributes 2",
                              "string 2 4 8"}));
}

TEST(Search, AnotherDeviceIsOpenedTestedClosedAndTheNextIsSoughtInANewList) {
    EXPECT_EQ(search({keyboard(), sim::velkInterface()}), 1);
    // The new list is entered at the next position, not from 0.
    EXPECT_EQ(calls(), (Calls{"build", "entry 0", "size 0", "path 0", "open 0", "release", "attributes 0", "close 0",
                              "build", "entry 1", "size 1", "path 1", "open 1", "release", "attributes 1",
                              "string 1 4 8"}));
    EXPECT_EQ(sim::simState().listsBuilt, 2);
}

TEST(Search, IdentityString) {
    struct Case {
        const char* name;
        std::vector<unsigned char> string4;
        bool found;
    };
    const Case cases[] = {
        {"FW", sim::utf16("FW"), true},
        {"FW and more", sim::utf16("FW 1.2.3 bootloader"), true},
        {"high bytes are not compared", {0x46, 0x12, 0x57, 0x34}, true},
        {"Fw", sim::utf16("Fw"), false},
        {"WF", sim::utf16("WF"), false},
        {"F alone", sim::utf16("F"), false},
        {"empty", {}, false},
        {"F, W in the high bytes", {0x00, 0x46, 0x00, 0x57}, false},
    };
    for (const Case& c : cases) {
        sim::Interface velk = sim::velkInterface();
        velk.string4 = c.string4;
        EXPECT_EQ(search({velk}), c.found ? 0 : -1) << c.name;
    }
}

TEST(Search, IdentityNumbers) {
    struct Case {
        const char* name;
        std::uint32_t vendor, product, version;
        std::uint16_t deviceVersion;
        bool found;
        bool stringRead;  // the string is asked for only when the numbers pass
    };
    const Case cases[] = {
        {"any version", kVelkVendorId, kVelkProductId, 0, 0x0100, true, true},
        {"any version, 0xFFFF", kVelkVendorId, kVelkProductId, 0, 0xFFFF, true, true},
        {"version given and equal", kVelkVendorId, kVelkProductId, 0x0100, 0x0100, true, true},
        {"version given and different", kVelkVendorId, kVelkProductId, 0x0101, 0x0100, false, false},
        {"other product", kVelkVendorId, 0x0006, 0, 0x0100, false, false},
        {"vendor above 0xFFFF never matches", kVelkVendorId + 0x10000, kVelkProductId, 0, 0x0100, false, false},
        {"product above 0xFFFF never matches", kVelkVendorId, kVelkProductId + 0x10000, 0, 0x0100, false, false},
    };
    for (const Case& c : cases) {
        sim::Interface velk = sim::velkInterface();
        velk.attributes.versionNumber = c.deviceVersion;
        EXPECT_EQ(search({velk}, false, c.vendor, c.product, c.version), c.found ? 0 : -1) << c.name;
        bool stringRead = false;
        for (const std::string& call : calls()) stringRead = stringRead || call.rfind("string", 0) == 0;
        EXPECT_EQ(stringRead, c.stringRead) << c.name;
    }
}

TEST(Search, AStringThatCannotBeReadIsPassedOver) {
    sim::Interface mute = sim::velkInterface();
    mute.stringFails = true;
    mute.velk = false;
    EXPECT_EQ(search({mute, sim::velkInterface()}), 1);
}

TEST(Search, FailuresThatEndTheSearchBeforeTheVelk) {
    struct Case {
        const char* name;
        void (*spoil)(sim::Interface&);
        const char* lastCall;
    };
    const Case cases[] = {
        {"attributes cannot be read", [](sim::Interface& i) { i.attributesFail = true; }, "release"},
        {"path query fails", [](sim::Interface& i) { i.pathQueryFails = true; }, "release"},
        {"size query tells no size", [](sim::Interface& i) { i.sizeQueryFails = true; }, "release"},
    };
    for (const Case& c : cases) {
        sim::Interface first = keyboard();
        c.spoil(first);
        EXPECT_EQ(search({first, sim::velkInterface()}), -1) << c.name;
        // The Velk behind it is never opened.
        for (const std::string& call : calls()) EXPECT_NE(call, "open 1") << c.name;
    }
    // An interface whose attributes cannot be read was closed before the search gave up.
    sim::Interface first = keyboard();
    first.attributesFail = true;
    search({first, sim::velkInterface()});
    EXPECT_EQ(calls(), (Calls{"build", "entry 0", "size 0", "path 0", "open 0", "release", "attributes 0",
                              "close 0"}));
    // A size of 0 asks for no path at all.
    first = keyboard();
    first.sizeQueryFails = true;
    search({first, sim::velkInterface()});
    EXPECT_EQ(calls(), (Calls{"build", "entry 0", "size 0", "release"}));
}

TEST(SearchStep, WhereTheEnumerationIndexIsLeft) {
    struct Case {
        const char* name;
        std::vector<sim::Interface> interfaces;
        int start;
        bool opened;
        int positionAfter;
    };
    sim::Interface broken = keyboard();
    broken.pathQueryFails = true;
    const Case cases[] = {
        {"opened at the start", {keyboard(), keyboard()}, 0, true, 0},
        {"opened after skipping", {unopenable(), unopenable(), keyboard()}, 0, true, 2},
        {"list ran out", {unopenable(), unopenable()}, 0, false, 2},
        {"starting past the end", {keyboard()}, 5, false, 5},
        {"path query failed", {unopenable(), broken, keyboard()}, 0, false, 1},
    };
    for (const Case& c : cases) {
        sim::World w;
        w.interfaces = c.interfaces;
        sim::simStart(w);
        int position = c.start;
        DeviceHandle d = connectToIthUSBHIDDevice(&position);
        EXPECT_EQ(d != kNoDevice, c.opened) << c.name;
        EXPECT_EQ(position, c.positionAfter) << c.name;
        EXPECT_EQ(sim::simState().listsLive, 0) << c.name;
        EXPECT_EQ(sim::simState().listsBuilt, 1) << c.name;
        if (d != kNoDevice) hidClose(d);
    }
}

}  // namespace
}  // namespace velk
