#pragma once

// Which bytes a protocol line keeps, and the scan that finds where a run of them ends. The scan
// is the receiver's hottest loop: data lines are nearly all text, so it tests many bytes at once.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace linebytes {

// Bytes kept in a line. Everything else (CR, tabs, other control bytes, '~', DEL, 0x80-0xFF) is
// dropped without a trace, which is also how CR LF line ends lose their CR.
inline bool IsLineByte(unsigned char byte) {
    return byte >= 0x20 && byte <= 0x7D;
}

// The end of the run of line bytes that starts at `begin`, eight bytes at a time: a word has a
// byte outside 0x20-0x7D exactly when one of its bytes is below 0x20 or above 0x7D, and both tests
// work on every byte at once. A borrow or carry between bytes starts only at a byte that is
// itself flagged, so the lowest flag is exact and names the byte that ends the run.
inline const char* EndOfLineBytesByWords(const char* begin, const char* end) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
    const char* p = begin;
    if constexpr (std::endian::native == std::endian::little) {
        while (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, sizeof word);
            const std::uint64_t below = (word - kOnes * 0x20) & ~word & kHighBits;
            const std::uint64_t above = ((word + kOnes * (0x7F - 0x7D)) | word) & kHighBits;
            if ((below | above) != 0) {
                return p + std::countr_zero(below | above) / 8;
            }
            p += 8;
        }
    }
    while (p < end && IsLineByte(static_cast<unsigned char>(*p))) {
        ++p;
    }
    return p;
}

// The same end, sixteen bytes at a time. The compiler's vector types turn each test into one
// instruction on every byte (SSE2 on x86-64, NEON on ARM). Read as signed, the bytes 0x80-0xFF
// are negative, so one signed range test catches them too.
inline const char* EndOfLineBytes(const char* begin, const char* end) {
    using Bytes = signed char __attribute__((vector_size(16)));
    const char* p = begin;
    if constexpr (std::endian::native == std::endian::little) {
        while (end - p >= 16) {
            Bytes bytes;
            std::memcpy(&bytes, p, sizeof bytes);
            // Every byte of `kept` is all ones where the byte stays and zero where it does not.
            const Bytes kept = (bytes > 0x1F) & (bytes < 0x7E);
            std::uint64_t halves[2];
            std::memcpy(halves, &kept, sizeof halves);
            if (~halves[0] != 0) {
                return p + std::countr_zero(~halves[0]) / 8;
            }
            if (~halves[1] != 0) {
                return p + 8 + std::countr_zero(~halves[1]) / 8;
            }
            p += 16;
        }
    }
    return EndOfLineBytesByWords(p, end);
}

}  // namespace linebytes
