#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "datafolder/Store.h"

// A fresh, empty directory under the system's temporary folder, removed with everything in it
// when the object goes. `Path()` ends in the path separator, as the Data folder does.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& Path() const { return path_; }
    // Every regular file (or directory) below the folder, as paths relative to it with '/'
    // separators, sorted.
    std::vector<std::string> Files(bool directories = false) const;
    std::vector<std::string> Directories() const { return Files(true); }
    std::string Read(const std::string& relativePath) const;
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
