// The cleaner executable's checks on one open file; the order and the reasons are set out in
// executable_checks.h.
#include "cleaner/executable_checks.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "cleaner/cleaner.h"
#include "platform/codepage.h"
#include "platform/file.h"
#include "platform/file_times.h"
#include "platform/file_version.h"
#include "signature/appended_signature.h"
#include "signature/publisher_signature.h"

namespace nvl::cleaner {

namespace {

constexpr size_t kVersionTextBuffer = 32;

uint32_t get32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

size_t cutAtCharacter(std::string_view text, size_t limit, uint32_t codePage) {
    size_t end = 0;
    while (end < text.size()) {
        bool pair = sys::isLeadByte(codePage, static_cast<unsigned char>(text[end])) &&
                    end + 1 < text.size();
        size_t next = end + (pair ? 2 : 1);
        if (next > limit)
            break;
        end = next;
    }
    return end;
}

void readExecutableVersion(int fd, CleanerSettings* settings) {
    uint32_t size = sys::fileVersionInfoSize(fd);
    if (size == 0)
        return;
    std::vector<unsigned char> block(size_t{size} + 1);
    if (sys::fileVersionInfo(fd, size, block.data())) {
        void* value = nullptr;
        uint32_t length = 0;
        // VS_FIXEDFILEINFO: dwFileVersionMS at byte 8, the major number in its high word.
        if (sys::verQueryValueA(block.data(), "\\", &value, &length) && value != nullptr &&
            length >= 12) {
            uint32_t versionMs = get32(static_cast<const unsigned char*>(value) + 8);
            char text[kVersionTextBuffer];
            std::snprintf(text, sizeof text, "%u.%u", static_cast<unsigned>(versionMs >> 16),
                          static_cast<unsigned>(versionMs & 0xFFFF));
            setField(settings->executableVersion, text);
        }
        // The first translation: language in the low word, code page in the high word; the key
        // names the language first.
        if (sys::verQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &length) &&
            value != nullptr && length >= 4) {
            uint32_t translation = get32(static_cast<const unsigned char*>(value));
            char key[64];
            std::snprintf(key, sizeof key, "\\StringFileInfo\\%04X%04X\\SpecialBuild",
                          static_cast<unsigned>(translation & 0xFFFF),
                          static_cast<unsigned>(translation >> 16));
            if (sys::verQueryValueA(block.data(), key, &value, &length) && value != nullptr &&
                length > 0) {
                const char* special = static_cast<const char*>(value);
                std::string_view text(special, ::strnlen(special, length));
                size_t fits = cutAtCharacter(text, kTextField - 1, sys::ansiCodePage());
                setField(settings->specialBuild, text.substr(0, fits));
            }
        }
    }
    ::explicit_bzero(block.data(), block.size());
}

uint32_t checkExecutable(CleanerSettings* settings) {
    std::string path = sys::serverFilePath(settings->executablePath);
    sys::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return kCleanerExecutableRefused;

    int appended = signature::verifyAppendedSignatureFd(fd.get());
    if (appended < 0)
        return kCleanerExecutableRefused;
    if (appended == 0 &&
        signature::verifyPublisherSignatureFd(fd.get(), settings->executablePath, nullptr) !=
            signature::kPublisherPassed)
        return kCleanerExecutableRefused;

    readExecutableVersion(fd.get(), settings);
    if (!versionMeetsMinimum(settings->executableVersion))
        return kCleanerExecutableRefused;
    return kCleanerOk;
}

}  // namespace nvl::cleaner
