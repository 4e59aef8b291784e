// Filling %NAME% placeholders in a page template.
//
// The template is a view of bytes and is read within it only. At each percent sign the names
// are tried in the order given: a name matches when the bytes after the percent sign begin
// with it (case-sensitive) and the byte right after it is again a percent sign. The first
// match replaces the whole placeholder and scanning goes on after its closing percent sign.
// With no match the percent sign is kept and scanning goes on right after it, so a lone
// percent sign stays as it is and its neighbour may still open a placeholder.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string_view>

namespace nvl::cgi {

// Calls `writeText` with each run of the template that stays as it is (a kept percent sign
// is a run of its own) and `writeValue` with the index in `names` of each placeholder
// replaced, in output order. Runs are never empty.
void expandPlaceholders(std::string_view text, std::span<const std::string_view> names,
                        const std::function<void(std::string_view)>& writeText,
                        const std::function<void(size_t)>& writeValue);

}  // namespace nvl::cgi
