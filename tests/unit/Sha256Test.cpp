#include <gtest/gtest.h>

#include <string>

#include "fakes/ScratchFolder.h"
#include "handoff/Sha256.h"

namespace {

// The published test vectors, by the processor's SHA instructions (where it has them) and without,
// each fed whole and in pieces that end before, on and after a block's 64 bytes, through one object
// that must start over after every digest. The million 'a's are also hashed from a file, which
// takes more than one read that ends mid-block.
TEST(Sha256, GivesThePublishedDigestsHoweverTheBytesArrive) {
    const struct {
        std::string message;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrl"
         "m"
         "nopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto engine : {handoff::Sha256::Engine::Fast, handoff::Sha256::Engine::Portable}) {
        handoff::Sha256 hash(engine);
        for (const auto& c : cases) {
            for (const std::size_t piece : {c.message.size(), std::size_t{1}, std::size_t{55},
                                            std::size_t{63}, std::size_t{64}, std::size_t{65}}) {
                for (std::size_t at = 0; at < c.message.size(); at += piece) {
                    hash.Update(std::string_view(c.message).substr(at, piece));
                }
                EXPECT_EQ(hash.Finish(), c.digest) << c.message.size() << " bytes in pieces of "
                                                   << piece << ", engine " << int(engine);
            }
        }
    }
    ScratchFolder scratch;
    scratch.Write("a", cases[4].message);
    const handoff::FileDigest file = handoff::HashFile(scratch.Path() + "a");
    EXPECT_TRUE(file.read);
    EXPECT_EQ(file.size, 1000000u);
    EXPECT_EQ(file.sha256, cases[4].digest);
    EXPECT_FALSE(handoff::HashFile(scratch.Path() + "none").read);
}

}  // namespace
