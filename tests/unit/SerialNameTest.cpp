#include <gtest/gtest.h>

#include "transfer/Store.h"

namespace {

TEST(SerialDirectoryName, LeavesOrdinarySerialsAndEncodesEverythingUnsafe) {
    const struct {
        const char* serial;
        const char* directory;
    } cases[] = {
        {"12345", "12345"},
        {"OBX-2000-A7", "OBX-2000-A7"},
        {"a b", "a b"},
        {"v1.2", "v1.2"},
        {"..", "%2E%2E"},
        {".", "%2E"},
        {"...", "..%2E"},
        {"..\\..\\x", "..%5C..%5Cx"},
        {"C:\\x", "C%3A%5Cx"},
        {"a/b", "a%2Fb"},
        {"../../etc", "..%2F..%2Fetc"},
        {"50%", "50%25"},
        {"*?\"<>|", "%2A%3F%22%3C%3E%7C"},
        {"abc.", "abc%2E"},
        {" abc", "%20abc"},
        {"abc ", "abc%20"},
        {" ", "%20"},
        {"CON", "%43ON"},
        {"con", "%63on"},
        {"nul.txt", "%6Eul.txt"},
        {"CON .txt", "%43ON .txt"},
        {"Com7", "%43om7"},
        {"LPT0.csv", "%4CPT0.csv"},
        {"CONIN$", "%43ONIN$"},
        {"conout$", "%63onout$"},
        {"COM", "COM"},
        {"COM10", "COM10"},
        {"CONSOLE", "CONSOLE"},
        {"NULL", "NULL"},
        {"", "%00"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SerialDirectoryName(c.serial), c.directory) << '"' << c.serial << '"';
    }
}

TEST(SerialDirectoryName, DistinctSerialsNeverShareADirectory) {
    // The encoding is reversible: serials that differ only by an escape stay apart.
    const char* serials[] = {"50%", "50%25", "a/b", "a%2Fb", "CON", "%43ON", "", "%00", ".", "%2E"};
    std::vector<std::string> names;
    for (const char* serial : serials) {
        names.push_back(SerialDirectoryName(serial));
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end());
}

}  // namespace
