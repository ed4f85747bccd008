// Stands in for pnputil.exe: appends its command line, and whether the INF file it was given
// exists, to the file named by ORBTRAY_FAKE_TOOL_RECORD, and ends with the exit code in
// ORBTRAY_FAKE_TOOL_EXIT.

#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <string>

int main() {
    const std::string line = GetCommandLineA();
    // The INF path is the first quoted part of the parameters.
    const std::string before = " /add-driver \"";
    const size_t open = line.find(before);
    std::string inf;
    if (open != std::string::npos) {
        const size_t start = open + before.size();
        inf = line.substr(start, line.find('"', start) - start);
    }
    const char* record = std::getenv("ORBTRAY_FAKE_TOOL_RECORD");
    const char* exitCode = std::getenv("ORBTRAY_FAKE_TOOL_EXIT");
    if (record != nullptr) {
        std::ofstream(record, std::ios::app | std::ios::binary)
            << line << '\n'
            << (GetFileAttributesA(inf.c_str()) != INVALID_FILE_ATTRIBUTES ? "inf found" : "no inf")
            << '\n';
    }
    return exitCode != nullptr ? std::atoi(exitCode) : 0;
}
