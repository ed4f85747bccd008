#pragma once

// Layout of the Data folder: <Data folder><serial directory><sep>YYMMDD-HHMMSS[-N].tmp while a
// file is received, .csv once the instrument has ended it.

#include <string>
#include <string_view>

// Both are set once at start-up, before any worker thread exists, and only read afterwards.
extern std::string g_dataFolder;    // full path, always ending in the path separator
extern std::string g_firmwarePath;  // image sent on BOOT; empty refuses every BOOT

// Longest temporary path we create; a longer one refuses the transfer instead of being cut.
inline constexpr std::size_t kMaxDataPath = 255;

// Creates every missing directory named by a prefix of `path` that ends in the separator. True
// when all of them are directories afterwards; text after the last separator is never created.
bool MakePath(const std::string& path);

// The directory name under which a serial number's files are kept. Ordinary serials stay as they
// are; anything that could leave the Data folder, name a device or be altered by the file system
// is %XX-encoded, reversibly.
std::string SerialDirectoryName(std::string_view serial);

// Deletes the temporary files a crash left in the serial directories. Run at start-up before any
// worker exists; returns how many were deleted.
int RemoveLeftoverTempFiles(const std::string& dataFolder);
