#include "fakes/ScratchFolder.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "datafolder/Store.h"
#include "platform/FileSystem.h"

namespace fs = std::filesystem;

ScratchFolder::ScratchFolder() {
    static std::atomic<int> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    const fs::path dir = fs::temp_directory_path() / ("orbtray-test-" + std::to_string(stamp) +
                                                      "-" + std::to_string(++counter));
    fs::create_directories(dir);
    path_ = dir.string();
    if (path_.back() != platform::kPathSeparator) {
        path_ += platform::kPathSeparator;
    }
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::vector<std::string> FilesBelow(const std::string& folder, bool directories) {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (directories ? entry.is_directory() : entry.is_regular_file()) {
            found.push_back(fs::relative(entry.path(), folder).generic_string());
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::string FileContents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::vector<std::string> LinesOf(const std::vector<std::string>& log, const std::string& name) {
    const std::string prefix = "Connection " + name + " ";
    std::vector<std::string> lines;
    for (const auto& line : log) {
        if (line.starts_with(prefix)) {
            lines.push_back(line.substr(prefix.size()));
        }
    }
    return lines;
}

void ScratchFolder::Write(const std::string& relativePath, const std::string& bytes) const {
    const fs::path file = fs::path(path_) / relativePath;
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
}

ScratchDataFolder::ScratchDataFolder() {
    store.dataFolder = Path();
}
