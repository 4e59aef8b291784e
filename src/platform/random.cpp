#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdlib>

namespace nvl::sys {

bool randomBytes(void* buffer, size_t size) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        ssize_t n = ::getrandom(bytes, size, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

uint32_t randomBelow(uint32_t bound) {
    // Reject the top values that would make some results more likely than others.
    const uint32_t limit = UINT32_MAX - UINT32_MAX % bound;
    for (;;) {
        uint32_t value = 0;
        // Without the kernel's generator there is no secret to be had; refusing to go on is
        // the only safe answer.
        if (!randomBytes(&value, sizeof value))
            std::abort();
        if (value < limit)
            return value % bound;
    }
}

}  // namespace nvl::sys
