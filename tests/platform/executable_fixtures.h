// The test executables that scripts/make-test-executables.sh makes into the build tree
// (fixtures/executables/, listed in its README.txt), for the PE reader's and the version
// resource's tests.
#pragma once

#include <string>
#include <vector>

#include "support/test_env.h"

namespace nvl::test {

inline std::string executableFixture(const std::string& name) {
    return std::string(CGISHARE_BINARY_DIR) + "/fixtures/executables/" + name;
}

// The bytes of a fixture, in a vector of exactly their size (so that AddressSanitizer sees a
// read past the end); empty when the fixture was not made.
inline std::vector<unsigned char> executableBytes(const std::string& name) {
    std::string text = readFile(executableFixture(name));
    return std::vector<unsigned char>(text.begin(), text.end());
}

}  // namespace nvl::test
