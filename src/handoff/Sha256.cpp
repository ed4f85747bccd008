#include "handoff/Sha256.h"

#include <algorithm>
#include <cstring>
#include <vector>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace handoff {
namespace {

// The first 32 bits of the fractional parts of the cube roots of the first 64 primes.
constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// The first 32 bits of the fractional parts of the square roots of the first 8 primes.
constexpr std::uint32_t kInitial[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

constexpr std::uint32_t Rotate(std::uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

std::uint32_t BigEndian(const unsigned char* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

// Large enough that reading costs few calls, small enough to sit on any thread's stack budget.
constexpr std::size_t kReadBlock = 64 * 1024;

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ORB_SHA_EXTENSIONS 1

// Whether the processor has the SHA extensions (and the SSSE3 and SSE4.1 they come with). A
// hand-off checks every copy by reading it back: with them hashing costs a fraction of the copy.
bool HasShaExtensions() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d) || (c & bit_SSSE3) == 0 || (c & bit_SSE4_1) == 0) {
        return false;
    }
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_SHA) != 0;
}

// The 64 rounds over `blocks` blocks with the SHA instructions. They keep the eight words as
// ABEF and CDGH; each sha256rnds2 does two rounds with the two low words of its message operand.
__attribute__((target("sha,sse4.1,ssse3"))) void CompressWithShaExtensions(
    std::uint32_t* state, const unsigned char* data, std::size_t blocks) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    dcba = _mm_shuffle_epi32(dcba, 0xB1);  // b a d c
    hgfe = _mm_shuffle_epi32(hgfe, 0x1B);  // h g f e
    __m128i abef = _mm_alignr_epi8(dcba, hgfe, 8);
    __m128i cdgh = _mm_blend_epi16(hgfe, dcba, 0xF0);
    for (; blocks > 0; --blocks, data += 64) {
        const __m128i abefBefore = abef;
        const __m128i cdghBefore = cdgh;
        __m128i w[4];  // the schedule's last sixteen words, four to an entry
        for (int i = 0; i < 16; ++i) {
            __m128i& words = w[i % 4];
            if (i < 4) {
                words = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byteSwap);
            } else {
                // W[t] = s1(W[t-2]) + W[t-7] + s0(W[t-15]) + W[t-16], four at a time.
                words = _mm_sha256msg1_epu32(words, w[(i + 1) % 4]);
                words = _mm_add_epi32(words, _mm_alignr_epi8(w[(i + 3) % 4], w[(i + 2) % 4], 4));
                words = _mm_sha256msg2_epu32(words, w[(i + 3) % 4]);
            }
            __m128i message = _mm_add_epi32(
                words, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRound + 4 * i)));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
            message = _mm_shuffle_epi32(message, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
        }
        abef = _mm_add_epi32(abef, abefBefore);
        cdgh = _mm_add_epi32(cdgh, cdghBefore);
    }
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

const bool kShaExtensions = HasShaExtensions();
#endif

}  // namespace

#ifdef ORB_SHA_EXTENSIONS
Sha256::Sha256(Engine engine) : extensions_(engine == Engine::Fast && kShaExtensions) {
    Reset();
}
#else
Sha256::Sha256(Engine) : extensions_(false) {
    Reset();
}
#endif

void Sha256::Reset() {
    std::memcpy(state_.data(), kInitial, sizeof kInitial);
    pendingSize_ = 0;
    length_ = 0;
}

void Sha256::Compress(const unsigned char* block) {
#ifdef ORB_SHA_EXTENSIONS
    if (extensions_) {
        CompressWithShaExtensions(state_.data(), block, 1);
        return;
    }
#endif
    std::uint32_t w[64];
    for (int t = 0; t < 16; ++t) {
        w[t] = BigEndian(block + 4 * t);
    }
    for (int t = 16; t < 64; ++t) {
        const std::uint32_t s0 = Rotate(w[t - 15], 7) ^ Rotate(w[t - 15], 18) ^ (w[t - 15] >> 3);
        const std::uint32_t s1 = Rotate(w[t - 2], 17) ^ Rotate(w[t - 2], 19) ^ (w[t - 2] >> 10);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    std::uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
    for (int t = 0; t < 64; ++t) {
        const std::uint32_t sum1 = Rotate(e, 6) ^ Rotate(e, 11) ^ Rotate(e, 25);
        const std::uint32_t choose = (e & f) ^ (~e & g);
        const std::uint32_t t1 = h + sum1 + choose + kRound[t] + w[t];
        const std::uint32_t sum0 = Rotate(a, 2) ^ Rotate(a, 13) ^ Rotate(a, 22);
        const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
        const std::uint32_t t2 = sum0 + majority;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
    state_[4] += e;
    state_[5] += f;
    state_[6] += g;
    state_[7] += h;
}

void Sha256::Update(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    length_ += size;
    if (pendingSize_ > 0) {
        const std::size_t taken = std::min(size, pending_.size() - pendingSize_);
        std::memcpy(pending_.data() + pendingSize_, bytes, taken);
        pendingSize_ += taken;
        bytes += taken;
        size -= taken;
        if (pendingSize_ < pending_.size()) {
            return;
        }
        Compress(pending_.data());
        pendingSize_ = 0;
    }
    // Whole blocks straight from the caller's buffer, without a copy.
#ifdef ORB_SHA_EXTENSIONS
    if (extensions_ && size >= pending_.size()) {
        const std::size_t blocks = size / pending_.size();
        CompressWithShaExtensions(state_.data(), bytes, blocks);
        bytes += blocks * pending_.size();
        size -= blocks * pending_.size();
    }
#endif
    for (; size >= pending_.size(); bytes += pending_.size(), size -= pending_.size()) {
        Compress(bytes);
    }
    if (size > 0) {
        std::memcpy(pending_.data(), bytes, size);
        pendingSize_ = size;
    }
}

std::string Sha256::Finish() {
    // The message ends in a 1 bit, zeros up to 8 bytes short of a block's end, and its length in
    // bits as 8 big-endian bytes.
    const std::uint64_t bits = length_ * 8;
    unsigned char tail[72] = {0x80};
    const std::size_t zeros = (pendingSize_ < 56 ? 56 : 120) - pendingSize_;
    for (int i = 0; i < 8; ++i) {
        tail[zeros + static_cast<std::size_t>(i)] =
            static_cast<unsigned char>(bits >> (56 - 8 * i));
    }
    Update(tail, zeros + 8);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(64);
    for (const std::uint32_t word : state_) {
        for (int shift = 28; shift >= 0; shift -= 4) {
            hex += kHex[(word >> shift) & 0xf];
        }
    }
    Reset();
    return hex;
}

FileDigest HashFile(platform::File& file) {
    FileDigest digest;
    Sha256 hash;
    std::vector<unsigned char> block(kReadBlock);
    for (;;) {
        const long n = file.ReadAt(digest.size, block.data(), block.size());
        if (n < 0) {
            digest.error = platform::LastFileError();
            return digest;
        }
        if (n == 0) {
            break;
        }
        hash.Update(block.data(), static_cast<std::size_t>(n));
        digest.size += static_cast<std::uint64_t>(n);
    }
    digest.read = true;
    digest.sha256 = hash.Finish();
    return digest;
}

FileDigest HashFile(const std::string& path) {
    platform::File file;
    if (!file.OpenForReading(path)) {
        FileDigest digest;
        digest.error = platform::LastFileError();
        return digest;
    }
    return HashFile(file);
}

}  // namespace handoff
