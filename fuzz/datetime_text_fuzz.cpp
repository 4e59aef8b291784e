// Date and time texts from arbitrary time_t texts, custom pictures and output sizes.
//
// Input: byte 0 the format flags, byte 1 the locale flags, byte 2 the output size (signed),
// byte 3 which pictures to set and through which setter, then the picture and the time_t text
// separated by the first NUL. The process works as a Japanese server (ANSI code page 932,
// system locale 0411, Europe/Berlin). Outputs are heap blocks of exactly the size given, so a
// write past them is caught by the address sanitizer. Checks: a cut text is the start of the
// whole text and ends at a character boundary; the W forms give the ANSI text converted; the
// time_t text in wide form gives what the narrow form gives; sizes of 0 or below write nothing.
#include <cgishare/datetime.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "platform/codepage.h"

namespace {

constexpr int kWhole = 129;

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

// Whether `length` bytes of `text` end at a character boundary of code page 932.
bool atBoundary(const std::string& text, size_t length) {
    size_t i = 0;
    while (i < length) {
        auto byte = static_cast<unsigned char>(text[i]);
        bool lead = (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
        i += lead && i + 1 < text.size() ? 2 : 1;
    }
    return i == length;
}

template <class Char, class Call>
std::basic_string<Char> callWith(int size, Call call) {
    size_t bytes = size > 0 ? static_cast<size_t>(size) : 1;
    std::unique_ptr<Char[]> out(new Char[bytes]);
    for (size_t i = 0; i < bytes; ++i)
        out[i] = Char('#');
    call(out.get(), size);
    if (size <= 0) {
        check(out[0] == Char('#'));
        return {};
    }
    std::basic_string<Char> text(out.get(), bytes);
    size_t end = text.find(Char(0));
    check(end != std::basic_string<Char>::npos);
    return text.substr(0, end);
}

// The text of `call` at the whole size and at `size`: the cut one starts the whole one and
// keeps whole characters.
void checkNarrow(int size, const std::string& whole, const std::string& cut) {
    if (size <= 0)
        return;
    check(whole.compare(0, cut.size(), cut) == 0);
    size_t room = static_cast<size_t>(size) - 1;
    check(cut.size() <= room);
    check(atBoundary(whole, cut.size()));
    if (whole.size() <= room)
        check(cut == whole);
    else
        check(cut.size() + 1 >= room);
}

void checkWide(int size, const std::u16string& whole, const std::u16string& cut) {
    if (size <= 0)
        return;
    check(whole.compare(0, cut.size(), cut) == 0);
    check(cut.size() <= static_cast<size_t>(size) - 1);
    if (whole.size() < static_cast<size_t>(size))
        check(cut == whole);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    // The code page and the locales are read once and kept.
    nvl::fuzz::withRegistry(
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage]\r\n"
        "\"ACP\"=\"932\"\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\Locale]\r\n"
        "@=\"00000411\"\r\n",
        [] {
            nvl::sys::ansiCodePage();
            char out[8];
            _hlGetDateFormatA(out, sizeof out, 129);
            _hlGetDateFormatA(out, sizeof out, 0);
        });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4 || size > 1024)
        return 0;
    int formatFlags = data[0] & (DTFMT_DATE | DTFMT_TIME | DTFMT_CUSTOM);
    int localeFlags = data[1];
    int outSize = static_cast<int8_t>(data[2]);
    uint8_t which = data[3];
    std::string rest(reinterpret_cast<const char*>(data + 4), size - 4);
    size_t split = rest.find('\0');
    std::string picture = rest.substr(0, split);
    std::string timeText = split == std::string::npos ? "" : rest.substr(split + 1);
    timeText = timeText.c_str();

    if ((which & 0x01) != 0) {
        if ((which & 0x04) != 0) {
            std::u16string wide(picture.begin(), picture.end());
            // With bit 3, bytes from 0x80 up become U+0300 to U+037F: combining marks.
            for (char16_t& c : wide) {
                c &= 0xFF;
                if ((which & 0x08) != 0 && c >= 0x80)
                    c = static_cast<char16_t>(0x0300 + (c & 0x7F));
            }
            _hlSetDateFormatW(wide.data());
        } else {
            _hlSetDateFormatA(picture.data());
        }
    }
    if ((which & 0x02) != 0)
        _hlSetTimeFormatA(picture.data());
    if ((which & 0x10) != 0) {
        char empty[] = "";
        _hlSetDateFormatA(empty);
        _hlSetTimeFormatA(empty);
    }

    // The time_t text, narrow and wide.
    auto narrowText = [&](char* out, int n) {
        _hlGetDateTimeStringA(timeText.c_str(), out, n, formatFlags, localeFlags);
    };
    std::u16string wideTime(timeText.begin(), timeText.end());
    for (char16_t& c : wideTime)
        c &= 0xFF;
    auto wideText = [&](char16_t* out, int n) {
        _hlGetDateTimeStringW(wideTime.c_str(), out, n, formatFlags, localeFlags);
    };
    std::string whole = callWith<char>(kWhole, narrowText);
    check(whole.size() <= 127);
    std::u16string wideWhole = callWith<char16_t>(kWhole, wideText);
    check(wideWhole == nvl::sys::ansiToWide(whole));
    checkNarrow(outSize, whole, callWith<char>(outSize, narrowText));
    checkWide(outSize, wideWhole, callWith<char16_t>(outSize, wideText));

    // A SYSTEMTIME from the picture's first bytes: any field values.
    SYSTEMTIME moment{};
    std::memcpy(&moment, picture.data(), std::min(picture.size(), sizeof moment));
    auto narrowMoment = [&](char* out, int n) {
        _hlGetDateTimeStringA(&moment, out, n, formatFlags, localeFlags);
    };
    whole = callWith<char>(kWhole, narrowMoment);
    checkNarrow(outSize, whole, callWith<char>(outSize, narrowMoment));

    // The pictures.
    auto datePicture = [&](char* out, int n) { _hlGetDateFormatA(out, n, localeFlags); };
    whole = callWith<char>(kWhole, datePicture);
    checkNarrow(outSize, whole, callWith<char>(outSize, datePicture));
    auto timePicture = [&](char16_t* out, int n) { _hlGetTimeFormatW(out, n, localeFlags); };
    checkWide(outSize, callWith<char16_t>(kWhole, timePicture),
              callWith<char16_t>(outSize, timePicture));
    return 0;
}
