// The library's own digests against OpenSSL's, and the appended signature check against one
// MD5 pass, on 64 MiB, taking turns in the same run:
//
// - MD5: own against OpenSSL's (assembler) on the same 64 MiB in memory; target: at least 0.80
//   of its throughput.
// - SHA-1: own (the SHA instructions where the processor has them, as the library chooses)
//   against OpenSSL's, which uses them too; target: at least 0.50. The portable code's ratio is
//   printed beside it.
// - VerifyAppendedSignature of a 64 MiB file signed with the build's key (in the page cache)
//   against one own MD5 pass over the same bytes in memory; target: at most 1.2x its time, and
//   a peak RSS growth under 2 MiB (the peak restarted through /proc/self/clear_refs first, so
//   that the set-up cannot hide it). Without the build's private key (a build given its key
//   with CLEANER_SIGNING_KEY), the same check runs with a key of the benchmark's own through
//   open, verifyAppendedSignatureFdWithKey and close, which is what VerifyAppendedSignature is.
#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "signature/appended_signature.h"
#include "signature/digest.h"

namespace {

using namespace nvl::signature;

constexpr size_t kBytes = 64u << 20;

const std::vector<uint8_t>& data() {
    static const std::vector<uint8_t> bytes = [] {
        std::vector<uint8_t> out(kBytes);
        std::mt19937_64 rng(64);
        for (size_t i = 0; i < out.size(); i += 8) {
            uint64_t v = rng();
            std::memcpy(out.data() + i, &v, 8);
        }
        return out;
    }();
    return bytes;
}

void ownDigest(uint32_t id, const std::vector<uint8_t>& bytes) {
    DigestContext ctx;
    uint8_t out[kMaxDigestSize];
    digestStart(&ctx, id);
    digestFeed(&ctx, bytes.data(), bytes.size());
    digestFinish(&ctx, out);
    benchmark::DoNotOptimize(out);
}

void opensslDigest(const EVP_MD* md, const std::vector<uint8_t>& bytes) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), out, &length, md, nullptr) != 1)
        std::abort();
    benchmark::DoNotOptimize(out);
}

void reportThroughput(benchmark::State& state, double subject, double baseline, double target) {
    double mib = static_cast<double>(kBytes) / (1 << 20) * static_cast<double>(state.iterations());
    state.counters["own_MiB_s"] = mib / subject;
    state.counters["openssl_MiB_s"] = mib / baseline;
    state.counters["throughput_ratio"] = baseline / subject;
    state.counters["target_min_ratio"] = target;
}

void BM_Md5_64MiB(benchmark::State& state) {
    const auto& bytes = data();
    double own = 0, openssl = 0;
    for (auto _ : state) {
        openssl += nvl::bench::seconds([&] { opensslDigest(EVP_md5(), bytes); });
        own += nvl::bench::seconds([&] { ownDigest(kDigestMd5, bytes); });
    }
    reportThroughput(state, own, openssl, 0.80);
}

void BM_Sha1_64MiB(benchmark::State& state) {
    const auto& bytes = data();
    double own = 0, portable = 0, openssl = 0;
    for (auto _ : state) {
        openssl += nvl::bench::seconds([&] { opensslDigest(EVP_sha1(), bytes); });
        selectSha1EngineForTesting(Sha1Engine::kAuto);
        own += nvl::bench::seconds([&] { ownDigest(kDigestSha1, bytes); });
        selectSha1EngineForTesting(Sha1Engine::kPortable);
        portable += nvl::bench::seconds([&] { ownDigest(kDigestSha1, bytes); });
        selectSha1EngineForTesting(Sha1Engine::kAuto);
    }
    reportThroughput(state, own, openssl, 0.50);
    state.counters["portable_ratio"] = openssl / portable;
}

