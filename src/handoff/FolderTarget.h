#pragma once

// Hands a received file on to a folder: a local one, a mounted share or a UNC path.

#include <cstdint>
#include <string>
#include <vector>

namespace handoff {

// What a target gets to know about one received file.
struct FileFacts {
    std::string path;    // full path of the file in the Data folder
    std::string serial;  // decoded serial number
    std::string folder;  // serial folder name (may differ from serial: it is encoded)
    std::string name;    // file name, e.g. 261207-140544.csv
    std::uint64_t size = 0;
    std::string sha256;         // lower-case hex of the file's bytes; empty when not yet taken
    std::int64_t received = 0;  // UTC seconds since 1970 when it was completed
    // Its last write as a Windows FILETIME (100-ns steps): the order of the files of one second.
    std::uint64_t lastWrite = 0;
};

// Delivered: the target has the file. TryAgain: this attempt failed for a reason that may pass.
// TargetDown: the target as a whole cannot take files now (not there, full, refusing writes), so
// other files for it need not be tried either. Failed: this file will never be delivered.
enum class Verdict { Delivered, TryAgain, TargetDown, Failed };
struct Outcome {
    Verdict verdict;
    std::string reason;  // empty when delivered
};

// Copies the file to `targetDir/<folder>/<name>`, making the serial folder as needed but never
// `targetDir` itself. The copy is written under a temporary name of its own in the same folder,
// flushed to the disk, read back and checked against `file.size` and `file.sha256` (or, without
// one, the digest taken while copying), and only
// then given its name, which it never takes from another file: a file already there counts as
// delivered when it has the same bytes and as a failure when not, and is left as it is. The
// source is checked against the same facts while it is copied and never changed.
//
// Every attempt for one file uses the same temporary name and first removes what an attempt
// that was killed left there, so one file must not be delivered to one target by two attempts at
// the same time. It keeps no state of its own, so different files may be delivered on different
// threads at once.
Outcome DeliverToFolder(const std::string& targetDir, const FileFacts& file);
// The same for several files, with one flush of the target's disk for all of their copies and one
// for all of their names, in place of two for each: a backlog of small files drains at the speed
// of `cp` and `sync`. The outcomes are in the order of `files`.
std::vector<Outcome> DeliverToFolder(const std::string& targetDir,
                                     const std::vector<FileFacts>& files);

}  // namespace handoff
