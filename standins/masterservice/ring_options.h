// The ring settings that nvl-masterservice and nvl-send share: their defaults and the
// command-line options that change them. Both programs must be given the same base name and
// record size.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace nvl::standin {

struct RingOptions {
    std::string name = "Norvel_Master_Request";
    long recordSize = 256;
    long capacity = 64;
};

constexpr char kRingOptionsHelp[] =
    "  --name BASE         base name of the ring's objects (default Norvel_Master_Request)\n"
    "  --record-size N     bytes per request record, 1 to 65536 (default 256)\n";

// Reads a whole decimal number in [low, high]; false (with a message) otherwise.
inline bool parseNumber(const char* program, const char* option, const char* text, long low,
                        long high, long* out) {
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high) {
        std::fprintf(stderr, "%s: %s wants a number from %ld to %ld, not '%s'\n", program, option,
                     low, high, text);
        return false;
    }
    *out = value;
    return true;
}

// Takes "--name" and "--record-size" (with their values) at argv[*i]. Returns 1 when taken,
// 0 when argv[*i] is not one of them, -1 on a bad value.
inline int takeRingOption(const char* program, int argc, char** argv, int* i,
                          RingOptions* options) {
    const char* option = argv[*i];
    bool isName = std::strcmp(option, "--name") == 0;
    bool isSize = std::strcmp(option, "--record-size") == 0;
    if (!isName && !isSize)
        return 0;
    if (*i + 1 >= argc) {
        std::fprintf(stderr, "%s: %s wants a value\n", program, option);
        return -1;
    }
    const char* value = argv[++*i];
    if (isName) {
        // Each object name ("<base>_Event", the longest) must fit 260 characters with its NUL.
        if (*value == '\0' || std::strlen(value) > 253) {
            std::fprintf(stderr, "%s: --name wants 1 to 253 characters\n", program);
            return -1;
        }
        options->name = value;
        return 1;
    }
    return parseNumber(program, option, value, 1, 65536, &options->recordSize) ? 1 : -1;
}

}  // namespace nvl::standin
