// The appended signature check on files: the trailer's edge cases, tampering anywhere in a
// signed file, every truncation, files that cannot be examined, the descriptor's offset; then
// the build's key and the signing command nvl-sign-appended end to end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "openssl_peer.h"
#include "signature/appended_signature.h"
#include "support/test_env.h"

namespace {

using namespace nvl::signature;
namespace ossl = nvl::test::openssl;
using ossl::Bytes;

const std::string kBinaryDir = CGISHARE_BINARY_DIR;
const std::string kSignTool = kBinaryDir + "/tools/nvlsign/nvl-sign-appended";
// The build's key files; no private key when the build was given its public key.
const std::string kPrivateKey = CLEANER_SIGNING_PRIVATE_PEM;
const std::string kPublicKey = CLEANER_SIGNING_PUBLIC_PEM;

std::string le32(uint32_t v) {
    return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
            static_cast<char>(v >> 24)};
}

std::string appendSignature(EVP_PKEY* key, const std::string& content) {
    Bytes signature = ossl::signWith(key, "MD5", content);
    return content + std::string(signature.begin(), signature.end()) +
           le32(static_cast<uint32_t>(signature.size()));
}

std::string randomBytes(size_t length, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::string out(length, '\0');
    for (char& c : out)
        c = static_cast<char>(rng());
    return out;
}

// The check of `bytes` held in an anonymous memory file.
int verifyBytes(const std::string& bytes, const RsaPublicKey& key) {
    int fd = ::memfd_create("appended", MFD_CLOEXEC);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    int result = verifyAppendedSignatureFdWithKey(fd, key);
    ::close(fd);
    return result;
}

class AppendedSignatureTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        key_ = new ossl::Key(ossl::generateRsa(520));
        other_ = new ossl::Key(ossl::generateRsa(520));
    }
    static void TearDownTestSuite() {
        delete key_;
        delete other_;
    }
    static EVP_PKEY* key() { return key_->get(); }
    static RsaPublicKey pub() { return ossl::publicKeyOf(key()); }

    static ossl::Key* key_;
    static ossl::Key* other_;
};
ossl::Key* AppendedSignatureTest::key_ = nullptr;
ossl::Key* AppendedSignatureTest::other_ = nullptr;

