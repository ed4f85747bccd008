// Installs the CP210x driver package carried in the program's resources (type "ZIP", name
// "Driver"): written to one scratch directory, unpacked into another, handed to the system's
// driver tool with elevation, and both directories deleted again whatever happened.

#include <windows.h>

#include <shellapi.h>

#include "driver/win32/Driver.h"
#include "platform/FileSystem.h"

namespace {

// Runs the tool elevated and waits for it; true exactly when it ended with exit code 0.
bool RunDriverTool(const char* tool, const std::string& parameters) {
    // A 32-bit build on 64-bit Windows would otherwise start the 32-bit pnputil from SysWOW64,
    // which cannot install a 64-bit driver. On 32-bit Windows the switch fails and is not needed.
    PVOID redirection = nullptr;
    Wow64DisableWow64FsRedirection(&redirection);

    SHELLEXECUTEINFOA run = {};
    run.cbSize = sizeof run;
    run.fMask = SEE_MASK_NOCLOSEPROCESS;
    run.lpVerb = "runas";
    run.lpFile = tool;
    run.lpParameters = parameters.c_str();
    run.nShow = SW_SHOWNORMAL;
    bool succeeded = false;
    if (ShellExecuteExA(&run) && run.hProcess != nullptr) {
        WaitForSingleObject(run.hProcess, INFINITE);
        DWORD exitCode = 1;
        succeeded = GetExitCodeProcess(run.hProcess, &exitCode) && exitCode == 0;
        CloseHandle(run.hProcess);
    }
    Wow64RevertWow64FsRedirection(redirection);
    return succeeded;
}

}  // namespace

bool InstallDriver(ZipExtractor extract, const char* tool) {
    HRSRC resource = FindResourceA(nullptr, "Driver", "ZIP");
    if (resource == nullptr) {
        return false;
    }
    const DWORD size = SizeofResource(nullptr, resource);
    HGLOBAL loaded = LoadResource(nullptr, resource);
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr) {
        return false;
    }

    bool installed = false;
    const std::string archiveDirectory = MakeTempDirectory();
    const std::string unpackDirectory = MakeTempDirectory();
    if (!archiveDirectory.empty() && !unpackDirectory.empty()) {
        const std::string archive = archiveDirectory + "\\driver.zip";
        // A package that did not unpack would only make the tool fail with a message about a
        // missing file; the user learns the same from our own message.
        platform::File file;
        const bool written =
            file.CreateNew(archive) == platform::FileOutcome::Done && file.Write(bytes, size);
        file.Close();
        if (written && extract(archive, unpackDirectory)) {
            // The INF path is quoted: the temporary folder may hold blanks.
            installed = RunDriverTool(
                tool, "/add-driver \"" + unpackDirectory + "\\silabser.inf\" /install");
        }
    }
    DeleteDirectoryTree(archiveDirectory);
    DeleteDirectoryTree(unpackDirectory);
    return installed;
}
