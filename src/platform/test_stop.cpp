#include "platform/test_stop.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

namespace nvl::sys {

namespace {

struct StopAt {
    std::string point;
    long passing = 1;
    std::atomic<long> seen{0};
};

StopAt* stopAt() {
    static StopAt* const configured = [] {
        const char* text = std::getenv("TARSK_TEST_STOP_AT");
        if (text == nullptr || *text == 0)
            return static_cast<StopAt*>(nullptr);
        auto* s = new StopAt;
        const char* colon = std::strchr(text, ':');
        s->point.assign(text,
                        colon != nullptr ? static_cast<size_t>(colon - text) : std::strlen(text));
        if (colon != nullptr) {
            long n = std::strtol(colon + 1, nullptr, 10);
            s->passing = n > 0 ? n : 1;
        }
        return s;
    }();
    return configured;
}

}  // namespace

void testStopPoint(const char* point) {
    StopAt* s = stopAt();
    if (s == nullptr || s->point != point)
        return;
    if (s->seen.fetch_add(1) + 1 == s->passing)
        ::kill(::getpid(), SIGSTOP);
}

}  // namespace nvl::sys
