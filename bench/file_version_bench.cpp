// The version read of a 64 MiB executable (GetFileVersionInfoSizeA, GetFileVersionInfoA, and
// VerQueryValueA of the root and of the translation table, as the cleaner's version check does
// it) against opening the same file, reading its first 4 KiB and closing it.
//
// The executable is a PE32 image made here: a 64 MiB code section, then the resource section
// with the version block, so the block lies at the far end of the file. Each iteration times
// both, one after the other, so that the ratio compares them under the same load. Counters:
// base_us (open, 4 KiB read, close), version_us (the four calls), ratio (version / base),
// target (3).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "platform/file_version.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;

constexpr uint32_t kCodeSize = 64u << 20;

void put16(Bytes* b, size_t at, uint32_t v) {
    (*b)[at] = static_cast<unsigned char>(v);
    (*b)[at + 1] = static_cast<unsigned char>(v >> 8);
}
void put32(Bytes* b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        (*b)[at + i] = static_cast<unsigned char>(v >> (8 * i));
}
void pad4(Bytes* b) {
    b->resize((b->size() + 3) & ~size_t{3});
}

// One node of a version block: header, key, value, children (each already encoded).
Bytes node(const char* key, uint16_t type, const Bytes& value, uint32_t valueLength,
           const std::vector<Bytes>& children) {
    Bytes out(6, 0);
    for (const char* k = key;; ++k) {
        out.push_back(static_cast<unsigned char>(*k));
        out.push_back(0);
        if (*k == '\0')
            break;
    }
    pad4(&out);
    out.insert(out.end(), value.begin(), value.end());
    for (const Bytes& child : children) {
        pad4(&out);
        out.insert(out.end(), child.begin(), child.end());
    }
    put16(&out, 0, static_cast<uint32_t>(out.size()));
    put16(&out, 2, valueLength);
    put16(&out, 4, type);
    return out;
}

Bytes versionBlock() {
    Bytes fixed(52, 0);
    put32(&fixed, 0, 0xFEEF04BD);
    put32(&fixed, 4, 0x10000);
    put32(&fixed, 8, 3u << 16 | 10);
    Bytes special;
    for (char c : std::string("bench-build")) {
        special.push_back(static_cast<unsigned char>(c));
        special.push_back(0);
    }
    special.insert(special.end(), {0, 0});
    Bytes translation(4);
    put32(&translation, 0, 0x04B00409);
    Bytes leaf = node("SpecialBuild", 1, special, static_cast<uint32_t>(special.size() / 2), {});
    Bytes table = node("040904B0", 1, {}, 0, {leaf});
    Bytes strings = node("StringFileInfo", 1, {}, 0, {table});
    Bytes var = node("Translation", 0, translation, 4, {});
    Bytes vars = node("VarFileInfo", 1, {}, 0, {var});
    return node("VS_VERSION_INFO", 0, fixed, 52, {strings, vars});
}

