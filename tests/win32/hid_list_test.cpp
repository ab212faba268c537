// The Win32 backend's list of HID interfaces, on the platform's own interfaces: Wine presents a
// virtual mouse and keyboard (vendor 0x845E), and any Windows machine a few. A record size that
// SetupAPI does not accept would make the list look empty, and the updater would say "No Velk
// found" with a Velk plugged in; these cases fail instead.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "hid/device.h"
#include "hid/platform.h"

namespace velk {
namespace {

TEST(Win32List, EveryListedInterfaceHasAPathThatOpensAndTellsItsIdentity) {
    HidList* list = hidListBuild();
    ASSERT_NE(list, nullptr);
    int position = 0;
    for (HidEntry entry; hidListEntry(list, position, &entry); ++position) {
        SCOPED_TRACE(position);
        const std::size_t size = hidListPathSize(list, &entry);
        ASSERT_GT(size, sizeof(DWORD) + 1);
        void* detail = std::malloc(size);
        const char* path = hidListPath(list, &entry, detail, size);
        ASSERT_NE(path, nullptr) << GetLastError();
        EXPECT_EQ(_strnicmp(path, "\\\\?\\hid#", 8), 0) << path;
        DeviceHandle device = hidOpen(path);
        std::free(detail);
        ASSERT_NE(device, kNoDevice) << GetLastError();
        HidAttributes attributes{};
        EXPECT_TRUE(hidAttributes(device, &attributes));
        EXPECT_NE(attributes.vendorId, 0) << "attributes not filled in";
        hidClose(device);
    }
    hidListRelease(list);
    EXPECT_GT(position, 0) << "no HID interface listed: the platform's own should be";
}

TEST(Win32List, PathQueryRefusesABufferShorterThanTheDetailRecord) {
    HidList* list = hidListBuild();
    ASSERT_NE(list, nullptr);
    HidEntry entry;
    ASSERT_TRUE(hidListEntry(list, 0, &entry));
    alignas(8) unsigned char tooShort[4] = {0x7E, 0x7E, 0x7E, 0x7E};
    EXPECT_EQ(hidListPath(list, &entry, tooShort, sizeof tooShort), nullptr);
    for (unsigned char b : tooShort) EXPECT_EQ(b, 0x7E);
    hidListRelease(list);
}

TEST(Win32List, NoListBehavesAsAnEmptyOne) {
    HidEntry entry;
    EXPECT_FALSE(hidListEntry(nullptr, 0, &entry));
    EXPECT_EQ(hidListPathSize(nullptr, &entry), 0u);
    hidListRelease(nullptr);
}

}  // namespace
}  // namespace velk
