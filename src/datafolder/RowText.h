#pragma once

// The texts of a file list row, written the same way by every front end.

#include <cstddef>
#include <cstdint>
#include <string>

#include "datafolder/Scan.h"

// Room for the longest size text, "-2147483648 bytes", and its NUL.
inline constexpr std::size_t kSizeTextSize = 24;
// The size column: the 32-bit size read as a signed number, "%d bytes", so a file of
// 3,000,000,000 bytes shows -1294967296 bytes. Returns the length written.
std::size_t FormatSizeText(std::uint32_t size, char (&text)[kSizeTextSize]);

// Room for "YYYY-MM-DD HH:MM:SS" up to the last year a FILETIME reaches, and its NUL.
inline constexpr std::size_t kUtcTimeTextSize = 24;
// A FILETIME as "YYYY-MM-DD HH:MM:SS" in UTC, whatever the machine's time zone. Returns the
// length written.
std::size_t FormatUtcTimeText(std::uint64_t fileTime, char (&text)[kUtcTimeTextSize]);

// One row as a line of text: time, serial number as the instrument sent it, file name and size,
// separated by tabs and ended by a line feed.
void AppendTextRow(std::string& out, const FileRecord& record);
