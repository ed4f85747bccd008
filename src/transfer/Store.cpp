#include "transfer/Store.h"

#include <cstdio>

#include "link/ConnectionLog.h"
#include "link/NotifyUser.h"
#include "link/TxWorker.h"
#include "platform/FileSystem.h"

std::string g_dataFolder;
std::string g_firmwarePath;

namespace {

constexpr char kTempSuffix[] = ".tmp";
constexpr char kFinalSuffix[] = ".csv";
// "YYMMDD-HHMMSS" plus ".tmp": what every temporary path needs beyond its directory.
constexpr std::size_t kTimeNameLength = 13;
// Transfers of one serial that start in the same second are told apart by "-2" ... "-99".
constexpr int kMaxSameSecondFiles = 99;

std::string FinalPathOf(const std::string& tempPath) {
    return tempPath.substr(0, tempPath.size() - (sizeof kTempSuffix - 1)) + kFinalSuffix;
}

}  // namespace

bool MakePath(const std::string& path) {
    for (std::size_t end = path.find(platform::kPathSeparator); end != std::string::npos;
         end = path.find(platform::kPathSeparator, end + 1)) {
        const std::string prefix = path.substr(0, end + 1);
        if (!platform::PathExists(prefix)) {
            // Another link may create the same directory at the same moment: what counts is
            // that it exists afterwards.
            if (!platform::MakeDirectory(prefix) && !platform::IsDirectory(prefix)) {
                return false;
            }
        } else if (!platform::IsDirectory(prefix)) {
            return false;
        }
    }
    return true;
}

OpenOutcome CTxWorker::OpenDataFile() {
    const std::string directory =
        g_dataFolder + SerialDirectoryName(serial) + platform::kPathSeparator;
    path = directory;
    // Refuse before making any directory: a path that does not fit is never cut.
    if (directory.size() + kTimeNameLength + sizeof kTempSuffix - 1 > kMaxDataPath) {
        return OpenOutcome::FileFailed;
    }
    if (!MakePath(directory)) {
        return OpenOutcome::DirectoryFailed;
    }
    const platform::CalendarTime now = platform::UtcCalendar(clock->UtcSeconds());
    char name[32];
    std::snprintf(name, sizeof name, "%02u%02u%02u-%02u%02u%02u", unsigned(now.year % 100),
                  unsigned(now.month), unsigned(now.day), unsigned(now.hour), unsigned(now.minute),
                  unsigned(now.second));
    return ReserveDataFile(directory + name) ? OpenOutcome::Opened : OpenOutcome::FileFailed;
}

bool CTxWorker::ReserveDataFile(const std::string& baseName) {
    for (int n = 1; n <= kMaxSameSecondFiles; ++n) {
        const std::string name = n == 1 ? baseName : baseName + "-" + std::to_string(n);
        const std::string tempPath = name + kTempSuffix;
        const std::string finalPath = name + kFinalSuffix;
        path = tempPath;
        if (tempPath.size() > kMaxDataPath) {
            return false;
        }
        if (platform::PathExists(finalPath)) {
            continue;
        }
        if (!file.CreateNew(tempPath)) {
            // Taken by a transfer still running is a reason to try the next name; anything
            // else (no permission, disk gone) will not get better with another name.
            if (platform::PathExists(tempPath)) {
                continue;
            }
            return false;
        }
        // A transfer of the same name may have finished between our look and our creation.
        if (platform::PathExists(finalPath)) {
            file.Discard();
            platform::RemoveFile(tempPath);
            continue;
        }
        return true;
    }
    return false;
}

void CTxWorker::WriteDataLine(std::string_view text) {
    file.AppendLine(text);
}

void CTxWorker::FinishTransfer() {
    if (!file.IsOpen()) {
        state = TxState::Idle;
        return;
    }
    ConnectionLog("Connection %s transfered %u lines\n", connectionName, unsigned(lineCount));
    if (state == TxState::Receiving) {
        // The data reaches the disk before the file gets its final name, so a crash leaves
        // either a complete .csv or a .tmp that the next start deletes.
        file.Commit();
        file.Close();
        const std::string finalPath = FinalPathOf(path);
        platform::MoveFileNoReplace(path, finalPath);
        platform::SyncDirectory(path.substr(0, path.rfind(platform::kPathSeparator) + 1));
        NotifyUserFile("File Received", finalPath.c_str(), "Device %s sent %d readings.",
                       serial.c_str(), static_cast<int>(lineCount));
    } else {
        file.Close();
    }
    state = TxState::Idle;
}

void CTxWorker::AbortTransfer() {
    if (file.IsOpen()) {
        ConnectionLog("Connection %s transfer aborted\n", connectionName);
        file.Discard();
        if (state == TxState::Receiving) {
            platform::RemoveFile(path);
        }
    }
    state = TxState::Idle;
}

namespace {

// Only names this store gives its temporary files: YYMMDD-HHMMSS.tmp, or with -2 ... -99.
bool IsTempDataName(const std::string& name) {
    const std::size_t suffix = name.size() - (sizeof kTempSuffix - 1);
    if (name.size() < kTimeNameLength + sizeof kTempSuffix - 1 ||
        name.compare(suffix, std::string::npos, kTempSuffix) != 0) {
        return false;
    }
    for (std::size_t i = 0; i < suffix; ++i) {
        const char c = name[i];
        const bool dash = i == 6 || i == 13;
        if (dash ? c != '-' : (c < '0' || c > '9')) {
            return false;
        }
    }
    return suffix == 13 || (suffix > 14 && suffix <= 16);
}

}  // namespace

int RemoveLeftoverTempFiles(const std::string& dataFolder) {
    int removed = 0;
    for (const std::string& directory :
         platform::ListDirectory(dataFolder, platform::EntryKind::Directory)) {
        const std::string serialDirectory = dataFolder + directory + platform::kPathSeparator;
        for (const std::string& name :
             platform::ListDirectory(serialDirectory, platform::EntryKind::File)) {
            if (IsTempDataName(name) && platform::RemoveFile(serialDirectory + name)) {
                ++removed;
            }
        }
    }
    return removed;
}
