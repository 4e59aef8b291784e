// The check of a response for its success marker, as t_httpAccessEx makes it.
#pragma once

#include <cstdint>
#include <string_view>

namespace nvl::http {

// `head`: the first bytes of the response file (at most 1023 are looked at); `opened`: whether
// the file could be opened, `size` its length. "STATUS=2" anywhere in the head (any case) sets
// *pending to 1 (when given); "STATUS=1" gives 1; else a file of exactly the two bytes "OK"
// gives 1, any other -8, and a file that could not be opened -21.
int responseVerdict(std::string_view head, bool opened, uint64_t size, int* pending);

}  // namespace nvl::http
