#include "datafolder/Disk.h"

namespace {

class SystemFile final : public DiskFile {
public:
    platform::File file;

    bool Write(const void* data, std::size_t size) override { return file.Write(data, size); }
    long Read(void* buffer, std::size_t size) override { return file.Read(buffer, size); }
    bool SyncToDisk() override { return file.SyncToDisk(); }
    void StartWriteBack() override { file.StartWriteBack(); }
    platform::FileOutcome MoveTo(const std::string& to) override { return file.MoveTo(to); }
    platform::FileOutcome MoveOver(const std::string& to) override { return file.MoveOver(to); }
    bool StillNamed() override { return file.StillNamed(); }
    long ReadAt(std::uint64_t offset, void* buffer, std::size_t size) override {
        return file.ReadAt(offset, buffer, size);
    }
    std::uint64_t Size() override { return file.Size(); }
    std::uint64_t LastWrite() override { return file.LastWrite(); }
    bool Remove() override { return file.Remove(); }
    bool MarkReadOnly() override { return file.MarkReadOnly(); }
};

// Stateless: every call goes straight to the OS, so one object serves every thread.
class SystemDiskImpl final : public Disk {
public:
    bool PathExists(const std::string& path) override { return platform::PathExists(path); }
    bool IsDirectory(const std::string& path) override { return platform::IsDirectory(path); }
    bool MakeDirectory(const std::string& path) override { return platform::MakeDirectory(path); }
    platform::FileOutcome CreateNew(const std::string& path,
                                    std::unique_ptr<DiskFile>* file) override {
        auto created = std::make_unique<SystemFile>();
        const platform::FileOutcome outcome = created->file.CreateNew(path);
        if (outcome == platform::FileOutcome::Done) {
            *file = std::move(created);
        }
        return outcome;
    }
    std::unique_ptr<DiskFile> OpenForReading(const std::string& path) override {
        auto opened = std::make_unique<SystemFile>();
        if (!opened->file.OpenForReading(path)) {
            return nullptr;
        }
        return opened;
    }
    bool SyncDirectory(const std::string& directory) override {
        return platform::SyncDirectory(directory);
    }
};

}  // namespace

Disk& SystemDisk() {
    static SystemDiskImpl disk;
    return disk;
}
