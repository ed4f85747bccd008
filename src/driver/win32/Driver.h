// The CP210x driver on Windows: the presence check against the registry and the INF folder, and
// the installer that unpacks the driver package carried in the program's resources and hands it
// to pnputil. Both run on the main thread at start-up, with COM initialised as a single-threaded
// apartment, before any window or thread exists.
#pragma once

#include <string>

bool IsDriverInstalled();

// A new empty directory with a unique name in the user's temporary folder, without a trailing
// backslash; empty when none could be made.
std::string MakeTempDirectory();

// Unpacks every top-level item of the archive into the existing target directory with the
// Shell's own ZIP support; true when the Shell reported success.
bool ExtractZip(const std::string& archive, const std::string& targetDirectory);

// Deletes the directory with everything in it, but only a directory that MakeTempDirectory made
// in this run: anything else, an empty path above all, is left alone.
void DeleteDirectoryTree(const std::string& directory);

using ZipExtractor = bool (*)(const std::string& archive, const std::string& targetDirectory);

// True exactly when the driver tool ran and ended with exit code 0. The extractor and the tool
// can be replaced so the installer's own steps can be exercised without installing a driver.
bool InstallDriver(ZipExtractor extract = ExtractZip, const char* tool = "pnputil.exe");
