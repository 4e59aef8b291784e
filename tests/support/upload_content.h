// Content for the upload tests of the form reader.
#pragma once

#include <cstddef>
#include <string>

namespace nvl::test {

// `size` bytes of random binary content, the same for the same seed, with what a multipart
// reader may stumble on: CR LF pairs, lone CRs, lines that look like the boundary "XyZ" (an
// opening and a closing one) and like the boundary curl draws. A content of two bytes or more
// ends with CR LF, right before the CR LF that precedes the closing boundary.
std::string binaryUploadContent(size_t size, unsigned seed);

}  // namespace nvl::test
