#pragma once

// SHA-256, so that a file handed on can be checked byte for byte against the one received: the
// copy read back, the Data folder's file re-read, a file of the same name already at a target.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/FileSystem.h"

namespace handoff {

// Bytes are fed in pieces of any size; Finish gives the digest of all of them together.
class Sha256 {
public:
    // Fast uses the processor's SHA instructions where it has them; Portable never does, so that
    // both ways can be checked on one machine.
    enum class Engine { Fast, Portable };
    explicit Sha256(Engine engine = Engine::Fast);

    void Update(const void* data, std::size_t size);
    void Update(std::string_view bytes) { Update(bytes.data(), bytes.size()); }
    // The digest as 64 lower-case hex digits. The object starts over afterwards.
    std::string Finish();

private:
    void Reset();
    void Compress(const unsigned char* block);

    bool extensions_;  // the SHA instructions are used
    std::array<std::uint32_t, 8> state_;
    std::array<unsigned char, 64> pending_;  // the start of a block not yet complete
    std::size_t pendingSize_;
    std::uint64_t length_;  // bytes fed so far
};

// A whole file's size and digest, or why it could not be read.
struct FileDigest {
    bool read = false;
    std::uint64_t size = 0;
    std::string sha256;
    platform::FileError error;  // when not read
};

// Reads `file` from its first byte, whatever its position, with ReadAt: a file open for writing
// can be read back through the same handle.
FileDigest HashFile(platform::File& file);
FileDigest HashFile(const std::string& path);

}  // namespace handoff
