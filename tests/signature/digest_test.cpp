// The library's own digests: the standards' test suites, then random messages fed in random
// pieces against independent implementations (OpenSSL for MD4, MD5 and SHA-1; Perl's
// Digest::MD2 for MD2, which OpenSSL no longer has). SHA-1 runs with each compression engine
// the processor offers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "openssl_peer.h"
#include "signature/digest.h"
#include "support/test_env.h"

namespace {

using namespace nvl::signature;
using nvl::test::openssl::Bytes;

std::string hex(const uint8_t* bytes, size_t length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

// Feeds `data` in pieces whose lengths come from `rng` (0 included), then finishes.
template <class Rng>
Bytes digestInPieces(uint32_t id, const std::string& data, Rng& rng, size_t maxPiece) {
    DigestContext ctx;
    EXPECT_TRUE(digestStart(&ctx, id));
    std::uniform_int_distribution<size_t> piece(0, maxPiece);
    size_t at = 0;
    while (at < data.size()) {
        size_t take = std::min(piece(rng), data.size() - at);
        EXPECT_TRUE(digestFeed(&ctx, data.data() + at, take));
        at += take;
    }
    Bytes out(digestSize(id));
    uint8_t buffer[kMaxDigestSize];
    EXPECT_TRUE(digestFinish(&ctx, buffer));
    std::copy(buffer, buffer + out.size(), out.begin());
    return out;
}

std::string digestHex(uint32_t id, const std::string& data) {
    DigestContext ctx;
    uint8_t out[kMaxDigestSize];
    digestStart(&ctx, id);
    digestFeed(&ctx, data.data(), data.size());
    digestFinish(&ctx, out);
    return hex(out, digestSize(id));
}

// The SHA-1 engines this processor runs: the portable code always, the SHA instructions where
// present.
std::vector<Sha1Engine> sha1Engines() {
    std::vector<Sha1Engine> engines{Sha1Engine::kPortable};
    if (selectSha1EngineForTesting(Sha1Engine::kShaExtensions))
        engines.push_back(Sha1Engine::kShaExtensions);
    selectSha1EngineForTesting(Sha1Engine::kAuto);
    return engines;
}

class DigestTest : public ::testing::Test {
  protected:
    void TearDown() override { selectSha1EngineForTesting(Sha1Engine::kAuto); }
};

TEST_F(DigestTest, StandardTestSuites) {
    const std::string alnum = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string digits;
    for (int i = 0; i < 8; ++i)
        digits += "1234567890";
    const struct {
        uint32_t id;
        std::string input;
        const char* expected;
    } cases[] = {
        // RFC 1319, appendix A.5
        {kDigestMd2, "", "8350e5a3e24c153df2275c9f80692773"},
        {kDigestMd2, "a", "32ec01ec4a6dac72c0ab96fb34c0b5d1"},
        {kDigestMd2, "abc", "da853b0d3f88d99b30283a69e6ded6bb"},
        {kDigestMd2, "message digest", "ab4f496bfb2a530b219ff33031fe06b0"},
        {kDigestMd2, "abcdefghijklmnopqrstuvwxyz", "4e8ddff3650292ab5a4108c3aa47940b"},
        {kDigestMd2, alnum, "da33def2a42df13975352846c30338cd"},
        {kDigestMd2, digits, "d5976f79d83d3a0dc9806c3c66f3efd8"},
        // RFC 1320, appendix A.5
        {kDigestMd4, "", "31d6cfe0d16ae931b73c59d7e0c089c0"},
        {kDigestMd4, "a", "bde52cb31de33e46245e05fbdbd6fb24"},
        {kDigestMd4, "abc", "a448017aaf21d8525fc10ae87aa6729d"},
        {kDigestMd4, "message digest", "d9130a8164549fe818874806e1c7014b"},
        {kDigestMd4, "abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9"},
        {kDigestMd4, alnum, "043f8582f241db351ce627e153e7f0e4"},
        {kDigestMd4, digits, "e33b4ddc9c38f2199c3e7b164fcc0536"},
        // RFC 1321, appendix A.5
        {kDigestMd5, "", "d41d8cd98f00b204e9800998ecf8427e"},
        {kDigestMd5, "a", "0cc175b9c0f1b6a831c399e269772661"},
        {kDigestMd5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
        {kDigestMd5, "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {kDigestMd5, "abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {kDigestMd5, alnum, "d174ab98d277d9f5a5611c2c9f419d9f"},
        {kDigestMd5, digits, "57edf4a22be3c955ac49da2e2107b67a"},
        // FIPS 180 examples
        {kDigestSha1, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {kDigestSha1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {kDigestSha1, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {kDigestSha1, std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    for (Sha1Engine engine : sha1Engines()) {
        ASSERT_TRUE(selectSha1EngineForTesting(engine));
        for (const auto& c : cases) {
            if (engine != Sha1Engine::kPortable && c.id != kDigestSha1)
                continue;
            EXPECT_EQ(digestHex(c.id, c.input), c.expected)
                << "digest " << c.id << ", input of " << c.input.size() << " bytes, engine "
                << static_cast<int>(engine);
        }
    }
}

TEST_F(DigestTest, DirectCallsMatchTheIdDispatch) {
    const std::string text = "The quick brown fox jumps over the lazy dog";
    uint8_t out[kMaxDigestSize];
    Md2State md2;
    md2Start(&md2);
    md2Feed(&md2, text.data(), text.size());
    md2Finish(&md2, out);
    EXPECT_EQ(hex(out, kMd2Size), digestHex(kDigestMd2, text));
    Md4State md4;
    md4Start(&md4);
    md4Feed(&md4, text.data(), text.size());
    md4Finish(&md4, out);
    EXPECT_EQ(hex(out, kMd4Size), "1bee69a46ba811185c194762abaeae90");
    Md5State md5;
    md5Start(&md5);
    md5Feed(&md5, text.data(), text.size());
    md5Finish(&md5, out);
    EXPECT_EQ(hex(out, kMd5Size), "9e107d9d372bb6826bd81d3542a419d6");
    Sha1State sha1;
    sha1Start(&sha1);
    sha1Feed(&sha1, text.data(), text.size());
    sha1Finish(&sha1, out);
    EXPECT_EQ(hex(out, kSha1Size), "2fd4e1c67a2d28fced849ee1bb76e7391b93eb12");

    DigestContext ctx;
    EXPECT_FALSE(digestStart(&ctx, 1));
    EXPECT_FALSE(digestFeed(&ctx, "x", 1));
    EXPECT_FALSE(digestFinish(&ctx, out));
    EXPECT_FALSE(digestStart(&ctx, 6));
    EXPECT_EQ(digestSize(0), 0u);
    EXPECT_EQ(digestSize(kDigestSha1), kSha1Size);
}

// Random messages of lengths around the block and padding boundaries, and a few large ones,
// each fed in random pieces (small pieces for the short ones, up to several blocks for the
// long ones), against OpenSSL.
TEST_F(DigestTest, RandomMessagesInRandomPiecesMatchOpenSsl) {
    std::mt19937_64 rng(0x5eed14);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 200; ++n)
        lengths.push_back(n);
    for (size_t n : {255, 256, 257, 447, 448, 449, 4095, 4096, 4097, 65536 + 55, 1 << 20})
        lengths.push_back(n);
    const struct {
        uint32_t id;
        const char* name;
    } digests[] = {{kDigestMd4, "MD4"}, {kDigestMd5, "MD5"}, {kDigestSha1, "SHA1"}};
    for (Sha1Engine engine : sha1Engines()) {
        ASSERT_TRUE(selectSha1EngineForTesting(engine));
        for (size_t length : lengths) {
            std::string data(length, '\0');
            for (char& c : data)
                c = static_cast<char>(rng());
            for (const auto& d : digests) {
                if (engine != Sha1Engine::kPortable && d.id != kDigestSha1)
                    continue;
                size_t maxPiece = length < 1000 ? 70 : 5000;
                EXPECT_EQ(digestInPieces(d.id, data, rng, maxPiece),
                          nvl::test::openssl::digest(d.name, data))
                    << d.name << " of " << length << " bytes, engine " << static_cast<int>(engine);
            }
        }
    }
}

// MD2 against Perl's Digest::MD2: the messages go to files, one Perl process digests them all.
TEST_F(DigestTest, Md2MatchesPerlDigestMd2) {
    if (std::system("perl -MDigest::MD2 -e 1 2>/dev/null") != 0)
        GTEST_SKIP() << "Perl's Digest::MD2 (Debian libdigest-md2-perl) is not installed";
    nvl::test::TestEnv env;
    std::mt19937_64 rng(0x3d2);
    std::vector<std::string> messages;
    std::string list;
    for (size_t length : {0, 1, 15, 16, 17, 31, 32, 33, 47, 48, 49, 100, 255, 256, 1000, 4099}) {
        for (int copy = 0; copy < 3; ++copy) {
            std::string data(length, '\0');
            for (char& c : data)
                c = static_cast<char>(rng());
            std::string path = env.writeFile("md2/" + std::to_string(messages.size()), data);
            list += path + "\n";
            messages.push_back(data);
        }
    }
    std::string listPath = env.writeFile("md2/list", list);
    std::string command =
        "perl -MDigest::MD2=md2_hex -e 'while (my $f = <STDIN>) { chomp $f; open(my $h, \"<:raw\", "
        "$f) or die; local $/; my $d = <$h>; $d = \"\" unless defined $d; print md2_hex($d), "
        "\"\\n\" }' < " +
        listPath;
    FILE* perl = ::popen(command.c_str(), "r");
    ASSERT_NE(perl, nullptr);
    std::vector<std::string> expected;
    char line[128];
    while (std::fgets(line, sizeof line, perl) != nullptr)
        expected.emplace_back(line, std::strcspn(line, "\n"));
    ASSERT_EQ(::pclose(perl), 0);
    ASSERT_EQ(expected.size(), messages.size());
    for (size_t i = 0; i < messages.size(); ++i) {
        Bytes ours = digestInPieces(kDigestMd2, messages[i], rng, 40);
        EXPECT_EQ(hex(ours.data(), ours.size()), expected[i])
            << "message of " << messages[i].size() << " bytes";
    }
}

TEST_F(DigestTest, FinishWipesTheStateAndStartReuses) {
    DigestContext ctx;
    uint8_t out[kMaxDigestSize];
    ASSERT_TRUE(digestStart(&ctx, kDigestMd5));
    digestFeed(&ctx, "secret message bytes", 20);
    digestFinish(&ctx, out);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&ctx.md5);
    EXPECT_TRUE(std::all_of(bytes, bytes + sizeof ctx.md5, [](uint8_t b) { return b == 0; }));
    ASSERT_TRUE(digestStart(&ctx, kDigestMd5));
    digestFeed(&ctx, "abc", 3);
    digestFinish(&ctx, out);
    EXPECT_EQ(hex(out, kMd5Size), "900150983cd24fb0d6963f7d28e17f72");
}

}  // namespace
