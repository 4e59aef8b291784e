// nvl-pattern: makes and checks the scan engine's pattern files (the demo, tests, an
// administrator trying a file before it goes to the server).
//
//   nvl-pattern write FILE --internal-version N --type NAME:ACT1:ACT2 ... --extensions LIST
//                     [--body-bytes N] [--seed N]
//   nvl-pattern check FILE     whether the engine takes FILE (whole file, checksums included),
//                              and if not, why
//   nvl-pattern version FILE   the internal version from the header, as the engine's version
//                              query reads it
//
// "write" makes FILE atomically (a temporary file in the same directory, renamed over FILE), so
// a server directory never shows half a pattern. The body is generated from the seed (default:
// the internal version), 64 KiB unless --body-bytes says otherwise. A type's name is everything
// before the last two colons.
//
// Exit status: 0 done or accepted, 1 refused or failed, 2 usage.
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "number_arg.h"
#include "pattern_format.h"

using nvl::tools::parseNumber;

namespace {

using marlin32::MajorType;
using marlin32::PatternContent;
using marlin32::PatternInfo;

int usage() {
    std::fputs(
        "usage: nvl-pattern write FILE --internal-version N --type NAME:ACT1:ACT2 ...\n"
        "                         --extensions '{*;EXE;COM;DLL}' [--body-bytes N] [--seed N]\n"
        "       nvl-pattern check FILE\n"
        "       nvl-pattern version FILE\n",
        stderr);
    return 2;
}

bool parseType(std::string_view text, MajorType* type) {
    size_t second = text.rfind(':');
    if (second == std::string_view::npos || second == 0)
        return false;
    size_t first = text.rfind(':', second - 1);
    if (first == std::string_view::npos)
        return false;
    uint64_t act1 = 0;
    uint64_t act2 = 0;
    if (!parseNumber(text.substr(first + 1, second - first - 1), UINT16_MAX, &act1) ||
        !parseNumber(text.substr(second + 1), UINT16_MAX, &act2)) {
        return false;
    }
    type->name = std::string(text.substr(0, first));
    type->firstAction = static_cast<uint16_t>(act1);
    type->secondAction = static_cast<uint16_t>(act2);
    return true;
}

int refused(const char* file, int32_t status) {
    std::printf("%s: refused: %s (%d): %s\n", file, marlin32::statusName(status), status,
                marlin32::statusText(status));
    return 1;
}

int write(int argc, char** argv) {
    if (argc < 3)
        return usage();
    const char* file = argv[2];
    PatternContent content;
    bool haveVersion = false;
    bool haveExtensions = false;
    bool haveSeed = false;
    uint64_t bodyBytes = 64 * 1024;
    uint64_t seed = 0;
    for (int i = 3; i < argc; ++i) {
        std::string_view option = argv[i];
        if (i + 1 >= argc)
            return usage();
        std::string_view value = argv[++i];
        uint64_t number = 0;
        if (option == "--internal-version") {
            if (!parseNumber(value, UINT32_MAX, &number)) {
                std::fprintf(stderr, "nvl-pattern: --internal-version takes 0 to 4294967295\n");
                return 2;
            }
            content.internalVersion = static_cast<uint32_t>(number);
            haveVersion = true;
        } else if (option == "--type") {
            MajorType type;
            if (!parseType(value, &type)) {
                std::fprintf(stderr, "nvl-pattern: --type takes NAME:ACT1:ACT2 (codes 0-65535)\n");
                return 2;
            }
            content.types.push_back(std::move(type));
        } else if (option == "--extensions") {
            content.extList = std::string(value);
            haveExtensions = true;
        } else if (option == "--body-bytes") {
            if (!parseNumber(value, UINT64_MAX / 2, &bodyBytes)) {
                std::fprintf(stderr, "nvl-pattern: --body-bytes takes a byte count\n");
                return 2;
            }
        } else if (option == "--seed") {
            if (!parseNumber(value, UINT64_MAX, &seed)) {
                std::fprintf(stderr, "nvl-pattern: --seed takes a number\n");
                return 2;
            }
            haveSeed = true;
        } else {
            return usage();
        }
    }
    if (!haveVersion || !haveExtensions)
        return usage();
    if (!haveSeed)
        seed = content.internalVersion;
    std::string error;
    int32_t status = marlin32::writePatternFileAtomically(file, content, bodyBytes, seed, &error);
    if (status != marlin32::kOk) {
        std::fprintf(stderr, "nvl-pattern: %s: %s\n", file, error.c_str());
        return 1;
    }
    return 0;
}

int check(const char* file) {
    PatternInfo info;
    int32_t status = marlin32::readPatternFile(file, &info);
    if (status != marlin32::kOk)
        return refused(file, status);
    std::printf("%s: accepted: internal version %" PRIu32 ", %zu major types, extensions %s\n",
                file, info.content.internalVersion, info.content.types.size(),
                info.content.extList.c_str());
    for (const MajorType& type : info.content.types) {
        std::printf("  %-16s %5u %5u\n", type.name.c_str(), static_cast<unsigned>(type.firstAction),
                    static_cast<unsigned>(type.secondAction));
    }
    return 0;
}

int version(const char* file) {
    PatternInfo info;
    int32_t status = marlin32::readHeaderFile(file, &info);
    if (status != marlin32::kOk)
        return refused(file, status);
    std::printf("%" PRIu32 "\n", info.content.internalVersion);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return usage();
    std::string_view command = argv[1];
    if (command == "write")
        return write(argc, argv);
    if (command == "check" && argc == 3)
        return check(argv[2]);
    if (command == "version" && argc == 3)
        return version(argv[2]);
    return usage();
}