// Writes the executable to `path`: headers, the code section, the resource section.
void writeExecutable(const std::string& path) {
    constexpr uint32_t kHeaders = 0x400, kAlign = 0x200;
    constexpr uint32_t kCodeRva = 0x1000, kResourceRva = kCodeRva + kCodeSize;
    const uint32_t resourceRaw = kHeaders + kCodeSize;

    const Bytes block = versionBlock();
    // Type 16 -> name 1 -> language 0x409 -> data entry -> the block.
    Bytes rsrc(0x58 + block.size(), 0);
    std::copy(block.begin(), block.end(), rsrc.begin() + 0x58);
    put16(&rsrc, 14, 1);
    put32(&rsrc, 16, 16);
    put32(&rsrc, 20, 0x80000000u | 0x18);
    put16(&rsrc, 0x18 + 14, 1);
    put32(&rsrc, 0x28, 1);
    put32(&rsrc, 0x2C, 0x80000000u | 0x30);
    put16(&rsrc, 0x30 + 14, 1);
    put32(&rsrc, 0x40, 0x409);
    put32(&rsrc, 0x44, 0x48);
    put32(&rsrc, 0x48, kResourceRva + 0x58);
    put32(&rsrc, 0x4C, static_cast<uint32_t>(block.size()));
    const uint32_t rsrcRaw = static_cast<uint32_t>((rsrc.size() + kAlign - 1) & ~(kAlign - 1));
    rsrc.resize(rsrcRaw);

    Bytes h(kHeaders, 0);
    const size_t pe = 0x80, opt = pe + 24, sections = opt + 0xE0;
    h[0] = 'M';
    h[1] = 'Z';
    put32(&h, 0x3C, pe);
    std::memcpy(&h[pe], "PE\0\0", 4);
    put16(&h, pe + 4, 0x14C);
    put16(&h, pe + 6, 2);
    put16(&h, pe + 20, 0xE0);
    put16(&h, opt, 0x10B);
    put32(&h, opt + 60, kHeaders);
    put32(&h, opt + 92, 16);
    put32(&h, opt + 96 + 16, kResourceRva);
    put32(&h, opt + 96 + 20, static_cast<uint32_t>(rsrc.size()));
    auto section = [&](size_t at, const char* name, uint32_t rva, uint32_t size, uint32_t raw) {
        std::memcpy(&h[at], name, std::strlen(name));
        put32(&h, at + 8, size);
        put32(&h, at + 12, rva);
        put32(&h, at + 16, size);
        put32(&h, at + 20, raw);
    };
    section(sections, ".text", kCodeRva, kCodeSize, kHeaders);
    section(sections + 40, ".rsrc", kResourceRva, rsrcRaw, resourceRaw);

    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        std::abort();
    std::vector<char> code(1 << 20, static_cast<char>(0xCC));
    bool ok = ::write(fd, h.data(), h.size()) == static_cast<ssize_t>(h.size());
    for (uint32_t done = 0; ok && done < kCodeSize; done += static_cast<uint32_t>(code.size()))
        ok = ::write(fd, code.data(), code.size()) == static_cast<ssize_t>(code.size());
    ok = ok && ::write(fd, rsrc.data(), rsrc.size()) == static_cast<ssize_t>(rsrc.size());
    if (!ok || ::close(fd) != 0)
        std::abort();
}

// What the cleaner's version check does: size, data, the root and the translation table.
uint32_t readVersion(const char* path) {
    uint32_t handle = 0;
    uint32_t size = nvl::sys::getFileVersionInfoSizeA(path, &handle);
    if (size == 0)
        std::abort();
    void* buffer = std::malloc(size + 1);
    if (buffer == nullptr || !nvl::sys::getFileVersionInfoA(path, handle, size, buffer))
        std::abort();
    void* value = nullptr;
    uint32_t length = 0;
    uint32_t ms = 0, translation = 0;
    if (!nvl::sys::verQueryValueA(buffer, "\\", &value, &length))
        std::abort();
    std::memcpy(&ms, static_cast<char*>(value) + 8, 4);
    if (!nvl::sys::verQueryValueA(buffer, "\\VarFileInfo\\Translation", &value, &length))
        std::abort();
    std::memcpy(&translation, value, 4);
    std::free(buffer);
    return ms ^ translation;
}

void BM_VersionRead64MiB(benchmark::State& state) {
    char dir[] = "/tmp/cgishare-version.XXXXXX";
    if (::mkdtemp(dir) == nullptr)
        std::abort();
    std::string path = std::string(dir) + "/QXC.EXE";
    writeExecutable(path);
    std::vector<char> head(4096);
    readVersion(path.c_str());  // warm the page cache and the code page

    Clock::duration base{}, version{};
    for (auto _ : state) {
        Clock::time_point t0 = Clock::now();
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        benchmark::DoNotOptimize(::read(fd, head.data(), head.size()));
        ::close(fd);
        Clock::time_point t1 = Clock::now();
        benchmark::DoNotOptimize(readVersion(path.c_str()));
        Clock::time_point t2 = Clock::now();
        base += t1 - t0;
        version += t2 - t1;
    }
    double iterations = static_cast<double>(state.iterations());
    double baseUs = std::chrono::duration<double, std::micro>(base).count() / iterations;
    double versionUs = std::chrono::duration<double, std::micro>(version).count() / iterations;
    state.counters["base_us"] = baseUs;
    state.counters["version_us"] = versionUs;
    state.counters["ratio"] = versionUs / baseUs;
    state.counters["target"] = 3;
    ::unlink(path.c_str());
    ::rmdir(dir);
}
BENCHMARK(BM_VersionRead64MiB)->MinTime(2.0)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
