// Random numbers for secrets, from the kernel's generator.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nvl::sys {

// Fills `buffer` with `size` random bytes from getrandom(2). False only when the kernel
// cannot deliver them.
bool randomBytes(void* buffer, size_t size);

// A uniformly distributed number in [0, bound), bound > 0, without modulo bias.
uint32_t randomBelow(uint32_t bound);

}  // namespace nvl::sys
