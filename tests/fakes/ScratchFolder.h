#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "datafolder/Store.h"
#include "platform/Clock.h"

// Every regular file (or directory) below `folder`, as paths relative to it with '/' separators,
// sorted.
std::vector<std::string> FilesBelow(const std::string& folder, bool directories = false);
// A file's bytes; empty if it cannot be read.
std::string FileContents(const std::string& path);
// The log lines of connection `name` ("S7"), without the "Connection S7 " in front.
std::vector<std::string> LinesOf(const std::vector<std::string>& log, const std::string& name);

// A fresh, empty directory under the system's temporary folder, removed with everything in it
// when the object goes. `Path()` ends in the path separator, as the Data folder does.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& Path() const { return path_; }
    std::vector<std::string> Files(bool directories = false) const {
        return FilesBelow(path_, directories);
    }
    std::vector<std::string> Directories() const { return Files(true); }
    std::string Read(const std::string& relativePath) const {
        return FileContents(path_ + relativePath);
    }
    void Write(const std::string& relativePath, const std::string& bytes) const;

private:
    std::string path_;
};

// A scratch folder as the Data folder of `store`, which workers under test are given.
class ScratchDataFolder : public ScratchFolder {
public:
    ScratchDataFolder();
    StoreConfig store;
};

class FixedClock : public platform::Clock {
public:
    explicit FixedClock(std::int64_t seconds) : seconds_(seconds) {}
    std::int64_t UtcSeconds() const override { return seconds_; }
    void Set(std::int64_t seconds) { seconds_ = seconds; }

private:
    std::int64_t seconds_;
};
