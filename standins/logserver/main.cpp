// nvl-logserver: the receiving end of the trace pipe. See README.md beside this file.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "log_server.h"
#include "platform/paths.h"

namespace {

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: nvl-logserver [--log FILE] [--stdout] [--ready-fd N]\n"
                 "  --log FILE     append the traces to FILE (default: trace.log in the\n"
                 "                 runtime directory)\n"
                 "  --stdout       also write every line to standard output\n"
                 "  --ready-fd N   write one byte to descriptor N and close it once clients\n"
                 "                 can connect\n"
                 "Stops cleanly on SIGTERM or SIGINT. The pipe lives in $NVL_RUNTIME_DIR/pipe.\n");
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
            char* end = nullptr;
            long fd = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || fd < 0 || fd > 65535) {
                usage(stderr);
                return 2;
            }
            options.readyFd = static_cast<int>(fd);
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
