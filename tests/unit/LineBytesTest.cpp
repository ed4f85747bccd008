#include <gtest/gtest.h>

#include <string>

#include "transfer/LineBytes.h"

namespace {

// One byte at a time: what both wide scans must agree with.
std::size_t Reference(const std::string& bytes) {
    std::size_t n = 0;
    while (n < bytes.size() && linebytes::IsLineByte(static_cast<unsigned char>(bytes[n]))) {
        ++n;
    }
    return n;
}

TEST(LineBytes, WideScansStopAtTheFirstDroppedByte) {
    const struct {
        const char* name;
        const char* (*scan)(const char*, const char*);
    } scans[] = {
        {"by words", linebytes::EndOfLineBytesByWords},
        {"sixteen at a time", linebytes::EndOfLineBytes},
    };
    // Every length around the 8- and 16-byte strides, every position of every byte value, and
    // the line bytes that come before it chosen at the edges of the kept range.
    for (const auto& s : scans) {
        for (std::size_t length = 0; length <= 40; ++length) {
            for (const char fill : {' ', '}', 'A'}) {
                std::string bytes(length, fill);
                ASSERT_EQ(s.scan(bytes.data(), bytes.data() + length) - bytes.data(),
                          static_cast<std::ptrdiff_t>(length))
                    << s.name << " length " << length;
                for (std::size_t at = 0; at < length; ++at) {
                    for (int value = 0; value < 256; ++value) {
                        bytes[at] = static_cast<char>(value);
                        // A later dropped byte must not hide behind an earlier one.
                        if (at + 1 < length) {
                            bytes[length - 1] = '\n';
                        }
                        ASSERT_EQ(s.scan(bytes.data(), bytes.data() + length) - bytes.data(),
                                  static_cast<std::ptrdiff_t>(Reference(bytes)))
                            << s.name << " length " << length << " byte " << value << " at " << at;
                        bytes.assign(length, fill);
                    }
                }
            }
        }
    }
}

}  // namespace
