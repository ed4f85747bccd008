// The driver's presence check against the real registry and INF folder, and the installer's own
// steps with a stand-in for pnputil, in the Wine prefix that ctest runs Windows tests in. Wine's
// Shell cannot open a ZIP file as a folder (NameSpace gives no Folder, and Folder::CopyHere is not
// implemented), so here a test extractor stands in for the Shell; orbtray.exe's own test sees
// the real one fail. Arguments: the pnputil stand-in and the driver package the build carries.

#include <gtest/gtest.h>

#include <windows.h>
// After windows.h, which it needs.
#include <objbase.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "driver/win32/Driver.h"

namespace {

std::string g_tool;     // the pnputil stand-in
std::string g_package;  // the package the program carries, as a file

constexpr char kScratch[] = "C:\\orbtray driver test";  // a blank, as in many user names
constexpr char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\silabser";

std::string ReadAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

std::string WindowsPath(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return "Z:" + path;
}

TEST(DriverCheckOnWindows, ReadsTheServiceDisplayNameAndTheInfFolder) {
    char windows[MAX_PATH] = {};
    GetWindowsDirectoryA(windows, MAX_PATH);
    const std::string inf = std::string(windows) + "\\inf\\oem7.inf";
    const struct {
        const char* what;
        DWORD type;  // REG_NONE: no service key
        const char* displayName;
        bool expected;
    } cases[] = {
        {"no service", REG_NONE, "", false},
        {"installed", REG_SZ, "@oem7.inf,%silabser.svcdesc%;CP210x", true},
        {"REG_EXPAND_SZ", REG_EXPAND_SZ, "@oem7.inf,%silabser.svcdesc%;CP210x", false},
        // Names the INF folder itself, which exists but cannot be opened as a file.
        {"at sign and comma alone", REG_SZ, "@,", false},
    };
    std::ofstream(inf) << "; only its presence counts\n";
    for (const auto& c : cases) {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kServiceKey);
        if (c.type != REG_NONE) {
            ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, kServiceKey, "DisplayName", c.type,
                                      c.displayName, static_cast<DWORD>(strlen(c.displayName) + 1)),
                      ERROR_SUCCESS);
        }
        EXPECT_EQ(IsDriverInstalled(), c.expected) << c.what;
    }
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kServiceKey);
    DeleteFileA(inf.c_str());
}

// What the extractor of the current case saw and does.
struct Extraction {
    bool succeeds = true;
    std::string archiveBytes, target;
} g_extraction;

// Places the INF where the Shell would have unpacked it.
bool FakeExtract(const std::string& archive, const std::string& target) {
    g_extraction.archiveBytes = ReadAll(archive);
    g_extraction.target = target;
    std::ofstream(target + "\\silabser.inf") << "; unpacked\n";
    return g_extraction.succeeds;
}

TEST(InstallDriver, HandsTheUnpackedInfToTheToolAndLeavesNoScratchDirectory) {
    const std::string temp = std::string(kScratch) + "\\temp dir";
    const std::string record = std::string(kScratch) + "\\tool.txt";
    CreateDirectoryA(kScratch, nullptr);
    CreateDirectoryA(temp.c_str(), nullptr);
    SetEnvironmentVariableA("ORBTRAY_FAKE_TOOL_RECORD", record.c_str());
    const struct {
        const char* what;
        const char* tempFolder;
        bool extracts;
        const char* toolExit;
        bool expected;
        bool toolRuns;
    } cases[] = {
        {"tool succeeds", temp.c_str(), true, "0", true, true},
        {"tool fails", temp.c_str(), true, "5", false, true},
        {"extraction fails", temp.c_str(), false, "0", false, false},
        {"no temporary folder", "C:\\no such folder", true, "0", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DeleteFileA(record.c_str());
        g_extraction = {c.extracts, {}, {}};
        SetEnvironmentVariableA("TMP", c.tempFolder);
        SetEnvironmentVariableA("TEMP", c.tempFolder);
        SetEnvironmentVariableA("ORBTRAY_FAKE_TOOL_EXIT", c.toolExit);

        EXPECT_EQ(InstallDriver(FakeExtract, g_tool.c_str()), c.expected);

        EXPECT_EQ(Entries(temp), std::vector<std::string>{});
        if (c.tempFolder == temp.c_str()) {
            EXPECT_EQ(g_extraction.archiveBytes, ReadAll(g_package)) << "not the carried package";
            EXPECT_EQ(g_extraction.target.rfind(temp + "\\ORB", 0), 0u) << g_extraction.target;
        }
        const std::string parameters =
            " /add-driver \"" + g_extraction.target + "\\silabser.inf\" /install\n";
        const std::string tool = ReadAll(record);
        if (c.toolRuns) {
            ASSERT_GT(tool.size(), parameters.size());
            // The tool is started by name or path, as the shell likes; the parameters follow.
            const std::string line = tool.substr(0, tool.find('\n') + 1);
            EXPECT_EQ(line.substr(line.size() - parameters.size()), parameters) << line;
            EXPECT_NE(tool.find("inf found"), std::string::npos) << "tool ran before unpacking";
        } else {
            EXPECT_EQ(tool, "") << "the tool must not run";
        }
    }
}

TEST(DeleteDirectoryTree, LeavesAloneWhatThisRunDidNotMake) {
    const std::string other = std::string(kScratch) + "\\keep";
    CreateDirectoryA(kScratch, nullptr);
    CreateDirectoryA(other.c_str(), nullptr);
    std::ofstream(other + "\\file.txt") << "kept";
    SetEnvironmentVariableA("TMP", kScratch);
    DeleteDirectoryTree(other);
    DeleteDirectoryTree("");
    EXPECT_EQ(Entries(other), std::vector<std::string>{"file.txt"});

    const std::string made = MakeTempDirectory();
    ASSERT_FALSE(made.empty());
    CreateDirectoryA((made + "\\x64").c_str(), nullptr);
    std::ofstream(made + "\\x64\\silabser.sys") << "sys";
    DeleteDirectoryTree(made);
    EXPECT_EQ(GetFileAttributesA(made.c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc != 3) {
        fprintf(stderr, "usage: %s <pnputil stand-in> <driver package>\n", argv[0]);
        return 2;
    }
    g_tool = WindowsPath(argv[1]);
    g_package = WindowsPath(argv[2]);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    return RUN_ALL_TESTS();
}
