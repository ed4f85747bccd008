#include <gtest/gtest.h>

#include "app/TrayRules.h"

namespace {

// Shift-JIS, the double-byte code page where a backslash byte can end a character.
std::size_t ShiftJisLength(unsigned char first) {
    return (first >= 0x81 && first <= 0x9F) || (first >= 0xE0 && first <= 0xFC) ? 2 : 1;
}

// Only a REG_DWORD of at most 4 bytes is believed; everything else is the default.
TEST(TrayRules, StoredSettingsReadBackOnlyAsDwordsOfAtMostFourBytes) {
    const struct {
        std::uint32_t type;
        std::size_t size;
        unsigned char bytes[4];
        std::uint32_t expected;
    } cases[] = {
        {kRegistryDword, 4, {5, 0, 0, 0}, 5},
        {kRegistryDword, 4, {0x78, 0x56, 0x34, 0x12}, 0x12345678},
        {kRegistryDword, 2, {1, 2}, 0x0201},
        {kRegistryDword, 0, {}, 0},
        {kRegistryDword, 8, {1, 0, 0, 0}, 7},
        {1 /* REG_SZ */, 2, {'1', 0}, 7},
        {3 /* REG_BINARY */, 4, {1, 0, 0, 0}, 7},
        {5 /* REG_DWORD_BIG_ENDIAN */, 4, {0, 0, 0, 1}, 7},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DecodeSetting(c.type, c.size, c.bytes, 7), c.expected)
            << "type " << c.type << " size " << c.size;
    }
}

TEST(TrayRules, RunEntryQuotesThePathAndRefusesOneThatDoesNotFit) {
    EXPECT_EQ(RunEntryText("C:\\Program Files\\Orbalinex\\orbtray.exe"),
              "\"C:\\Program Files\\Orbalinex\\orbtray.exe\" auto");
    const std::string longest = "C:\\" + std::string(245, 'a') + ".exe";  // 252 characters
    EXPECT_EQ(RunEntryText(longest).value_or("").size(), kRunEntryRoom - 1);
    EXPECT_EQ(RunEntryText(longest + "x"), std::nullopt);
}

TEST(TrayRules, OnlyTheExactWordAutoStartsSilently) {
    EXPECT_TRUE(IsSilentStart("auto"));
    for (const char* line : {"", "AUTO", "Auto", "auto ", " auto", "autox", "/auto", "auto x"}) {
        EXPECT_FALSE(IsSilentStart(line)) << '"' << line << '"';
    }
    EXPECT_FALSE(IsSilentStart(nullptr));
}

TEST(TrayRules, BalloonTextsAreCutAtACharacterBoundary) {
    const std::string a62(62, 'a');
    const struct {
        std::string text;
        CharLength length;
        std::string expected;
    } cases[] = {
        {std::string(63, 'a'), SingleByteLength, std::string(63, 'a')},
        {std::string(80, 'a'), SingleByteLength, std::string(63, 'a')},
        {a62 + "\x95\x5C"
               "b",
         ShiftJisLength, a62},  // the pair would end on byte 64
        {a62.substr(1) + "\x95\x5C"
                         "b",
         ShiftJisLength, a62.substr(1) + "\x95\x5C"},
        {a62 + "\xE2\x82\xAC", Utf8Length, a62},  // a 3-byte euro sign
        {a62.substr(2) + "\xC3\xA9\xC3\xA9", Utf8Length, a62.substr(2) + "\xC3\xA9"},
        {a62 + "\x80\x80", Utf8Length, a62 + "\x80"},  // stray bytes count one each
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CutToField(c.text, 64, c.length), c.expected) << c.text;
    }
    EXPECT_EQ(CutToField(std::string(300, 'x'), 256, SingleByteLength).size(), 255u);
}

TEST(TrayRules, DataFolderComesFromTheFirstCandidateTheSystemGave) {
    const struct {
        DataFolderCandidates candidates;
        CharLength length;
        std::string expected;
    } cases[] = {
        {{"", "C:\\Users\\u\\AppData\\Local", "C:\\T\\"},
         SingleByteLength,
         "C:\\Users\\u\\AppData\\Local\\Orbalinex\\Data\\"},
        {{"", "", "C:\\Users\\u\\Temp\\"},
         SingleByteLength,
         "C:\\Users\\u\\Temp\\Orbalinex\\Data\\"},
        {{"", "", ""}, SingleByteLength, "C:\\Temp\\Orbalinex\\Data\\"},
        {{"D:\\Readings", "C:\\L", "C:\\T\\"}, SingleByteLength, "D:\\Readings\\"},
        {{"D:\\Readings\\", "C:\\L", ""}, SingleByteLength, "D:\\Readings\\"},
        {{"E:\\", "", ""}, SingleByteLength, "E:\\"},
        // A folder named with a character whose second byte is a backslash.
        {{"D:\\\x95\x5C", "", ""}, ShiftJisLength, "D:\\\x95\x5C\\"},
        {{"", "C:\\Users\\\x95\x5C", ""}, ShiftJisLength, "C:\\Users\\\x95\x5C\\Orbalinex\\Data\\"},
        {{"D:\\\x95\x5C\\", "", ""}, ShiftJisLength, "D:\\\x95\x5C\\"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ChooseDataFolder(c.candidates, c.length), c.expected) << c.expected;
    }
}

}  // namespace
