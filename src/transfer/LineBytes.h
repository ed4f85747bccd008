#pragma once

// Which bytes a protocol line keeps, and the scan that finds where a run of them ends. The scan
// is the receiver's hottest loop: data lines are nearly all text, so it tests many bytes at once.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// The same end, sixteen bytes at a time where the processor has SSE2 (every x86-64 does).
inline const char* EndOfLineBytes(const char* begin, const char* end) {
    const char* p = begin;
#if defined(__SSE2__)
    // Read as signed, the bytes 0x80-0xFF are negative: one signed range test catches them too.
    const __m128i aboveLow = _mm_set1_epi8(0x20 - 1);
    const __m128i belowHigh = _mm_set1_epi8(0x7D + 1);
    while (end - p >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i kept =
            _mm_and_si128(_mm_cmpgt_epi8(bytes, aboveLow), _mm_cmplt_epi8(bytes, belowHigh));
        const unsigned dropped = ~static_cast<unsigned>(_mm_movemask_epi8(kept)) & 0xFFFFu;
        if (dropped != 0) {
            return p + std::countr_zero(dropped);
        }
        p += 16;
    }
#endif
    return EndOfLineBytesByWords(p, end);
}

}  // namespace linebytes
