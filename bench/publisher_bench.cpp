// The publisher check (VerifyPublisherSignature through wintrust.so, loaded by path) of a
// 64 MiB executable signed in the benchmark's own throw-away PKI, against one OpenSSL SHA-256
// pass over the same file (open, 64 KiB reads, close), taking turns in the same run, the file in
// the page cache for both. Reports both times, their ratio (target: at most 1.3) and how much
// the checks raised the process's peak RSS above its RSS before them (target: under 2 MiB), the
// peak started afresh through /proc/self/clear_refs after one warm-up check, so that the
// one-off start of OpenSSL in the process is not counted but every buffer of a check is.
//
// The executable: a PE32 image with one 64 MiB code section of pseudo-random bytes, made here,
// signed by osslsigncode with SHA-256 for a signer "Halden Labs, Inc." under a root made by the
// openssl command; NVL_TRUST_ROOTS names that root.
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "signature/publisher_signature.h"
#include "signature/publisher_signature_testing.h"

namespace {

constexpr uint32_t kSectionBytes = 64u << 20;

void put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (size_t i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// The headers of a PE32 console image with one code section of kSectionBytes at file offset
// 0x400 (RVA 0x1000).
std::vector<uint8_t> peHeaders() {
    std::vector<uint8_t> h(0x400, 0);
    h[0] = 'M';
    h[1] = 'Z';
    put32(h, 0x3C, 0x80);
    std::memcpy(&h[0x80], "PE\0\0", 4);
    const size_t coff = 0x84, opt = coff + 20, section = opt + 0xE0;
    put16(h, coff + 0, 0x14C);   // i386
    put16(h, coff + 2, 1);       // one section
    put16(h, coff + 16, 0xE0);   // SizeOfOptionalHeader
    put16(h, coff + 18, 0x102);  // executable, 32-bit
    put16(h, opt + 0, 0x10B);
    put32(h, opt + 4, kSectionBytes);  // SizeOfCode
    put32(h, opt + 16, 0x1000);        // AddressOfEntryPoint
    put32(h, opt + 20, 0x1000);        // BaseOfCode
    put32(h, opt + 28, 0x400000);      // ImageBase
    put32(h, opt + 32, 0x1000);        // SectionAlignment
    put32(h, opt + 36, 0x200);         // FileAlignment
    put16(h, opt + 40, 4);
    put16(h, opt + 48, 4);
    put32(h, opt + 56, 0x1000 + kSectionBytes);  // SizeOfImage
    put32(h, opt + 60, 0x400);                   // SizeOfHeaders
    put16(h, opt + 68, 3);                       // console
    put32(h, opt + 72, 0x100000);
    put32(h, opt + 76, 0x1000);
    put32(h, opt + 80, 0x100000);
    put32(h, opt + 84, 0x1000);
    put32(h, opt + 92, 16);  // NumberOfRvaAndSizes
    std::memcpy(&h[section], ".text", 5);
    put32(h, section + 8, kSectionBytes);   // VirtualSize
    put32(h, section + 12, 0x1000);         // VirtualAddress
    put32(h, section + 16, kSectionBytes);  // SizeOfRawData
    put32(h, section + 20, 0x400);          // PointerToRawData
    put32(h, section + 36, 0x60000020);     // code, execute, read
    return h;
}

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::abort();
    }
}

struct Fixture {
    Fixture() {
        if (::mkdtemp(dir) == nullptr)
            std::abort();
        std::string d = dir;
        std::vector<uint8_t> image = peHeaders();
        image.resize(0x400 + size_t{kSectionBytes});
        std::mt19937_64 random(7);
        for (size_t i = 0x400; i + 8 <= image.size(); i += 8) {
            uint64_t v = random();
            std::memcpy(&image[i], &v, 8);
        }
        std::string plain = d + "/plain.exe";
        FILE* f = std::fopen(plain.c_str(), "wb");
        if (f == nullptr || std::fwrite(image.data(), 1, image.size(), f) != image.size() ||
            std::fclose(f) != 0) {
            std::abort();
        }
        std::string quiet = " >/dev/null 2>&1";
        run("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + d + "/root.key -out " + d +
            "/root.pem -subj '/CN=Bench Root' -days 2 -addext basicConstraints=critical,CA:TRUE "
            "-addext keyUsage=critical,keyCertSign" +
            quiet);
        run("openssl req -newkey rsa:2048 -nodes -keyout " + d + "/leaf.key -out " + d +
            "/leaf.csr -subj '/O=Halden Labs, Inc./CN=Halden Labs, Inc.'" + quiet);
        run("printf '[leaf]\\nbasicConstraints=CA:FALSE\\nkeyUsage=critical,digitalSignature\\n"
            "extendedKeyUsage=codeSigning\\n' > " +
            d + "/leaf.cnf");
        run("openssl x509 -req -in " + d + "/leaf.csr -CA " + d + "/root.pem -CAkey " + d +
            "/root.key -set_serial 1 -days 2 -extfile " + d + "/leaf.cnf -extensions leaf -out " +
            d + "/leaf.pem" + quiet);
        path = d + "/signed.exe";
        run("osslsigncode sign -certs " + d + "/leaf.pem -key " + d + "/leaf.key -h sha256 -in " +
            plain + " -out " + path + quiet);
        ::unlink(plain.c_str());
        ::setenv("NVL_TRUST_ROOTS", (d + "/root.pem").c_str(), 1);
        nvl::signature::setTrustLibraryForTesting(WINTRUST_SO);
    }
    ~Fixture() { run("rm -rf '" + std::string(dir) + "'"); }

    char dir[32] = "/tmp/publisher-bench.XXXXXX";
    std::string path;
};

// One OpenSSL SHA-256 pass over the file: open, 64 KiB reads, close.
void sha256Pass(const std::string& path, std::vector<char>* buffer) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (fd < 0 || ctx == nullptr || EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1)
        std::abort();
    for (ssize_t n; (n = ::read(fd, buffer->data(), buffer->size())) > 0;)
        EVP_DigestUpdate(ctx, buffer->data(), static_cast<size_t>(n));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx, digest, &length);
    benchmark::DoNotOptimize(digest);
    EVP_MD_CTX_free(ctx);
    ::close(fd);
}

void BM_PublisherCheck64MiB(benchmark::State& state) {
    static Fixture fixture;
    std::vector<char> buffer(64 * 1024);
    sha256Pass(fixture.path, &buffer);  // into the page cache
    if (nvl::signature::VerifyPublisherSignature(fixture.path.c_str()) != 0) {
        std::fprintf(stderr, "the signed file does not pass\n");
        std::abort();
    }

    long rssBefore = nvl::bench::resetPeakRss();
    double baseline = 0;
    double subject = 0;
    for (auto _ : state) {
        baseline += nvl::bench::seconds([&] { sha256Pass(fixture.path, &buffer); });
        subject += nvl::bench::seconds([&] {
            if (nvl::signature::VerifyPublisherSignature(fixture.path.c_str()) != 0)
                std::abort();
        });
    }
    long rssGrowth = nvl::bench::statusKiB("VmHWM") - rssBefore;

    double n = static_cast<double>(state.iterations());
    state.counters["sha256_ms"] = baseline / n * 1e3;
    state.counters["check_ms"] = subject / n * 1e3;
    state.counters["x_sha256"] = subject / baseline;
    state.counters["peak_rss_growth_KiB"] = static_cast<double>(rssGrowth);
}

BENCHMARK(BM_PublisherCheck64MiB)->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
