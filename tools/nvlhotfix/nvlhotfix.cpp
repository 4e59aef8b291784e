// nvl-hotfix: rebuilds the download packages of the hot-fix rebuild (cgishare/hotfix.h) from the
// sources in the server home, as the console's Hot fix page does after an upload: for setting
// up a server (the demo lays out its packages so), or after files were put in place by hand.
//
//   nvl-hotfix [KIND...]    kinds 0 to 4 and 6 to 9; every one of them when none is named
//
// It prints one line per kind: "kind 0: rebuilt 0.349.00", or "kind 3: not rebuilt 1207" (the
// package holds that version already, or a step failed: the trace, prefix "Hotfix>", tells
// which), or "kind 6: not rebuilt" when no version could be read (no source).
//
// The library finds the zip utility hlu.so and the scan engine MARLIN32.so by bare name (beside
// this program, then on the loader's path: LD_LIBRARY_PATH). The spyware engine's pattern (kind
// 8) is read under the engine's load mutex, which the server's services create and keep; on a
// server whose services are stopped the command makes it for its own run.
//
// Exit status: 0 done (whatever each kind's outcome), 2 usage.
#include <cgishare/hotfix.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/named_object.h"

namespace {

constexpr int kKinds[] = {0, 1, 2, 3, 4, 6, 7, 8, 9};
constexpr char kTarskMutex[] = "Halden_TARSK_Load_Mutex";

bool parseKind(const char* text, int* kind) {
    if (text[0] < '0' || text[0] > '9' || text[1] != '\0')
        return false;
    *kind = text[0] - '0';
    for (int known : kKinds) {
        if (known == *kind)
            return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> kinds;
    for (int i = 1; i < argc; ++i) {
        int kind = 0;
        if (!parseKind(argv[i], &kind)) {
            std::fprintf(stderr, "usage: nvl-hotfix [KIND...]   (kinds 0-4, 6-9)\n");
            return 2;
        }
        kinds.push_back(kind);
    }
    if (kinds.empty())
        kinds.assign(std::begin(kKinds), std::end(kKinds));

    nvl::sys::Handle loadMutex = nvl::sys::createMutex(kTarskMutex, false);
    for (int kind : kinds) {
        char version[256] = {};
        int rebuilt = rebuildPtnZip(kind, version, sizeof version);
        std::printf("kind %d: %s%s%s\n", kind, rebuilt == 1 ? "rebuilt" : "not rebuilt",
                    version[0] != '\0' ? " " : "", version);
    }
    return 0;
}
