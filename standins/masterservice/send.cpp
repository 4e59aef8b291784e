// nvl-send: sends one request record to the master service, as a console page does: one
// SendBuffer call with the record built from the command line (the words joined by spaces,
// NUL-padded to the record size). Exit code 0 when the ring took it, 1 when it did not, 2 for
// a usage error. Settings: README.md beside this file.
#include <cgishare/map_buffer.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ring_options.h"

namespace {

constexpr char kProgram[] = "nvl-send";

const char* meaning(int status) {
    switch (status) {
        case NvlMapBuffer::kMutexFailed:
            return "the ring's mutex was not had in time, or its last owner died";
        case NvlMapBuffer::kFull:
            return "the ring is full";
        case -4:
        case -5:
            return "the ring's memory could not be opened";
        case NvlMapBuffer::kNoMutex:
            return "the ring's mutex could not be opened";
        case NvlMapBuffer::kNoEvent:
            return "no master service runs with this ring";
        case NvlMapBuffer::kBadRegion:
            return "the ring does not have this record size";
        default:
            return "failed";
    }
}

void usage(FILE* out) {
    std::fprintf(out, "usage: %s [--name BASE] [--record-size N] [--] TEXT...\n%s", kProgram,
                 nvl::standin::kRingOptionsHelp);
}

}  // namespace

int main(int argc, char** argv) {
    nvl::standin::RingOptions options;
    std::string text;
    bool haveText = false;
    bool onlyText = false;  // after "--"
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (!onlyText && !haveText) {
            int taken = nvl::standin::takeRingOption(kProgram, argc, argv, &i, &options);
            if (taken < 0)
                return 2;
            if (taken > 0)
                continue;
            if (word == "--") {
                onlyText = true;
                continue;
            }
            if (word == "--help" || word == "-h") {
                usage(stdout);
                return 0;
            }
            if (word.size() > 1 && word[0] == '-') {
                usage(stderr);
                return 2;
            }
        }
        text += (haveText ? " " : "") + word;
        haveText = true;
    }
    if (!haveText) {
        usage(stderr);
        return 2;
    }
    auto size = static_cast<size_t>(options.recordSize);
    if (text.size() > size) {
        std::fprintf(stderr, "%s: %zu bytes of text do not fit a record of %zu bytes\n", kProgram,
                     text.size(), size);
        return 2;
    }
    std::vector<char> record(size, '\0');
    text.copy(record.data(), text.size());

    NvlMapBuffer sender(options.name.c_str(), options.recordSize);
    int status = sender.SendBuffer(record.data());
    if (status != NvlMapBuffer::kOk) {
        std::fprintf(stderr, "%s: SendBuffer returned %d: %s\n", kProgram, status, meaning(status));
        return 1;
    }
    std::printf("%s: sent %zu bytes to %s\n", kProgram, text.size(), options.name.c_str());
    return 0;
}
