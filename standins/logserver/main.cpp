// nvl-logserver: the receiving end of the trace pipe. See README.md beside this file.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "log_server.h"
#include "platform/paths.h"

namespace {

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: nvl-logserver [--log FILE] [--stdout] [--ready-fd N] [--idle-ms N]\n"
                 "                     [--max-per-user N]\n"
                 "  --log FILE         append the traces to FILE (default: trace.log in the\n"
                 "                     runtime directory); created with mode 0640\n"
                 "  --stdout           also write every line to standard output\n"
                 "  --ready-fd N       write one byte to descriptor N and close it once clients\n"
                 "                     can connect\n"
                 "  --idle-ms N        close a connection that has sent nothing for N ms\n"
                 "                     (default 5000)\n"
                 "  --max-per-user N   connections one account may hold without sending; beyond\n"
                 "                     that its oldest is closed (default 256)\n"
                 "Stops cleanly on SIGTERM or SIGINT. The pipe lives in $NVL_RUNTIME_DIR/pipe.\n");
}

// A decimal number in [low, high].
bool parseNumber(const char* text, long low, long high, long* out) {
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value < low || value > high)
        return false;
    *out = value;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    nvl::logserver::Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--log" && i + 1 < argc) {
            options.logPath = argv[++i];
        } else if (arg == "--stdout") {
            options.toStdout = true;
        } else if (arg == "--ready-fd" && i + 1 < argc) {
            long fd = 0;
            if (!parseNumber(argv[++i], 0, 65535, &fd)) {
                usage(stderr);
                return 2;
            }
            options.readyFd = static_cast<int>(fd);
        } else if (arg == "--idle-ms" && i + 1 < argc) {
            long ms = 0;
            if (!parseNumber(argv[++i], 1, 24L * 3600 * 1000, &ms)) {
                usage(stderr);
                return 2;
            }
            options.idleMs = static_cast<int>(ms);
        } else if (arg == "--max-per-user" && i + 1 < argc) {
            long count = 0;
            if (!parseNumber(argv[++i], 1, 1000000, &count)) {
                usage(stderr);
                return 2;
            }
            options.maxPerUser = static_cast<size_t>(count);
        } else if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        } else {
            usage(stderr);
            return 2;
        }
    }
    if (options.logPath.empty())
        options.logPath = nvl::sys::runtimeDir() + "/trace.log";
    return nvl::logserver::runLogServer(options);
}
