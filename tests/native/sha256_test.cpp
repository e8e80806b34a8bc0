#include "tools/package/Sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using package::Sha256;

struct Vector {
    const char* name;
    std::string message;
    const char* digest;
};

// The SHA-256 examples of FIPS 180 and its companion test vectors.
const Vector kVectors[] = {
    {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"896 bits",
     "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
     "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    {"million a", std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

TEST(Sha256, MatchesTheStandardVectors) {
    for (const Vector& v : kVectors) {
        SCOPED_TRACE(v.name);
        EXPECT_EQ(Sha256::ToHex(Sha256::Of(v.message.data(), v.message.size())), v.digest);
    }
}

// The writer feeds the hash in pieces of whatever size its reads deliver: every
// split must give the same digest as one call.
TEST(Sha256, PiecewiseUpdatesEqualOneUpdate) {
    for (const Vector& v : kVectors) {
        if (v.message.size() > 200) continue;
        for (size_t split = 0; split <= v.message.size(); ++split) {
            SCOPED_TRACE(std::string(v.name) + " split at " + std::to_string(split));
            Sha256 sha;
            sha.Update(v.message.data(), split);
            sha.Update(v.message.data() + split, v.message.size() - split);
            EXPECT_EQ(Sha256::ToHex(sha.Finish()), v.digest);
        }
    }
    // A million 'a' in uneven chunks that straddle block boundaries.
    const std::string million(1000000, 'a');
    Sha256 sha;
    for (size_t at = 0, step = 1; at < million.size(); at += step, step = step % 97 + 13)
        sha.Update(million.data() + at, std::min(step, million.size() - at));
    EXPECT_EQ(Sha256::ToHex(sha.Finish()), kVectors[4].digest);
}

}  // namespace
