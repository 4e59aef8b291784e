// The custom date and time pictures: the process-wide store, its setters, and the load from the
// server's registry. What they promise is set out in <cgishare/datetime.h>.
//
// The store. The pictures are read by every formatting call that asks for them, on any thread,
// and set rarely (at a page's start, or when the administrator changes them). A reader must
// never see a picture half-way through a change, and must not be slowed by one: the two
// pictures sit in a sequence lock. A writer (writers take a mutex among themselves) makes the
// sequence odd, stores the words, and makes it even again; a reader copies the 256 bytes and
// keeps the copy when the sequence was even and unchanged around it, otherwise copies again.
// The words are relaxed atomics, so the copy is a plain load each and no reader takes a lock.
// Both pictures live under one sequence, so the registry load changes them together.
//
// Cutting. A picture keeps at most 127 bytes (63 from the registry), cut at a character
// boundary of the ANSI code page, so a double-byte character is never split into a stray lead
// byte that would swallow the NUL or the next character when the picture is formatted.
//
// The W setters convert to the ANSI code page with composition, as the original's
// WC_COMPOSITECHECK did: a letter followed by a combining mark becomes the precomposed letter
// when the code page holds it (e + U+0301 becomes the single byte E9 in 1252), repeatedly for
// several marks; otherwise each is converted by itself. The pairs are those of compose_table.h,
// the canonical compositions that land in the code pages here; no Unicode library is needed.
//
// The registry's text is UTF-8; the settings are ANSI text. The value's limit of 128 bytes is
// counted after the conversion, as the original's 128-byte buffer counted the ANSI text. A value
// that is not text, not valid UTF-8, or holds a NUL is garbage and counts as absent.
#include <cgishare/datetime.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "datetime/compose_table.h"
#include "datetime/datetime_internal.h"
#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/registry.h"

namespace nvl::datetime {

namespace {

namespace sys = nvl::sys;

constexpr char kConsoleKey[] = "SOFTWARE\\HaldenLabs\\Norvel\\service\\Console";
constexpr size_t kRegistryKeeps = 63;

class PictureStore {
  public:
    void read(CustomPictures* out) const {
        uint64_t date[kWords], time[kWords];
        for (unsigned spins = 0;; ++spins) {
            uint32_t before = sequence_.load(std::memory_order_acquire);
            for (size_t i = 0; i < kWords; ++i) {
                date[i] = date_[i].load(std::memory_order_relaxed);
                time[i] = time_[i].load(std::memory_order_relaxed);
            }
            std::atomic_thread_fence(std::memory_order_acquire);
            if ((before & 1u) == 0 && sequence_.load(std::memory_order_relaxed) == before)
                break;
            if (spins > 64)
                std::this_thread::yield();  // a writer was preempted mid-way
        }
        std::memcpy(out->date, date, kPictureBytes);
        std::memcpy(out->time, time, kPictureBytes);
    }

    // Replaces the pictures given (a null one stays as it is); each is at most 127 bytes.
    void write(const std::string* date, const std::string* time) {
        std::lock_guard<std::mutex> lock(writers_);
        uint32_t sequence = sequence_.load(std::memory_order_relaxed);
        sequence_.store(sequence + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        if (date != nullptr)
            store(date_, *date);
        if (time != nullptr)
            store(time_, *time);
        sequence_.store(sequence + 2, std::memory_order_release);
    }

  private:
    static constexpr size_t kWords = kPictureBytes / sizeof(uint64_t);
    using Words = std::atomic<uint64_t>[kWords];

    static void store(Words& words, const std::string& picture) {
        uint64_t bytes[kWords] = {};
        std::memcpy(bytes, picture.data(), std::min(picture.size(), kPictureBytes - 1));
        for (size_t i = 0; i < kWords; ++i)
            words[i].store(bytes[i], std::memory_order_relaxed);
    }

    std::atomic<uint32_t> sequence_{0};
    Words date_{};
    Words time_{};
    std::mutex writers_;
};

constinit PictureStore store;

// --- Setters --------------------------------------------------------------------------------

std::string narrowPicture(const char* format) {
    std::string_view text(format, strnlen(format, kPictureBytes));
    return std::string(text.substr(0, wholeCharacters(text, kPictureBytes - 1)));
}

char16_t composed(char16_t base, char16_t mark) {
    const Composition* end = std::end(kCompositions);
    const Composition* found =
        std::lower_bound(std::begin(kCompositions), end, Composition{base, mark, 0},
                         [](const Composition& a, const Composition& b) {
                             return a.base != b.base ? a.base < b.base : a.mark < b.mark;
                         });
    return found != end && found->base == base && found->mark == mark ? found->composed : 0;
}

// Whether the ANSI code page holds `c` itself (not a substitute).
bool ansiHolds(char16_t c) {
    char bytes[4];
    sys::ConvertResult encoded =
        sys::encodeSome(sys::kCodePageAnsi, std::u16string_view(&c, 1), bytes, sizeof bytes);
    char16_t back[2];
    sys::ConvertResult decoded =
        sys::decodeSome(sys::kCodePageAnsi, std::string_view(bytes, encoded.written), back, 2);
    return decoded.written == 1 && back[0] == c;
}

std::string widePicture(const char16_t* format) {
    // Every unit that is kept becomes at least one byte, and a pair at least one: 254 units
    // fill the 127 bytes whatever the text.
    constexpr size_t kEnoughUnits = 2 * (kPictureBytes - 1);
    std::u16string text;
    for (const char16_t* p = format; *p != u'\0' && text.size() < kEnoughUnits; ++p) {
        char16_t c = *p;
        for (char16_t next; (next = p[1]) >= 0x0300 && next <= 0x036F; ++p) {
            char16_t precomposed = composed(c, next);
            if (precomposed == 0 || !ansiHolds(precomposed))
                break;
            c = precomposed;
        }
        text.push_back(c);
    }
    char bytes[kPictureBytes];
    sys::ConvertResult converted =
        sys::encodeSome(sys::kCodePageAnsi, text, bytes, kPictureBytes - 1);
    return std::string(bytes, converted.written);
}

// --- The registry -----------------------------------------------------------------------------

bool isUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            ++i;
            continue;
        }
        size_t length;
        uint32_t value, least;
        if (byte >= 0xC2 && byte <= 0xDF) {
            length = 2, value = byte & 0x1Fu, least = 0x80;
        } else if (byte >= 0xE0 && byte <= 0xEF) {
            length = 3, value = byte & 0x0Fu, least = 0x800;
        } else if (byte >= 0xF0 && byte <= 0xF4) {
            length = 4, value = byte & 0x07u, least = 0x10000;
        } else {
            return false;
        }
        if (text.size() - i < length)
            return false;
        for (size_t k = 1; k < length; ++k) {
            auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0u) != 0x80u)
                return false;
            value = (value << 6) | (next & 0x3Fu);
        }
        if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

