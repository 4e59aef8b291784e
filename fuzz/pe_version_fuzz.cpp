// The PE reader and the version resource calls on arbitrary bytes.
//
// Input: a file. Checks that the version calls (size, data, the root, the translation table and
// the SpecialBuild text it names) and the certificate table walk never read out of bounds, that
// every view they return lies inside the caller's block or the input, that a text result is
// NUL-terminated where its length says, and that the file read by pread (a memory file) gives
// the same answers as the bytes in memory.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "platform/codepage.h"
#include "platform/file_version.h"
#include "platform/pe_image.h"

namespace {

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

using nvl::sys::pe::ByteSource;
using nvl::sys::pe::Status;

struct Answer {
    uint32_t size = 0;
    std::string fixed, translation, special;
    Status table = Status::kNotFound;
    size_t entries = 0;
    bool operator==(const Answer&) const = default;
};

// Checks that [p, p + length) lies inside `block`.
void checkInside(const std::vector<unsigned char>& block, const void* p, uint32_t length) {
    auto* at = static_cast<const unsigned char*>(p);
    check(at >= block.data() && length <= block.size() &&
          static_cast<size_t>(at - block.data()) <= block.size() - length);
}

Answer examine(const ByteSource& source, uint64_t inputSize) {
    Answer answer;
    answer.size = nvl::sys::fileVersionInfoSize(source);
    if (answer.size != 0) {
        std::vector<unsigned char> block(answer.size);
        if (nvl::sys::fileVersionInfo(source, answer.size, block.data())) {
            void* value = nullptr;
            uint32_t length = 0;
            if (nvl::sys::verQueryValueA(block.data(), "\\", &value, &length)) {
                checkInside(block, value, length);
                check(length >= 52);
                answer.fixed.assign(static_cast<char*>(value), length);
            }
            std::string key = "\\StringFileInfo\\040904B0\\SpecialBuild";
            if (nvl::sys::verQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value,
                                         &length)) {
                checkInside(block, value, length);
                answer.translation.assign(static_cast<char*>(value), length);
                if (length >= 4) {
                    uint32_t pair;
                    std::memcpy(&pair, value, 4);
                    char text[64];
                    std::snprintf(text, sizeof text, "\\StringFileInfo\\%04X%04X\\SpecialBuild",
                                  pair & 0xFFFF, pair >> 16);
                    key = text;
                }
            }
            if (nvl::sys::verQueryValueA(block.data(), key.c_str(), &value, &length)) {
                checkInside(block, value, length);
                auto* text = static_cast<char*>(value);
                check(length == 0 ? text[0] == '\0' : std::strlen(text) + 1 == length);
                answer.special = text;
            }
        }
    }

    nvl::sys::pe::Image image;
    if (nvl::sys::pe::parseImage(source, &image) == Status::kOk) {
        nvl::sys::pe::CertificateTable table;
        answer.table = nvl::sys::pe::walkCertificateTable(source, image, &table);
        answer.entries = table.count;
        for (size_t i = 0; i < table.count; ++i) {
            const auto& entry = table.entries[i];
            check(entry.length >= 8 && entry.offset + entry.length <= inputSize);
        }
        nvl::sys::pe::HashRanges ranges;
        if (nvl::sys::pe::imageHashRanges(image, &ranges) == Status::kOk) {
            uint64_t previous = 0;
            for (const auto& range : ranges.ranges) {
                check(range.offset >= previous && range.end() <= inputSize);
                previous = range.end();
            }
        }
    }
    return answer;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    nvl::fuzz::withRegistry(
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage]\r\n"
        "\"ACP\"=\"1252\"\r\n",
        [] { nvl::sys::ansiCodePage(); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Answer inMemory = examine(ByteSource::memory(data, size), size);

    int fd = ::memfd_create("pe", MFD_CLOEXEC);
    if (fd < 0)
        return 0;
    if (::write(fd, data, size) == static_cast<ssize_t>(size)) {
        Answer fromFile = examine(ByteSource::file(fd, size), size);
        check(fromFile == inMemory);
        // The calls on an open file do not ask for its size: whatever they accept from the bytes
        // in memory they accept the same way without it.
        uint32_t fdSize = nvl::sys::fileVersionInfoSize(fd);
        if (inMemory.size != 0)
            check(fdSize == inMemory.size);
    }
    ::close(fd);
    return 0;
}
