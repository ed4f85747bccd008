#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "driver/DriverCheck.h"

namespace {

using namespace std::string_literals;

// The registry and the INF folder as a test sets them up.
class FakeLookups : public DriverLookups {
public:
    std::optional<RegistryValue> displayName;
    std::set<std::string> readableFiles;
    std::vector<std::string> asked;

    std::optional<RegistryValue> ServiceDisplayName() override { return displayName; }
    bool CanReadInfFile(const std::string& path) override {
        asked.push_back(path);
        return readableFiles.count(path) != 0;
    }
};

constexpr char kOem7[] = "%SYSTEMROOT%\\INF\\oem7.inf";

TEST(DriverCheck, InstalledOnlyWithAnIndirectDisplayNameWhoseInfFileIsThere) {
    const std::string installed = "@oem7.inf,%silabser.svcdesc%;Silicon Labs CP210x\0"s;
    const struct {
        const char* what;
        std::optional<RegistryValue> displayName;
        bool infPresent;
        bool expected;
        const char* pathAsked;  // nullptr: the INF folder must not be looked at
    } cases[] = {
        {"no service key or no value", std::nullopt, true, false, nullptr},
        {"REG_EXPAND_SZ", RegistryValue{2, installed}, true, false, nullptr},
        {"empty string", RegistryValue{1, ""}, true, false, nullptr},
        {"plain description", RegistryValue{1, "Silicon Labs CP210x, USB\0"s}, true, false,
         nullptr},
        {"no comma", RegistryValue{1, "@oem7.inf\0"s}, true, false, nullptr},
        {"installed", RegistryValue{1, installed}, true, true, kOem7},
        {"INF file removed", RegistryValue{1, installed}, false, false, kOem7},
        {"no terminating zero", RegistryValue{1, "@oem7.inf,x"}, true, true, kOem7},
        // The comma is found past the stored zero; the name ends at the zero all the same.
        {"comma after the zero", RegistryValue{1, "@oem7.inf\0,x"s}, true, true, kOem7},
        // The INF folder itself is no readable file.
        {"at sign and comma alone", RegistryValue{1, "@,\0"s}, true, false, "%SYSTEMROOT%\\INF\\"},
    };
    for (const auto& c : cases) {
        FakeLookups lookups;
        lookups.displayName = c.displayName;
        if (c.infPresent) {
            lookups.readableFiles.insert(kOem7);
        }
        EXPECT_EQ(IsDriverInstalled(lookups), c.expected) << c.what;
        const std::vector<std::string> expectedAsked =
            c.pathAsked ? std::vector<std::string>{c.pathAsked} : std::vector<std::string>{};
        EXPECT_EQ(lookups.asked, expectedAsked) << c.what;
    }
}

}  // namespace