// The picture a registry value gives; empty when the value is absent or unusable.
std::string registryPicture(const sys::RegistryKey& key, std::string_view name) {
    sys::RegValue value;
    if (key.queryValue(name, &value) != sys::kSuccess)
        return {};
    if (value.type != sys::kRegSz && value.type != sys::kRegExpandSz)
        return {};
    if (value.data.find('\0') != std::string::npos || !isUtf8(value.data))
        return {};
    std::string ansi = sys::utf8ToAnsi(value.data);
    if (ansi.size() >= kPictureBytes)  // with its NUL, more than the value's buffer holds
        return {};
    ansi.resize(wholeCharacters(ansi, kRegistryKeeps));
    return ansi;
}

}  // namespace

void readCustomPictures(CustomPictures* out) {
    store.read(out);
}

size_t wholeCharacters(std::string_view text, size_t limit) {
    if (text.size() <= limit)
        return text.size();
    uint32_t codePage = sys::ansiCodePage();
    if (codePage == sys::kCodePageUtf8) {
        size_t end = limit;
        while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0u) == 0x80u)
            --end;
        return end;
    }
    size_t end = 0;
    while (end < limit) {
        size_t step = sys::isLeadByte(codePage, static_cast<unsigned char>(text[end])) &&
                              end + 1 < text.size()
                          ? 2
                          : 1;
        if (end + step > limit)
            break;
        end += step;
    }
    return end;
}

}  // namespace nvl::datetime

namespace dt = nvl::datetime;

void _hlSetDateFormatA(char* format) {
    if (format == nullptr)
        return;
    std::string picture = dt::narrowPicture(format);
    dt::store.write(&picture, nullptr);
}

void _hlSetTimeFormatA(char* format) {
    if (format == nullptr)
        return;
    std::string picture = dt::narrowPicture(format);
    dt::store.write(nullptr, &picture);
}

void _hlSetDateFormatW(char16_t* format) {
    if (format == nullptr)
        return;
    std::string picture = dt::widePicture(format);
    dt::store.write(&picture, nullptr);
}

void _hlSetTimeFormatW(char16_t* format) {
    if (format == nullptr)
        return;
    std::string picture = dt::widePicture(format);
    dt::store.write(nullptr, &picture);
}

void hlGetCustomFormatFromServerRegistry() {
    nvl::sys::RegistryKey key;
    if (nvl::sys::RegistryKey::open(nvl::sys::RegHive::LocalMachine, dt::kConsoleKey, &key) !=
        nvl::sys::kSuccess)
        return;
    std::string date = dt::registryPicture(key, "FmtDate");
    std::string time = dt::registryPicture(key, "FmtTime");
    dt::store.write(&date, &time);
}

namespace {

void copyPicture(const char* picture, char* out, int size) {
    if (out == nullptr || size <= 0)
        return;
    size_t n = nvl::datetime::wholeCharacters(picture, static_cast<size_t>(size) - 1);
    std::memcpy(out, picture, n);
    out[n] = '\0';
}

}  // namespace

void hlGetCustomDateFormatA(char* out, int size) {
    nvl::datetime::CustomPictures pictures;
    nvl::datetime::readCustomPictures(&pictures);
    copyPicture(pictures.date, out, size);
}

void hlGetCustomTimeFormatA(char* out, int size) {
    nvl::datetime::CustomPictures pictures;
    nvl::datetime::readCustomPictures(&pictures);
    copyPicture(pictures.time, out, size);
}

extern "C" {

void __hlSetDateFormatA(char* format) {
    _hlSetDateFormatA(format);
}
void __hlSetDateFormatW(char16_t* format) {
    _hlSetDateFormatW(format);
}
void __hlSetTimeFormatA(char* format) {
    _hlSetTimeFormatA(format);
}
void __hlSetTimeFormatW(char16_t* format) {
    _hlSetTimeFormatW(format);
}

}  // extern "C"