TEST_F(AppendedSignatureTest, TrailerAndContent) {
    const RsaPublicKey key = pub();
    const std::string content = randomBytes(10000, 1);
    const std::string signedFile = appendSignature(this->key(), content);
    const size_t n = 65;
    auto withTrailer = [&](uint32_t value) {
        return signedFile.substr(0, signedFile.size() - 4) + le32(value);
    };
    const struct {
        const char* name;
        std::string bytes;
        int expected;
    } cases[] = {
        {"signed", signedFile, 1},
        {"one byte of content", appendSignature(this->key(), "x"), 1},
        // The read buffer's edges: content of exactly one buffer, and one byte more.
        {"a buffer of content", appendSignature(this->key(), randomBytes(kAppendedReadBuffer, 2)),
         1},
        {"a buffer and a byte",
         appendSignature(this->key(), randomBytes(kAppendedReadBuffer + 1, 3)), 1},
        {"no content (n = S - 4)", appendSignature(this->key(), "").substr(0), 0},
        {"signed by another key", appendSignature(other_->get(), content), 0},
        {"trailer 0", withTrailer(0), 0},
        {"trailer 129", content + std::string(129, '\x01') + le32(129), 0},
        {"trailer n - 1", withTrailer(n - 1), 0},
        {"trailer n + 1", withTrailer(n + 1), 0},
        {"trailer S - 4", withTrailer(static_cast<uint32_t>(signedFile.size() - 4)), 0},
        {"trailer 0xFFFFFFFF", withTrailer(0xffffffffu), 0},
        {"4 bytes", le32(1), 0},
        {"3 bytes", "abc", 0},
        {"empty", "", 0},
        {"5 bytes, n = 1", "s" + le32(1), 0},
        {"byte appended", signedFile + "x", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(verifyBytes(c.bytes, key), c.expected) << c.name;
}

// Any changed byte, anywhere, fails the check, and so does every truncation.
TEST_F(AppendedSignatureTest, EveryFlipAndTruncationFails) {
    const RsaPublicKey key = pub();
    const std::string signedFile = appendSignature(this->key(), randomBytes(300, 4));
    ASSERT_EQ(verifyBytes(signedFile, key), 1);
    for (size_t i = 0; i < signedFile.size(); ++i) {
        std::string flipped = signedFile;
        flipped[i] = static_cast<char>(flipped[i] ^ (1 << (i % 8)));
        EXPECT_EQ(verifyBytes(flipped, key), 0) << "bit flipped in byte " << i;
    }
    for (size_t length = 0; length < signedFile.size(); ++length)
        EXPECT_EQ(verifyBytes(signedFile.substr(0, length), key), 0) << "cut to " << length;
}

TEST_F(AppendedSignatureTest, FilesThatCannotBeExamined) {
    nvl::test::TestEnv env;
    const RsaPublicKey key = pub();
    std::string signedPath = env.writeFile("signed.exe", appendSignature(this->key(), "MZ..."));
    int writeOnly = ::open(signedPath.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writeOnly, 0);
    EXPECT_EQ(verifyAppendedSignatureFdWithKey(writeOnly, key), -1);
    ::close(writeOnly);
    EXPECT_EQ(verifyAppendedSignatureFdWithKey(-1, key), -1);
    int directory = ::open(env.root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    EXPECT_EQ(verifyAppendedSignatureFdWithKey(directory, key), -1);
    ::close(directory);

    std::string fifo = env.root() + "/fifo.exe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(VerifyAppendedSignature(fifo.c_str()), -1);  // refused, not waited on
    EXPECT_EQ(VerifyAppendedSignature(nullptr), -1);
    EXPECT_EQ(VerifyAppendedSignature((env.root() + "/missing.exe").c_str()), -1);
    EXPECT_EQ(VerifyAppendedSignature(env.root().c_str()), -1);
}

// Positional reads: the caller's offset neither matters nor moves, and the check sees the file
// the descriptor holds even after its name has gone to another file.
TEST_F(AppendedSignatureTest, DescriptorOffsetAndIdentity) {
    nvl::test::TestEnv env;
    const RsaPublicKey key = pub();
    std::string path = env.writeFile("QXC.EXE", appendSignature(this->key(), randomBytes(5000, 5)));
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::lseek(fd, 1234, SEEK_SET), 1234);
    env.writeFile("other", "unsigned");
    ASSERT_EQ(::rename((env.root() + "/other").c_str(), path.c_str()), 0);
    EXPECT_EQ(verifyAppendedSignatureFdWithKey(fd, key), 1);
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 1234);
    ::close(fd);
}

// The key compiled into the library is the build's public key.
TEST(CleanerSigningKeyTest, IsTheBuildsPublicKey) {
    FILE* file = std::fopen(kPublicKey.c_str(), "r");
    ASSERT_NE(file, nullptr) << kPublicKey;
    EVP_PKEY* key = PEM_read_PUBKEY(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    ASSERT_NE(key, nullptr);
    RsaPublicKey expected = ossl::publicKeyOf(key);
    EVP_PKEY_free(key);
    if (kPrivateKey.empty())
        EXPECT_EQ(CleanerSigningKey.bits, expected.bits);
    else
        EXPECT_EQ(CleanerSigningKey.bits, 520);  // the pair the build made
    EXPECT_EQ(std::memcmp(&CleanerSigningKey, &expected, sizeof expected), 0);
}

int run(const std::string& command) {
    int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The signing command with the build's private key: what it signs, the library accepts.
TEST(SignAppendedCommandTest, SignsWhatTheLibraryAccepts) {
    if (kPrivateKey.empty())
        GTEST_SKIP() << "the build was given its key (CLEANER_SIGNING_KEY); no private key";
    nvl::test::TestEnv env;
    std::string content = randomBytes(200000, 6);
    std::string input = env.writeFile("in/QXC.EXE", content);
    ::chmod(input.c_str(), 0751);
    std::string output = env.root() + "/out.exe";
    const std::string sign = kSignTool + " --key " + kPrivateKey + " ";

    ASSERT_EQ(run(sign + input + " " + output), 0);
    EXPECT_EQ(VerifyAppendedSignature(output.c_str()), 1);
    EXPECT_EQ(VerifyAppendedSignature(input.c_str()), 0);
    std::string signedBytes = nvl::test::readFile(output);
    EXPECT_EQ(signedBytes.size(), content.size() + 65 + 4);
    EXPECT_EQ(signedBytes.substr(0, content.size()), content);
    EXPECT_EQ(signedBytes.substr(signedBytes.size() - 4), le32(65));
    struct stat st {};
    ASSERT_EQ(::stat(output.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0751u);

    // In place; a second signature with the same key is refused unless forced.
    ASSERT_EQ(run(sign + input), 0);
    EXPECT_EQ(nvl::test::readFile(input), signedBytes);
    EXPECT_EQ(run(sign + input), 1);
    EXPECT_EQ(nvl::test::readFile(input), signedBytes);
    EXPECT_EQ(run(sign + "--force " + input), 0);
    EXPECT_EQ(VerifyAppendedSignature(input.c_str()), 1);
    EXPECT_EQ(nvl::test::readFile(input).size(), signedBytes.size() + 69);

    // --verify speaks for the library; nothing is left behind in the directories.
    EXPECT_EQ(run(kSignTool + " --verify " + output), 0);
    EXPECT_EQ(run(kSignTool + " --verify " + env.writeFile("plain", "plain")), 1);
    EXPECT_EQ(run(sign + env.root() + "/missing " + output), 1);
    EXPECT_EQ(run(kSignTool + " --key " + env.writeFile("bad.pem", "no key") + " " + output), 1);
    EXPECT_EQ(run(kSignTool + " " + input), 2);
    EXPECT_EQ(run("ls -a " + env.root() + " " + env.root() + "/in | grep -q nvl-sign"), 1);
}

}  // namespace
