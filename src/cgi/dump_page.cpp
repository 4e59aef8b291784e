// Page templates: a file under the home directory's Web/html with %NAME% placeholders.
//
// The object keeps the path, the text, an array of entries that grows in blocks of 56, and
// the entry count. Templates are read as the original's text mode read them: a CR LF line end
// becomes LF, everything else is kept byte for byte; the text ends at its first NUL byte.
// File names are resolved under the home directory without regard to case.
//
// Decisions of this port:
//   - Copies are deep (text and entries duplicated), so no block is ever freed twice.
//   - DumpPage does not cut the loaded text, so a page can be written more than once with the
//     same result.
//   - A null value is written as nothing; a null name is ignored.
//   - An entry that cannot be stored for want of memory is dropped instead of being written
//     past the array.
#include <cgishare/config.h>
#include <cgishare/dump_page.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "cgi/placeholders.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/paths.h"

namespace {

// Text mode on the original platform: CR LF is read as LF.
void dropCarriageReturns(std::string* text) {
    size_t out = 0;
    for (size_t in = 0; in < text->size(); ++in) {
        if ((*text)[in] == '\r' && in + 1 < text->size() && (*text)[in + 1] == '\n')
            continue;
        (*text)[out++] = (*text)[in];
    }
    text->resize(out);
}

}  // namespace

CDumpPage::CDumpPage() : path{}, text(nullptr), entries(nullptr), count(0) {
    entries = static_cast<ReplaceInfo**>(std::malloc(kEntryBlock * sizeof(ReplaceInfo*)));
}

CDumpPage::~CDumpPage() {
    std::free(text);
    text = nullptr;
    FreeArgList();
}

CDumpPage::CDumpPage(const CDumpPage& other) : CDumpPage() {
    copyFrom(other);
}

CDumpPage& CDumpPage::operator=(const CDumpPage& other) {
    if (this != &other) {
        CDumpPage copy(other);
        std::swap(path, copy.path);
        std::swap(text, copy.text);
        std::swap(entries, copy.entries);
        std::swap(count, copy.count);
    }
    return *this;
}

void CDumpPage::copyFrom(const CDumpPage& other) {
    std::memcpy(path, other.path, sizeof path);
    if (other.text != nullptr) {
        size_t size = std::strlen(other.text) + 1;
        text = static_cast<char*>(std::malloc(size));
        if (text != nullptr)
            std::memcpy(text, other.text, size);
    }
    for (int32_t i = 0; i < other.count; ++i) {
        auto* entry = new (std::nothrow) ReplaceInfo(*other.entries[i]);
        if (entry == nullptr || !appendEntry(entry)) {
            delete entry;
            break;
        }
    }
}

bool CDumpPage::LoadPage(char* fileName) {
    char home[kPathSize] = {};
    getHomeDir(home, sizeof home);
    std::string formatted = std::string(home) + "Web/html/" + (fileName != nullptr ? fileName : "");
    formatted.resize(std::min(formatted.size(), static_cast<size_t>(kPathSize - 1)));
    std::string resolved = nvl::sys::resolvePath(formatted);
    resolved.resize(std::min(resolved.size(), static_cast<size_t>(kPathSize - 1)));
    std::memcpy(path, resolved.c_str(), resolved.size() + 1);

    std::string contents;
    uint32_t error = nvl::sys::readWholeFile(path, &contents);
    if (error == nvl::sys::kErrFileNotFound || error == nvl::sys::kErrPathNotFound)
        return false;  // no such file: an earlier page stays loaded

    std::free(text);
    text = nullptr;
    if (error != nvl::sys::kSuccess || contents.empty())
        return false;
    dropCarriageReturns(&contents);
    text = static_cast<char*>(std::malloc(contents.size() + 1));
    if (text == nullptr)
        return false;
    std::memcpy(text, contents.data(), contents.size());
    text[contents.size()] = '\0';
    return true;
}

bool CDumpPage::appendEntry(ReplaceInfo* entry) {
    // The array always has room for the next entry except when count has just reached a
    // multiple of the block (or the array was never obtained); grow it then.
    if (entries == nullptr || (count > 0 && count % kEntryBlock == 0)) {
        size_t room = static_cast<size_t>(count) + kEntryBlock;
        void* grown = std::realloc(entries, room * sizeof(ReplaceInfo*));
        if (grown == nullptr)
            return false;
        entries = static_cast<ReplaceInfo**>(grown);
    }
    entries[count++] = entry;
    return true;
}

void CDumpPage::AddReplaceInfo(const char* name, const char* value) {
    if (name == nullptr)
        return;
    auto* entry = new (std::nothrow) ReplaceInfo;
    if (entry == nullptr)
        return;
    std::snprintf(entry->name, sizeof entry->name, "%s", name);
    entry->value = value;
    if (!appendEntry(entry))
        delete entry;
}

void CDumpPage::DumpPage(OutputStreamConverter& out) {
    if (text == nullptr)
        return;
    std::vector<std::string_view> names;
    names.reserve(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i)
        names.emplace_back(entries[i]->name);

    std::string piece;  // the converter takes NUL-terminated text
    nvl::cgi::expandPlaceholders(
        text, names,
        [&](std::string_view run) {
            piece.assign(run);
            out << piece.c_str();
        },
        [&](size_t index) {
            const char* value = entries[index]->value;
            out << (value != nullptr ? value : "");
        });
}

void CDumpPage::ShowArgList(OutputStreamConverter& out) {
    for (int32_t i = 0; i < count; ++i) {
        const char* value = entries[i]->value;
        out << entries[i]->name << " = " << (value != nullptr ? value : "") << "<br>\n";
    }
}

void CDumpPage::FreeArgList() {
    for (int32_t i = 0; i < count; ++i)
        delete entries[i];
    std::free(entries);
    entries = nullptr;
    count = 0;
}
