// Fuzz target of the profile (INI) files: reads and writes over arbitrary file contents.
//
// Input: three length bytes, then a section, a key and a value of those lengths (mod 32), then
// the file. Besides memory safety it checks what a write promises: the value written reads
// back (unless its names are of the kind that is never found again), a deleted key or section
// is gone, the file written ends with a line end, and a read never writes past the caller's
// buffer.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/profile.h"

namespace {

using nvl::sys::kSuccess;
namespace profile = nvl::sys::profile;

bool isBlankOrQuote(char c) {
    return std::strchr(" \t\r\v\f\"'", c) != nullptr;
}

// Whether a name the caller passes is found again once written: the caller's names lose only
// spaces, the file's lose tabs and vertical tabs as well, and a key starting with ';' (after
// blanks) is written as a comment.
bool findable(std::string_view name, bool isKey) {
    size_t begin = name.find_first_not_of(' ');
    if (begin == std::string_view::npos)
        return true;
    name = name.substr(begin, name.find_last_not_of(' ') - begin + 1);
    if (std::strchr("\t\v", name.front()) != nullptr || std::strchr("\t\v", name.back()) != nullptr)
        return false;
    return !isKey || name.front() != ';';
}

// A file that a write produced ends with a line end, unless it holds no line at all.
void checkFinalLineEnd(const std::string& file) {
    bool empty = file.empty() || file == "\xEF\xBB\xBF";
    if (!empty && file.back() != '\n' && file.back() != '\r')
        std::abort();
}

std::string take(const uint8_t*& data, size_t& size, size_t length) {
    length = length < size ? length : size;
    std::string text(reinterpret_cast<const char*>(data), length);
    data += length;
    size -= length;
    return text.substr(0, text.find('\0'));  // names and values are C strings
}

const std::string& scratchFile() {
    static const std::string path = [] {
        char name[] = "/tmp/ini_fuzz.XXXXXX";
        int fd = ::mkstemp(name);
        if (fd >= 0)
            ::close(fd);
        return std::string(name);
    }();
    return path;
}

// A returned list ends inside the buffer with an empty name: "...\0\0".
void checkList(const char* buffer, uint32_t size, uint32_t n) {
    if (size == 0)
        return;
    if (n >= size || buffer[n] != '\0')
        std::abort();
    bool ended = n == 0 || buffer[n - 1] == '\0' || (n + 1 < size && buffer[n + 1] == '\0');
    if (!ended)
        std::abort();
}

// Reads through the file API with every small buffer size and checks the bounds.
void readThroughFiles(const std::string& file, const std::string& section, const std::string& key) {
    const std::string& path = scratchFile();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return;
    bool written = std::fwrite(file.data(), 1, file.size(), f) == file.size();
    if (std::fclose(f) != 0 || !written)
        return;
    for (uint32_t size : {0u, 1u, 2u, 3u, 7u, 64u}) {
        // Exactly `size` bytes, so that AddressSanitizer sees any write past them.
        std::vector<char> out(size);
        char* buffer = size != 0 ? out.data() : nullptr;
        char dummy;
        if (buffer == nullptr)
            buffer = &dummy;
        uint32_t n = nvl::sys::getPrivateProfileString(section.c_str(), key.c_str(), "dflt ",
                                                       buffer, size, path.c_str());
        if (size != 0 && n >= size)
            std::abort();
        n = nvl::sys::getPrivateProfileString(nullptr, nullptr, nullptr, buffer, size,
                                              path.c_str());
        checkList(buffer, size, n);
        n = nvl::sys::getPrivateProfileString(section.c_str(), nullptr, nullptr, buffer, size,
                                              path.c_str());
        checkList(buffer, size, n);
    }
    nvl::sys::getPrivateProfileInt(section.c_str(), key.c_str(), 7, path.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3)
        return 0;
    size_t sectionLength = data[0] % 32, keyLength = data[1] % 32, valueLength = data[2] % 32;
    data += 3;
    size -= 3;
    std::string section = take(data, size, sectionLength);
    std::string key = take(data, size, keyLength);
    std::string value = take(data, size, valueLength);
    std::string file(reinterpret_cast<const char*>(data), size);

    profile::findValue(file, section, key);
    profile::sectionNames(file);
    profile::keyNames(file, section);
    readThroughFiles(file, section, key);

    std::string out;
    // Set the value.
    if (profile::applyWrite(file, section, key.c_str(), value.c_str(), &out) == kSuccess) {
        checkFinalLineEnd(out);
        auto back = profile::findValue(out, section, key);
        if (!findable(section, false) || !findable(key, true)) {
            // Never found: not even by this write, which adds a line every time.
            if (back || out.size() <= file.size())
                std::abort();
        } else {
            if (!back)
                std::abort();
            bool plain =
                value.empty() || (!isBlankOrQuote(value.front()) && !isBlankOrQuote(value.back()));
            if (plain && *back != value)
                std::abort();
        }
    }
    // Delete the key.
    if (profile::applyWrite(file, section, key.c_str(), nullptr, &out) == kSuccess) {
        checkFinalLineEnd(out);
        if (profile::findValue(out, section, key))
            std::abort();
    }
    // Delete the section.
    if (profile::applyWrite(file, section, nullptr, nullptr, &out) == kSuccess) {
        checkFinalLineEnd(out);
        if (!profile::keyNames(out, section).empty())
            std::abort();
    }
    return 0;
}
