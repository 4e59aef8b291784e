// nvl-cleaner-pattern: makes the cleaner tool's pattern files (qxc.ptn, hladce.ptn) for the
// demo and the tests, and reads a file's version exactly as the cleaner library does.
//
//   nvl-cleaner-pattern write FILE --version N [--lead A B] [--body-bytes N] [--seed N]
//   nvl-cleaner-pattern version FILE
//
// The file (all numbers little-endian; README.md beside this file has the whole format):
//
//   [leading header, 14 bytes]   only with --lead A B: bytes 0-3 "NVLB" (anything but the
//                                pattern magic), 4-5 A, 6-9 0, 10-11 0, 12-13 B
//   [leading block, A * B bytes] only with --lead: filler generated from the seed
//   pattern header, 14 bytes     bytes 0-3 magic 0x1ABDE21A, 4-5 format revision 1, 6-9 the
//                                body's length, 10-11 the version N (0 to 65535), 12-13 0
//   body, --body-bytes bytes     generated from the seed (default 4096 bytes)
//
// The library reads only the magic, the two counts of a leading header and the version; the
// rest of the pattern header and the body belong to the cleaner tool, and this command fills
// them with plausible values. "write" makes FILE atomically (a temporary file in the same
// directory, flushed and renamed over FILE), so a reader sees the old or the new pattern, never
// half of one. The seed defaults to the version.
//
// Exit status: 0 done, 1 failed or no version, 2 usage.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "cleaner/cleaner.h"
#include "cleaner/pattern_header.h"
#include "number_arg.h"
#include "platform/file.h"

using nvl::tools::parseNumber;

namespace {

namespace cleaner = nvl::cleaner;

constexpr uint64_t kMaxFileBytes = 256u << 20;
constexpr uint64_t kDefaultBodyBytes = 4096;
constexpr uint16_t kFormatRevision = 1;

int usage(FILE* out = stderr) {
    std::fputs(
        "usage: nvl-cleaner-pattern write FILE --version N [--lead A B] [--body-bytes N] "
        "[--seed N]\n"
        "       nvl-cleaner-pattern version FILE\n"
        "  write    makes FILE (atomically): an optional leading 14-byte header with counts A\n"
        "           and B followed by A*B bytes, then the pattern header (magic 0x1ABDE21A,\n"
        "           version N at bytes 10-11, N 0 to 65535) and a generated body\n"
        "  version  prints the version the cleaner library reads from FILE\n"
        "Format: see README.md beside the command's source.\n",
        out);
    return 2;
}

void put16(std::string* out, uint16_t value) {
    out->push_back(static_cast<char>(value & 0xFF));
    out->push_back(static_cast<char>(value >> 8));
}

void put32(std::string* out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        out->push_back(static_cast<char>((value >> shift) & 0xFF));
}

// Filler bytes from a 64-bit xorshift generator: the same seed gives the same file.
void appendFiller(std::string* out, uint64_t count, uint64_t* state) {
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t x = *state;
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        *state = x;
        out->push_back(static_cast<char>(x >> 24));
    }
}

struct WriteOptions {
    uint16_t version = 0;
    bool lead = false;
    uint16_t leadA = 0, leadB = 0;
    uint64_t bodyBytes = kDefaultBodyBytes;
    uint64_t seed = 0;
};

std::string encode(const WriteOptions& options) {
    std::string file;
    uint64_t state = options.seed * 0x9E3779B97F4A7C15ull + 0x2545F4914F6CDD1Dull;
    if (options.lead) {
        file += "NVLB";
        put16(&file, options.leadA);
        put32(&file, 0);
        put16(&file, 0);
        put16(&file, options.leadB);
        appendFiller(&file, uint64_t{options.leadA} * options.leadB, &state);
    }
    put32(&file, cleaner::kPatternMagic);
    put16(&file, kFormatRevision);
    put32(&file, static_cast<uint32_t>(options.bodyBytes));
    put16(&file, options.version);
    put16(&file, 0);
    appendFiller(&file, options.bodyBytes, &state);
    return file;
}

int write(int argc, char** argv) {
    if (argc < 3)
        return usage();
    const char* file = argv[2];
    WriteOptions options;
    bool haveVersion = false;
    bool haveSeed = false;
    for (int i = 3; i < argc; ++i) {
        std::string_view option = argv[i];
        uint64_t number = 0;
        if (option == "--lead") {
            uint64_t b = 0;
            if (i + 2 >= argc || !parseNumber(argv[i + 1], UINT16_MAX, &number) ||
                !parseNumber(argv[i + 2], UINT16_MAX, &b)) {
                std::fputs("nvl-cleaner-pattern: --lead takes two counts 0 to 65535\n", stderr);
                return 2;
            }
            options.lead = true;
            options.leadA = static_cast<uint16_t>(number);
            options.leadB = static_cast<uint16_t>(b);
            i += 2;
            continue;
        }
        if (i + 1 >= argc)
            return usage();
        std::string_view value = argv[++i];
        if (option == "--version") {
            if (!parseNumber(value, UINT16_MAX, &number)) {
                std::fputs("nvl-cleaner-pattern: --version takes 0 to 65535\n", stderr);
                return 2;
            }
            options.version = static_cast<uint16_t>(number);
            haveVersion = true;
        } else if (option == "--body-bytes") {
            if (!parseNumber(value, kMaxFileBytes, &options.bodyBytes)) {
                std::fputs("nvl-cleaner-pattern: --body-bytes takes a byte count\n", stderr);
                return 2;
            }
        } else if (option == "--seed") {
            if (!parseNumber(value, UINT64_MAX, &options.seed)) {
                std::fputs("nvl-cleaner-pattern: --seed takes a number\n", stderr);
                return 2;
            }
            haveSeed = true;
        } else {
            return usage();
        }
    }
    if (!haveVersion)
        return usage();
    if (!haveSeed)
        options.seed = options.version;
    uint64_t total =
        (options.lead ? cleaner::kPatternHeaderSize + uint64_t{options.leadA} * options.leadB : 0) +
        cleaner::kPatternHeaderSize + options.bodyBytes;
    if (total > kMaxFileBytes) {
        std::fprintf(stderr, "nvl-cleaner-pattern: %s: more than %" PRIu64 " bytes\n", file,
                     kMaxFileBytes);
        return 1;
    }
    uint32_t error = nvl::sys::replaceFileAtomically(file, encode(options));
    if (error != 0) {
        std::fprintf(stderr, "nvl-cleaner-pattern: %s: cannot write (error %u)\n", file,
                     static_cast<unsigned>(error));
        return 1;
    }
    return 0;
}

int version(const char* file) {
    nvl::sys::UniqueFd fd(::open(file, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) {
        std::fprintf(stderr, "nvl-cleaner-pattern: %s: cannot open: %s\n", file,
                     std::strerror(errno));
        return 1;
    }
    uint16_t value = 0;
    if (cleaner::readPatternVersionFd(fd.get(), &value) != cleaner::kCleanerOk) {
        std::fprintf(stderr,
                     "nvl-cleaner-pattern: %s: no version: not a regular file, shorter than a "
                     "header, or no pattern header where the headers lead\n",
                     file);
        return 1;
    }
    std::printf("%u\n", static_cast<unsigned>(value));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return usage();
    std::string_view command = argv[1];
    if (command == "--help" || command == "-h") {
        usage(stdout);
        return 0;
    }
    if (command == "write")
        return write(argc, argv);
    if (command == "version" && argc == 3)
        return version(argv[2]);
    return usage();
}