EVP_PKEY* signingKey(bool* buildKey) {
    const char* path = CLEANER_SIGNING_PRIVATE_PEM;  // empty when the build was given its key
    EVP_PKEY* key = nullptr;
    if (FILE* f = path[0] != '\0' ? std::fopen(path, "r") : nullptr) {
        key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
        std::fclose(f);
    }
    *buildKey = key != nullptr;
    if (key == nullptr)
        key = EVP_RSA_gen(520);
    if (key == nullptr)
        std::abort();
    return key;
}

struct SignedFile {
    SignedFile() {
        if (::mkdtemp(dir) == nullptr)
            std::abort();
        path = std::string(dir) + "/QXC.EXE";
        EVP_PKEY* key = signingKey(&buildKey);
        const auto& bytes = data();
        unsigned char signature[128];
        size_t length = sizeof signature;
        EVP_MD_CTX* md = EVP_MD_CTX_new();
        if (EVP_DigestSignInit(md, nullptr, EVP_md5(), nullptr, key) != 1 ||
            EVP_DigestSignUpdate(md, bytes.data(), bytes.size()) != 1 ||
            EVP_DigestSignFinal(md, signature, &length) != 1)
            std::abort();
        EVP_MD_CTX_free(md);
        BIGNUM* n = nullptr;
        BIGNUM* e = nullptr;
        if (EVP_PKEY_get_bn_param(key, "n", &n) != 1 || EVP_PKEY_get_bn_param(key, "e", &e) != 1)
            std::abort();
        publicKey.bits = static_cast<uint16_t>(BN_num_bits(n));
        BN_bn2binpad(n, publicKey.modulus, 128);
        BN_bn2binpad(e, publicKey.exponent, 128);
        BN_free(n);
        BN_free(e);
        EVP_PKEY_free(key);

        uint32_t n32 = static_cast<uint32_t>(length);
        unsigned char trailer[4] = {static_cast<unsigned char>(n32), 0, 0, 0};
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(kBytes) ||
            ::write(fd, signature, length) != static_cast<ssize_t>(length) ||
            ::write(fd, trailer, 4) != 4 || ::close(fd) != 0)
            std::abort();
    }
    ~SignedFile() {
        ::unlink(path.c_str());
        ::rmdir(dir);
    }
    int verify() const {
        if (buildKey)
            return VerifyAppendedSignature(path.c_str());
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        int result = verifyAppendedSignatureFdWithKey(fd, publicKey);
        ::close(fd);
        return result;
    }

    char dir[40] = "/tmp/cgishare-signature.XXXXXX";
    std::string path;
    bool buildKey = false;
    RsaPublicKey publicKey{};
};

void BM_VerifyAppendedSignature_64MiB(benchmark::State& state) {
    static SignedFile file;
    const auto& bytes = data();
    // The peak starts before the first check, which also brings the file into the page cache.
    long rssBefore = nvl::bench::resetPeakRss();
    if (file.verify() != 1) {
        std::fprintf(stderr, "the signed file does not verify\n");
        std::abort();
    }
    // Turns: one MD5 pass over the bytes in memory (which allocates nothing), one check.
    double verify = 0, md5 = 0;
    for (auto _ : state) {
        md5 += nvl::bench::seconds([&] { ownDigest(kDigestMd5, bytes); });
        verify += nvl::bench::seconds([&] {
            if (file.verify() != 1)
                std::abort();
        });
    }
    long rssGrowth = nvl::bench::statusKiB("VmHWM") - rssBefore;
    state.counters["verify_ms"] = verify * 1000 / static_cast<double>(state.iterations());
    state.counters["md5_pass_ms"] = md5 * 1000 / static_cast<double>(state.iterations());
    state.counters["x_md5_pass"] = verify / md5;
    state.counters["target_max_x"] = 1.2;
    state.counters["peak_rss_growth_KiB"] = static_cast<double>(rssGrowth);
    state.counters["build_key"] = file.buildKey ? 1 : 0;
}

BENCHMARK(BM_Md5_64MiB)->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha1_64MiB)->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VerifyAppendedSignature_64MiB)->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
