// Code page conversions and the response stream converter on arbitrary bytes.
//
// Input: byte 0 picks the code page, byte 1 the page encoding and the piece size, the rest is
// the text. Checks that counting agrees with converting, that converting in pieces gives the
// same units as converting at once, and that no conversion reads or writes out of bounds.
#include <cgishare/output_stream.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <iterator>
#include <sstream>
#include <string>

#include "fuzz_support.h"
#include "platform/codepage.h"

namespace {

constexpr uint32_t kCodePages[] = {
    932, 936, 949, 950, 1252, 1251, nvl::sys::kCodePageUtf8, nvl::sys::kCodePageAnsi};

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The converter works in the ANSI code page: make it 932, as on a Japanese server.
    nvl::fuzz::withRegistry(
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage]\r\n"
        "\"ACP\"=\"932\"\r\n",
        [] { nvl::sys::ansiCodePage(); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 1 << 16)
        return 0;
    uint32_t codePage = kCodePages[data[0] % (sizeof kCodePages / sizeof kCodePages[0])];
    auto encoding = static_cast<CharEncoding>(data[1] % 10);
    size_t piece = 1 + data[1] / 10 % 8;
    std::string text(reinterpret_cast<const char*>(data) + 2, size - 2);
    int length = static_cast<int>(text.size());

    std::u16string wide;
    if (length > 0) {
        int needed = nvl::sys::multiByteToWideChar(codePage, text.data(), length, nullptr, 0);
        check(needed > 0 && needed <= length);
        wide.resize(static_cast<size_t>(needed));
        check(nvl::sys::multiByteToWideChar(codePage, text.data(), length, wide.data(), needed) ==
              needed);
        if (needed > 1) {  // capacity 0 would be a size query
            check(nvl::sys::multiByteToWideChar(codePage, text.data(), length, wide.data(),
                                                needed - 1) == 0);
        }

        std::u16string pieces;
        std::string_view rest(text);
        char16_t buffer[8];
        while (!rest.empty()) {
            nvl::sys::ConvertResult r = nvl::sys::decodeSome(codePage, rest, buffer, piece);
            if (r.read == 0) {
                check(piece == 1);  // a surrogate pair needs two units
                r = nvl::sys::decodeSome(codePage, rest, buffer, 2);
            }
            pieces.append(buffer, r.written);
            rest.remove_prefix(r.read);
        }
        check(pieces == wide);

        // ASCII runs copied through and the text between them decoded give the same units.
        pieces.clear();
        rest = text;
        while (!rest.empty()) {
            if (static_cast<unsigned char>(rest[0]) < 0x80) {
                pieces += static_cast<char16_t>(rest[0]);
                rest.remove_prefix(1);
                continue;
            }
            nvl::sys::ConvertResult r =
                nvl::sys::decodeNonAscii(codePage, rest, buffer, std::size(buffer));
            check(r.read > 0);
            pieces.append(buffer, r.written);
            rest.remove_prefix(r.read);
        }
        check(pieces == wide);

        int bytes = nvl::sys::wideCharToMultiByte(codePage, wide.data(), needed, nullptr, 0);
        check(bytes > 0);
        std::string back(static_cast<size_t>(bytes), '\0');
        check(nvl::sys::wideCharToMultiByte(codePage, wide.data(), needed, back.data(), bytes) ==
              bytes);
    }

    // The raw bytes as UTF-16 units, lone surrogates and all.
    std::u16string units(text.size() / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i) {
        units[i] = static_cast<char16_t>(data[2 + 2 * i] | data[3 + 2 * i] << 8);
    }
    if (!units.empty()) {
        int n = static_cast<int>(units.size());
        int bytes = nvl::sys::wideCharToMultiByte(codePage, units.data(), n, nullptr, 0);
        std::string out(static_cast<size_t>(bytes), '\0');
        check(nvl::sys::wideCharToMultiByte(codePage, units.data(), n, out.data(), bytes) == bytes);
    }

    std::ostringstream stream;
    OutputStreamConverter converter(encoding, &stream);
    converter << text.c_str() << units.c_str() << text.c_str() << endl;
    return 0;
}
