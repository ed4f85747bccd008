#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The separator the OS uses in the paths we build; the Data folder always ends in it.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// What a create or a move that must not replace anything came to. A name that is taken is told
// apart by the OS call itself: a second look afterwards could see a name freed or taken meanwhile.
// Busy, from moves only, is a failure that may pass by itself: another program has the file open
// (Windows: a sharing violation) or access is refused for the moment.
enum class FileOutcome { Done, Taken, Busy, Failed };

// What kind of failure the last file call of the calling thread ran into, for a caller that must
// tell a target that is down from a hiccup worth trying again at once.
enum class FileErrorKind {
    NoSpace,   // the disk, or the user's quota on it, is full
    Denied,    // permissions, or the file system refuses the call
    ReadOnly,  // a read-only file system or a write-protected disk
    Missing,   // not there: a folder on the way, an unmounted share, a network path
    Other,     // anything else, such as an I/O error
};
struct FileError {
    FileErrorKind kind = FileErrorKind::Other;
    // As the OS says it, starting in lower case: "no space left on device".
    std::string text;
};
// Why the last of the calls here, or of File's, failed on this thread (errno; GetLastError on
// Windows). Take it right after the call that failed: any later call may change it.
FileError LastFileError();

// Whether anything has this name; a symbolic link counts even when its target is gone.
bool PathExists(const std::string& path);
// Whether the name leads to something: a symbolic link counts only while its target exists.
bool TargetExists(const std::string& path);
bool IsDirectory(const std::string& path);
// The last-write time of a file or folder as DirectoryEntry::lastWrite has it; 0 when there is
// nothing of that name. A folder's changes when a name in it is made, renamed or removed.
std::uint64_t LastWriteOf(const std::string& path);
// Creates one directory; false if it could not be created (it may exist already).
[[nodiscard]] bool MakeDirectory(const std::string& path);
// Renames `from` to `to` but never replaces an existing `to`: Taken leaves both names as they
// were instead.
[[nodiscard]] FileOutcome MoveFileNoReplace(const std::string& from, const std::string& to);
bool RemoveFile(const std::string& path);
// Removes a file left behind by a writer that is gone: true only if removed. It stays while some
// writer holds it open (File::CreateNew), while it has been made read-only (File::MarkReadOnly),
// and while it was written to within `unchangedFor`: where two mounts of one network folder do
// not pass locks to each other, the age is all that tells a live file from a leftover.
bool RemoveUnlessHeld(const std::string& path, std::chrono::seconds unchangedFor);
// Removes a directory that is empty, or a link to a directory (the link, not what it leads to).
bool RemoveEmptyDirectory(const std::string& path);
// Makes a rename inside `directory` durable. Needed on POSIX; Windows has nothing to do.
[[nodiscard]] bool SyncDirectory(const std::string& directory);
class File;
// Puts on the disk everything written to `files` and every rename made in the folders they are
// in, in one flush for all where the OS has one (Linux: of the file system of the first file,
// as `sync` does); elsewhere file by file. Many small files cost one flush instead of one each.
[[nodiscard]] bool SyncTogether(const std::vector<File*>& files);

// What the file system of a folder can do for a receiver, found by trying it with a scratch file
// (created, written, flushed, renamed and removed again).
struct FolderAbilities {
    // Empty when a file could be written there; otherwise why not, as the OS says it
    // ("permission denied", "read-only file system").
    std::string writeError;
    // A writer can hold its file against other receivers (a lock, or the handle's sharing mode).
    bool holds = true;
    // A rename can refuse to replace an existing name by itself (a no-replace rename, or a hard
    // link); without it File::MoveTo takes the name with a placeholder first.
    bool noReplaceRename = true;
};
FolderAbilities ProbeFolder(const std::string& directory);

// What a directory entry leads to. Links are followed: a link to a directory is a Directory.
// Other is anything neither a file nor a directory (a pipe, a device, a link to nothing).
enum class EntryKind { File, Directory, Other };

// One entry of a directory listing, valid only during the call it is passed to.
struct DirectoryEntry {
    std::string_view name;  // the name alone, no directory part
    EntryKind kind;
    // A symbolic link or another kind of reparse point. A clean-up that deletes must not follow
    // one out of the tree; a reader may.
    bool isLink;
    // Size in bytes and last-write time as a Windows FILETIME (100-ns intervals since
    // 1601-01-01 00:00 UTC). Both are 0 for directories: listing a folder of folders then needs
    // no call per entry beyond the listing itself.
    std::uint64_t size;
    std::uint64_t lastWrite;
};

// Calls `visit` for each entry directly inside `directory` ("." and ".." never), in the order the
// OS lists them. False, with no call made, when the directory cannot be read. An entry removed
// while the listing runs may or may not be visited.
bool ListDirectory(const std::string& directory,
                   const std::function<void(const DirectoryEntry&)>& visit);

// Whether File::OpenBeneath would take the file `names` lead to, judged from the names alone and
// without opening anything, so that a list can show only what would be served. Something
// swapped in afterwards is still refused by the open itself.
bool PlainFileBeneath(const std::string& root, std::initializer_list<std::string_view> names);

