// The success-marker check of t_httpAccessEx on any response head: the verdict must agree with a
// plain reading of the rule (a case-insensitive "STATUS=1" within the first 1023 bytes, else a
// file of exactly "OK"; "STATUS=2" there marks the request pending), and no byte of the head
// outside what it was handed may be read (the head is an exactly sized heap block).
//
// Input: byte 0 says whether the file could be opened (bit 0) and how its size relates to the
// head (bits 1-2: the head's length, 2, the head's length + 1, or bytes 1-2 as a number); the
// rest is the head.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "service/http_verdict.h"

namespace {

bool containsNoCase(std::string_view text, std::string_view needle) {
    auto same = [](char a, char b) {
        return std::toupper(static_cast<unsigned char>(a)) == static_cast<unsigned char>(b);
    };
    return std::search(text.begin(), text.end(), needle.begin(), needle.end(), same) != text.end();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    bool opened = (data[0] & 1) != 0;
    size_t headSize = size - 1;
    uint64_t fileSize = headSize;
    switch ((data[0] >> 1) & 3) {
        case 1:
            fileSize = 2;
            break;
        case 2:
            fileSize = headSize + 1;
            break;
        case 3:
            fileSize = size >= 3 ? static_cast<uint64_t>(data[1]) << 8 | data[2] : 0;
            break;
        default:
            break;
    }
    std::unique_ptr<char[]> head(new char[headSize]);
    std::copy(data + 1, data + size, head.get());
    std::string_view view(head.get(), headSize);

    int pending = 0;
    int verdict = nvl::http::responseVerdict(view, opened, fileSize, &pending);
    if (nvl::http::responseVerdict(view, opened, fileSize, nullptr) != verdict)
        std::abort();

    std::string_view looked = view.substr(0, 1023);
    int expected;
    if (containsNoCase(looked, "STATUS=1"))
        expected = 1;
    else if (!opened)
        expected = -21;
    else
        expected = fileSize == 2 && view == "OK" ? 1 : -8;
    if (verdict != expected || pending != (containsNoCase(looked, "STATUS=2") ? 1 : 0))
        std::abort();
    return 0;
}
