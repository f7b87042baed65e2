// Tests of the 79-byte module record and the shared state accessors.
#include "core/install_settings.h"
#include "core/module_list.h"

#include <gtest/gtest.h>

#include <numeric>

// Tests that a record decodes its fields at their offsets and encodes back to the same 79 bytes,
// bytes after a name's NUL and the Extra bytes included.
TEST(ModuleRecordTest, RoundTripsEveryByte) {
    std::array<uint8_t, 79> raw{};
    std::iota(raw.begin(), raw.end(), uint8_t(1));
    raw[6] = 0;  // PackageNo "\x01..\x06" then NUL, then stray bytes
    raw[15] = 0; // ModuleName ends early
    ModuleRecord r = ModuleRecord::Decode(raw.data());
    EXPECT_EQ(r.ModuleVerA, 0x4241403Fu);
    EXPECT_EQ(r.ModuleVerB, 0x46454443u);
    EXPECT_EQ(r.State, char(71));
    EXPECT_EQ(r.Package().size(), 6u);
    EXPECT_EQ(r.Name().size(), 4u);
    EXPECT_EQ(r.Bytes(), raw);
}

// Tests that a name filling its whole field is read without running past the width.
TEST(ModuleRecordTest, FullWidthNameStopsAtWidth) {
    std::array<uint8_t, 79> raw{};
    std::fill(raw.begin() + 11, raw.begin() + 62, 'm');
    EXPECT_EQ(ModuleRecord::Decode(raw.data()).Name().size(), 51u);
}

// Tests that the accessors return the one process-wide object.
TEST(SharedStateTest, AccessorsReturnOneObject) {
    EXPECT_EQ(&GetInstallSettings(), &GetInstallSettings());
    EXPECT_EQ(GetInstallSettings().CurVerPart3, 0u);
    EXPECT_EQ(&GetModuleList(), &GetModuleList());
}