// A small file read whole, such as a secret the user keeps in a file of its own, with what a
// caller needs to judge it. Only a regular file is read, so a pipe or a device given by mistake
// neither holds up the caller nor feeds it without end.
struct SmallFile {
    bool opened = false;
    bool regular = false;
    // Users other than its owner may read or write it (POSIX: any group or other permission).
    // Windows keeps no such bits; there a file is private by the folder it is in.
    bool openToOthers = false;
    // At most `limit` + 1 bytes, so that a caller can tell a file larger than its limit.
    std::string bytes;
    // Why it could not be opened or read, as the OS says it; empty when it was read.
    std::string error;
};
[[nodiscard]] SmallFile ReadSmallFile(const std::string& path, std::size_t limit);

// A file opened either for exclusive creation and writing, or for reading. Unbuffered: callers
// that write line by line buffer themselves.
//
// A file created here is held by its writer for as long as it is open, so that no other process
// takes it for a leftover (RemoveUnlessHeld): on POSIX by an advisory lock of the open file
// description, which NFS carries to other machines; on Windows by a handle that lets others read
// but not delete.
class File {
public:
    File();
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Creates a new file for writing; Taken if anything of that name exists already, or if the
    // name stopped being this file before it was held.
    [[nodiscard]] FileOutcome CreateNew(const std::string& path);
    [[nodiscard]] bool OpenForReading(const std::string& path);
    // Opens the file, creating it if need be, and holds it: no other OpenHeld of it, in this
    // process or another, succeeds until this File is closed. False when another holds it or it
    // cannot be opened. For work that one process at a time may do.
    [[nodiscard]] bool OpenHeld(const std::string& path);
    // Opens the file for writing at its end, creating it if need be; every Write goes to the
    // end as it is then, whoever else appends meanwhile.
    [[nodiscard]] bool OpenForAppend(const std::string& path);
    // Opens for reading the file that `names` lead to from the folder `root`, one name per level
    // (none empty, "." or "..", nor holding a separator). No link or other reparse point is
    // followed below `root`, and the names are looked up in the one step that opens, so a folder
    // swapped for a link meanwhile cannot lead out of `root`. Only a regular file with one name
    // is taken: a hard link would let a file from elsewhere be read through it. A pipe or a
    // device is refused without waiting for a writer or a carrier.
    [[nodiscard]] bool OpenBeneath(const std::string& root,
                                   std::initializer_list<std::string_view> names);
    // The open file's size in bytes; 0 when it cannot be told.
    std::uint64_t Size() const;
    // The open file's last-write time, as DirectoryEntry::lastWrite gives it; 0 when it cannot
    // be told.
    std::uint64_t LastWrite() const;
    // Hands the open handle (on POSIX a descriptor) to a caller that closes it itself; the File
    // is closed afterwards.
    long long Release();
    // The open handle, still the File's own: for a caller that passes it to a call which takes
    // it over only when it succeeds, and then calls Release.
    long long Handle() const { return handle_; }
    bool IsOpen() const { return handle_ != kInvalid; }
    // Writes all bytes or reports failure.
    [[nodiscard]] bool Write(const void* data, std::size_t size);
    // Bytes read, 0 at the end of the file, -1 on failure.
    long Read(void* buffer, std::size_t size);
    // Waits until what was written is on the disk. False also when a flush started by
    // StartWriteBack failed, since the disk may then have lost some of the bytes.
    [[nodiscard]] bool SyncToDisk();
    // Starts getting what was written so far onto the disk without waiting for it, so that a
    // later SyncToDisk has little left to wait for. Large files call it as they grow.
    void StartWriteBack();
    // Gives the file another name, never replacing one: Taken leaves both names as they were.
    // The file stays open and held across the rename (Windows renames through the handle
    // itself), so there is no moment at which it is nobody's. Where the file system refuses
    // no-replace renames and hard links (FUSE FAT), the name is first taken by an exclusive
    // create of an empty placeholder, which the file is then renamed over.
    [[nodiscard]] FileOutcome MoveTo(const std::string& to);
    // Renames the file to a name that only its writer can be using (its own kept name),
    // replacing whatever has it. For when MoveTo cannot be done at all.
    [[nodiscard]] FileOutcome MoveOver(const std::string& to);
    // Whether the file's name still leads to this open file: nobody deleted or renamed it, nor
    // the folder it is in.
    bool StillNamed() const;
    // Reads from `offset` without moving the file position: bytes read, 0 at the end of the
    // file, -1 on failure. Works on files created for writing too.
    long ReadAt(std::uint64_t offset, void* buffer, std::size_t size);
    // Deletes the file, then closes it.
    bool Remove();
    // Makes the file read-only, which keeps it from RemoveUnlessHeld where the file system keeps
    // the mark (FAT does not), and closes it.
    bool MarkReadOnly();
    // Waits for a flush still running, then closes.
    void Close();

private:
    static constexpr long long kInvalid = -1;
    // A flush running beside the writer; the platform defines what it holds.
    struct BackgroundSync;

    long long handle_ = kInvalid;  // a POSIX descriptor or a Windows HANDLE
    std::string path_;             // the name the file has
    std::unique_ptr<BackgroundSync> backgroundSync_;
};

}  // namespace platform
