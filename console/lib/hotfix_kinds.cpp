#include "hotfix_kinds.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <cgishare/cgishare.h>
#include <array>
#include <cstring>
#include <vector>

#include "hotfix_texts.h"

namespace console {

namespace {

constexpr HotfixKind kKinds[] = {
    {0, kKindVirusPattern, "sig$vpf", "", nullptr, "PATTERN", "P.4", 1, "download/Pattern",
     "marlin.zip"},
    {1, kKindSpywarePattern, "hlaptn", "", nullptr, "PATTERN", "P.400", 1, "download/Pattern",
     "hlaptn.zip"},
    {2, kKindCleaner, nullptr, "Admin", "QXC.exe", "ENGINE", "E.1000000", 2, "download/Engine",
     "QXC.zip"},
    {3, kKindCleanerPattern, nullptr, "Admin", "QXC.ptn", "PATTERN", "P.800", 1, "download/Pattern",
     "QXCPtn.zip"},
    {4, kKindCleanupPattern, nullptr, "Admin", "HLADCE.ptn", "PATTERN", "P.1000000", 1,
     "download/Pattern", "Hladce.zip"},
    {6, kKindWhiteList, "hlwhite", "", nullptr, "PATTERN", "P.20000020", 1, "download/Pattern",
     "hlwhite.zip"},
    {7, kKindBlackList, "hlblack", "", nullptr, "PATTERN", "P.20000040", 1, "download/Pattern",
     "hlblack.zip"},
    {8, kKindEnginePattern, nullptr, "", "tarskptn.da5", "PATTERN", "P.20001000", 1,
     "download/Pattern", "tarskptn.zip"},
    {9, kKindScanSpywarePattern, "tkaptn", "", nullptr, "PATTERN", "P.20000400", 1,
     "download/Pattern", "tkaptn.zip"},
};

constexpr size_t kGenerationDigits = 3;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Whether `name` is "<stem>.NNN", the stem matched without regard to case.
bool isGeneration(std::string_view name, std::string_view stem) {
    if (name.size() != stem.size() + 1 + kGenerationDigits || name[stem.size()] != '.' ||
        ::strncasecmp(name.data(), stem.data(), stem.size()) != 0)
        return false;
    for (char c : name.substr(stem.size() + 1)) {
        if (!isDigit(c))
            return false;
    }
    return true;
}

// The entry of `directory` named `name` in another case, or "" when there is none.
std::string otherCase(const std::string& directory, const std::string& name) {
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr)
        return {};
    std::string found;
    while (const dirent* entry = ::readdir(dir)) {
        if (::strcasecmp(entry->d_name, name.c_str()) == 0 &&
            (found.empty() || std::strcmp(entry->d_name, found.c_str()) < 0))
            found = entry->d_name;
    }
    ::closedir(dir);
    return found;
}

}  // namespace

std::span<const HotfixKind> hotfixKinds() {
    return kKinds;
}

const HotfixKind* kindOfName(std::string_view name, std::string* placed) {
    for (const HotfixKind& kind : kKinds) {
        if (kind.stem != nullptr && isGeneration(name, kind.stem)) {
            *placed = std::string(kind.stem) + std::string(name.substr(std::strlen(kind.stem)));
            return &kind;
        }
        if (kind.fixedName != nullptr && name.size() == std::strlen(kind.fixedName) &&
            ::strncasecmp(name.data(), kind.fixedName, name.size()) == 0) {
            *placed = kind.fixedName;
            return &kind;
        }
    }
    return nullptr;
}

std::string sourceLabel(const HotfixKind& kind) {
    std::string name = kind.stem != nullptr ? std::string(kind.stem) + ".NNN" : kind.fixedName;
    return *kind.directory != '\0' ? std::string(kind.directory) + "/" + name : name;
}

std::string homePath(const std::string& home, std::string_view relative) {
    std::string path = home;
    while (!relative.empty()) {
        size_t slash = relative.find('/');
        std::string part(relative.substr(0, slash));
        relative =
            slash == std::string_view::npos ? std::string_view() : relative.substr(slash + 1);
        if (part.empty())
            continue;
        if (!path.empty() && path.back() != '/')
            path += '/';
        struct stat st {};
        if (::lstat((path + part).c_str(), &st) != 0) {
            std::string spelled = otherCase(path.empty() ? "." : path, part);
            if (!spelled.empty())
                part = spelled;
        }
        path += part;
    }
    return path;
}

std::string manifestPath(const std::string& home) {
    return homePath(home, "download/server.ini");
}

std::string manifestField(std::string_view value, int index) {
    int field = 0;
    size_t i = 0;
    while (i < value.size()) {
        while (i < value.size() && (value[i] == ',' || value[i] == ' '))
            ++i;
        size_t start = i;
        while (i < value.size() && value[i] != ',' && value[i] != ' ')
            ++i;
        if (i > start && field++ == index)
            return std::string(value.substr(start, i - start));
    }
    return {};
}

std::string manifestVersion(const std::string& manifest, const HotfixKind& kind) {
    std::vector<char> value(2049, '\0');
    std::string section = kind.section, key = kind.key, file = manifest, none;
    getINIString(value.data(), section.data(), key.data(), none.data(), value.size(), file.data());
    return manifestField(value.data(), kind.versionField);
}

}  // namespace console
