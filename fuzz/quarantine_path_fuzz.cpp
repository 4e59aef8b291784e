// The quarantine path check on arbitrary texts, the null path included.
//
// Input: the bytes up to the first NUL are the path, in a heap block of exactly its length and
// its NUL, so a read or write past it is caught by the address sanitizer. Checks the answer
// against the accepted forms and that only a URL changes, and then only by a NUL that cuts it
// at the first '/' after its scheme.
#include <cgishare/pattern_files.h>
#include <strings.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace {

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

bool letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096)
        return 0;
    static bool nullChecked = false;
    if (!nullChecked) {
        check(ChkQuarantinePath(nullptr) == 0);
        nullChecked = true;
    }
    std::string original(reinterpret_cast<const char*>(data), size);
    original = original.c_str();
    std::unique_ptr<char[]> path(new char[original.size() + 1]);
    std::memcpy(path.get(), original.c_str(), original.size() + 1);

    int result = ChkQuarantinePath(path.get());
    std::string after = path.get();
    bool url = ::strncasecmp(original.c_str(), "http://", 7) == 0;
    if (url) {
        size_t slash = original.find('/', 7);
        check(after == original.substr(0, slash));
        check(result == 1);
        return 0;
    }
    check(after == original);
    bool unc = original.size() >= 2 && original[0] == '\\' && original[1] == '\\';
    bool drive =
        original.size() >= 3 && letter(original[0]) && original[1] == ':' && original[2] == '\\';
    check(result == (unc || drive ? 1 : 0));
    return 0;
}
