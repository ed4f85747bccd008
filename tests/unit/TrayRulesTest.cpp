#include <gtest/gtest.h>

#include "app/TrayRules.h"

namespace {

// Shift-JIS, the double-byte code page where a backslash byte can end a character.
std::size_t ShiftJisLength(unsigned char first) {
    return (first >= 0x81 && first <= 0x9F) || (first >= 0xE0 && first <= 0xFC) ? 2 : 1;
}

// Up to 4 bytes are taken, of whatever registry type, widened with zero bytes; a longer value
// cannot be read whole and is the default.
TEST(TrayRules, StoredSettingsReadBackAsTheirFirstFourBytesWhateverTheirType) {
    const struct {
        std::uint32_t type;  // what the registry would report; the rule does not ask
        std::size_t size;
        unsigned char bytes[4];
        std::uint32_t expected;
    } cases[] = {
        {4 /* REG_DWORD */, 4, {5, 0, 0, 0}, 5},
        {4, 4, {0x78, 0x56, 0x34, 0x12}, 0x12345678},
        {4, 2, {1, 2}, 0x0201},
        {4, 0, {}, 0},
        {4, 5, {1, 0, 0, 0}, 7},
        {1 /* REG_SZ */, 2, {'1', 0}, 0x31},
        {3 /* REG_BINARY */, 1, {0}, 0},
        {3, 3, {1, 0, 2}, 0x020001},
        {5 /* REG_DWORD_BIG_ENDIAN */, 4, {0, 0, 0, 1}, 0x01000000},
        {11 /* REG_QWORD */, 8, {1, 0, 0, 0}, 7},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DecodeSetting(c.size, c.bytes, 7), c.expected)
            << "type " << c.type << " size " << c.size;
    }
}

// A refused entry tells the user why: a path too long, or one the code page cannot write.
TEST(TrayRules, RunEntryQuotesThePathOrSaysWhyItCannot) {
    const std::string longest = "C:\\" + std::string(245, 'a') + ".exe";  // 252 characters
    const struct {
        std::optional<std::string> path;
        std::string text;
        const char* messageSays;  // nullptr: no message
    } cases[] = {
        {"C:\\Program Files\\Orbalinex\\orbtray.exe",
         "\"C:\\Program Files\\Orbalinex\\orbtray.exe\" auto", nullptr},
        {longest, '"' + longest + "\" auto", nullptr},
        {longest + "x", "", "the path of the program is too long"},
        {std::nullopt, "", "the path of the program contains characters"},
    };
    for (const auto& c : cases) {
        const RunEntry entry = MakeRunEntry(c.path);
        EXPECT_EQ(entry.text, c.text) << c.text;
        const std::string message = RunEntryRefusalMessage(entry.refusal);
        if (c.messageSays == nullptr) {
            EXPECT_EQ(message, "") << c.text;
        } else {
            EXPECT_NE(message.find(c.messageSays), std::string::npos) << message;
        }
    }
    EXPECT_EQ(MakeRunEntry(longest).text.size(), kRunEntryRoom - 1);
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
