#include "platform/profile.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/paths.h"

namespace nvl::sys {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// Blanks of the file: skipped before the first character of a line, trimmed from the names and
// values read from it.
bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v';
}

bool isSpace(char c) {
    return c == ' ';
}

bool isLineEnd(char c) {
    return c == '\n' || c == '\r';
}

std::string_view trim(std::string_view text, bool (*blank)(char)) {
    size_t begin = 0;
    while (begin < text.size() && blank(text[begin]))
        ++begin;
    size_t end = text.size();
    while (end > begin && blank(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

// A name read from the file.
std::string_view trimBlanks(std::string_view text) {
    return trim(text, isBlank);
}

// A name the caller passes: only spaces go, so a tab or VT at either end is part of it.
std::string_view trimSpaces(std::string_view text) {
    return trim(text, isSpace);
}

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i]))
            return false;
    }
    return true;
}

bool isUtf16(std::string_view file) {
    return file.size() >= 2 &&
           ((file[0] == '\xFF' && file[1] == '\xFE') || (file[0] == '\xFE' && file[1] == '\xFF'));
}

// Where the lines of `file` start: after a UTF-8 byte-order mark.
size_t firstLine(std::string_view file) {
    return file.substr(0, kUtf8Bom.size()) == kUtf8Bom ? kUtf8Bom.size() : 0;
}

enum class LineKind { Blank, Comment, Section, Key, Other };

// One line of the file, as offsets into it.
struct Line {
    size_t begin = 0;  // first byte
    size_t end = 0;    // end of the contents: before "\r\n", "\n", "\r" or the end of the file
    size_t next = 0;   // first byte of the next line
    LineKind kind = LineKind::Blank;
    std::string_view name;  // section or key name, trimmed; a key's may be empty
    size_t valueBegin = 0;  // a key's value, after the blanks that follow '='
};

// Walks the lines of a file in one pass. A line is classified as it is reached; nothing is
// kept or allocated.
class LineReader {
  public:
    explicit LineReader(std::string_view file) : file_(file), pos_(firstLine(file)) {}

    // Moves to the next section header at or after the current line, without looking at the
    // lines in between: values seldom hold '[', so whole foreign sections pass in a few memchr
    // calls. Returns false when no header follows.
    bool skipToHeader() {
        const char* base = file_.data();
        size_t from = pos_;
        while (pos_ < file_.size()) {
            const void* bracket = std::memchr(base + pos_, '[', file_.size() - pos_);
            if (bracket == nullptr)
                break;
            size_t at = static_cast<size_t>(static_cast<const char*>(bracket) - base);
            size_t start = at;
            while (start > from && isBlank(base[start - 1]))
                --start;
            if (start == from || isLineEnd(base[start - 1])) {  // only blanks before it: a header
                pos_ = start;
                return true;
            }
            pos_ = at + 1;
        }
        pos_ = file_.size();
        return false;
    }

    // A line ends at the first CR or LF; a CR right before an LF ends it together with the LF.
    // The next LF is searched for only once the previous one is passed, and the CR only up to
    // it, so a file without LF (CR-only lines) is not searched to its end on every line.
    bool next(Line* line) {
        if (pos_ >= file_.size())
            return false;
        const char* base = file_.data();
        const size_t size = file_.size();
        if (lf_ == kUnknown || lf_ < pos_) {
            const void* nl = std::memchr(base + pos_, '\n', size - pos_);
            lf_ = nl != nullptr ? static_cast<size_t>(static_cast<const char*>(nl) - base) : size;
        }
        line->begin = pos_;
        line->end = lf_;
        line->next = lf_ < size ? lf_ + 1 : size;
        if (const void* cr = std::memchr(base + pos_, '\r', lf_ - pos_)) {
            line->end = static_cast<size_t>(static_cast<const char*>(cr) - base);
            line->next =
                line->end + 1 < size && base[line->end + 1] == '\n' ? line->end + 2 : line->end + 1;
        }
        pos_ = line->next;
        classify(line);
        return true;
    }

  private:
    static constexpr size_t kUnknown = static_cast<size_t>(-1);

    void classify(Line* line) const {
        const char* base = file_.data();
        size_t p = line->begin;
        while (p < line->end && isBlank(base[p]))
            ++p;
        line->name = {};
        line->valueBegin = line->end;
        if (p == line->end) {
            line->kind = LineKind::Blank;
            return;
        }
        if (base[p] == '[') {
            const void* close = std::memchr(base + p + 1, ']', line->end - p - 1);
            size_t nameEnd = close != nullptr
                                 ? static_cast<size_t>(static_cast<const char*>(close) - base)
                                 : line->end;
            line->kind = LineKind::Section;
            line->name = trimBlanks(file_.substr(p + 1, nameEnd - p - 1));
            return;
        }
        if (base[p] == ';') {
            line->kind = LineKind::Comment;
            return;
        }
        const void* eq = std::memchr(base + p, '=', line->end - p);
        if (eq == nullptr) {
            line->kind = LineKind::Other;
            return;
        }
        size_t eqPos = static_cast<size_t>(static_cast<const char*>(eq) - base);
        line->name = trimBlanks(file_.substr(p, eqPos - p));  // "=value": the empty name
        line->kind = LineKind::Key;
        size_t v = eqPos + 1;
        while (v < line->end && isBlank(base[v]))
            ++v;
        line->valueBegin = v;
    }

    std::string_view file_;
    size_t pos_;
    size_t lf_ = kUnknown;  // the next LF at or after pos_, or the file's size when none
};

std::string_view valueOf(std::string_view file, const Line& line) {
    std::string_view value = trimBlanks(file.substr(line.valueBegin, line.end - line.valueBegin));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    size_t nul = value.find('\0');
    return nul == std::string_view::npos ? value : value.substr(0, nul);
}

// Copies one text as the profile functions return a value: cut to size - 1 characters.
uint32_t copyValue(std::string_view text, char* out, uint32_t size) {
    if (size == 0)
        return 0;
    size_t n = std::min<size_t>(text.size(), size - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    return static_cast<uint32_t>(n);
}

// Copies names as a list: each ends with NUL, the list with one more NUL. A list that does
// not fit is cut and ends with two NULs.
uint32_t copyList(const std::vector<std::string_view>& names, char* out, uint32_t size) {
    if (size == 0)
        return 0;
    size_t total = 0;
    for (std::string_view name : names)
        total += name.size() + 1;
    size_t room = total + 1 <= size ? total : (size >= 2 ? size - 2 : 0);
    size_t used = 0;
    for (std::string_view name : names) {
        if (used >= room)
            break;
        size_t n = std::min(name.size() + 1, room - used);
        std::memcpy(out + used, name.data(), std::min(name.size(), n));
        if (n > name.size())
            out[used + name.size()] = '\0';
        used += n;
    }
    out[used] = '\0';
    if (used + 1 < size)
        out[used + 1] = '\0';
    return static_cast<uint32_t>(used);
}

// Adds a name to a list, every occurrence in file order. An empty name or one holding NUL
// would end the NUL-separated list early for whoever reads it, so it is left out.
void addName(std::vector<std::string_view>* names, std::string_view name) {
    if (!name.empty() && name.find('\0') == std::string_view::npos)
        names->push_back(name);
}

// The line end that lines added to `file` get: the file's own, from its first line end; CR LF
// for a file that has none yet.
std::string_view lineEndOf(std::string_view file) {
    size_t at = file.find_first_of("\r\n", firstLine(file));
    if (at == std::string_view::npos)
        return "\r\n";
    if (file[at] == '\n')
        return "\n";
    return at + 1 < file.size() && file[at + 1] == '\n' ? "\r\n" : "\r";
}

bool hasLineBreak(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

struct Edit {
    size_t begin, end;
    std::string text;
};

std::string applyEdits(std::string_view file, const std::vector<Edit>& edits) {
    std::string out;
    out.reserve(file.size() + 64);
    size_t pos = 0;
    for (const Edit& edit : edits) {
        out.append(file.substr(pos, edit.begin - pos));
        out.append(edit.text);
        pos = edit.end;
    }
    out.append(file.substr(pos));
    return out;
}

}  // namespace

namespace profile {

std::optional<std::string_view> findValue(std::string_view file, std::string_view section,
                                          std::string_view key) {
    if (isUtf16(file))
        return std::nullopt;
    section = trimSpaces(section);
    key = trimSpaces(key);
    LineReader reader(file);
    Line line;
    bool inSection = false;
    while ((inSection || reader.skipToHeader()) && reader.next(&line)) {
        if (line.kind == LineKind::Section) {
            if (inSection)
                break;  // only the first section of that name is searched
            inSection = equalsNoCase(line.name, section);
        } else if (inSection && line.kind == LineKind::Key && equalsNoCase(line.name, key)) {
            return valueOf(file, line);
        }
    }
    return std::nullopt;
}

std::vector<std::string_view> sectionNames(std::string_view file) {
    std::vector<std::string_view> names;
    if (isUtf16(file))
        return names;
    LineReader reader(file);
    Line line;
    while (reader.skipToHeader() && reader.next(&line))
        addName(&names, line.name);
    return names;
}

std::vector<std::string_view> keyNames(std::string_view file, std::string_view section) {
    std::vector<std::string_view> names;
    if (isUtf16(file))
        return names;
    section = trimSpaces(section);
    LineReader reader(file);
    Line line;
    bool inSection = false;
    while ((inSection || reader.skipToHeader()) && reader.next(&line)) {
        if (line.kind == LineKind::Section) {
            if (inSection)
                break;
            inSection = equalsNoCase(line.name, section);
        } else if (inSection && line.kind == LineKind::Key) {
            addName(&names, line.name);
        }
    }
    return names;
}

uint32_t applyWrite(std::string_view file, std::string_view section, const char* key,
                    const char* value, std::string* out) {
    section = trimSpaces(section);
    std::string_view keyName = key != nullptr ? trimSpaces(key) : std::string_view();
    if (hasLineBreak(section) || section.find(']') != std::string_view::npos) {
        return kErrInvalidParameter;
    }
    if (key != nullptr) {
        // A key starting with '[' (after the blanks a reader skips) would read as a header.
        std::string_view lead = trimBlanks(keyName);
        if (hasLineBreak(keyName) || keyName.find('=') != std::string_view::npos ||
            (!lead.empty() && lead.front() == '[')) {
            return kErrInvalidParameter;
        }
    }
    if (value != nullptr && hasLineBreak(value))
        return kErrInvalidParameter;
    if (isUtf16(file))
        return kErrInvalidData;

    // A last line without a line end gets one, whatever the write does to the rest.
    std::string_view eol = lineEndOf(file);
    std::string terminated;
    if (file.size() > firstLine(file) && !isLineEnd(file.back())) {
        terminated.reserve(file.size() + eol.size());
        terminated.append(file).append(eol);
        file = terminated;
    }

    std::vector<Edit> edits;
    LineReader reader(file);
    Line line;
    bool inSection = false;
    if (key == nullptr) {
        // Delete the section: the headers of that name and the keys under them; comment lines,
        // blank lines and other lines stay.
        while ((inSection || reader.skipToHeader()) && reader.next(&line)) {
            if (line.kind == LineKind::Section)
                inSection = equalsNoCase(line.name, section);
            if (inSection && (line.kind == LineKind::Section || line.kind == LineKind::Key))
                edits.push_back({line.begin, line.next, {}});
        }
    } else if (value == nullptr) {
        // Delete the key: every occurrence in the first section of that name, the only one read,
        // so that no older copy shows through.
        while ((inSection || reader.skipToHeader()) && reader.next(&line)) {
            if (line.kind == LineKind::Section) {
                if (inSection)
                    break;
                inSection = equalsNoCase(line.name, section);
            } else if (inSection && line.kind == LineKind::Key &&
                       equalsNoCase(line.name, keyName)) {
                edits.push_back({line.begin, line.next, {}});
            }
        }
    } else {
        bool sectionSeen = false;
        size_t insertAt = file.size();  // after the last key line of the first section
        bool replaced = false;
        while ((inSection || reader.skipToHeader()) && reader.next(&line)) {
            if (line.kind == LineKind::Section) {
                if (inSection)
                    break;
                inSection = equalsNoCase(line.name, section);
                if (inSection) {
                    sectionSeen = true;
                    insertAt = line.next;
                }
            } else if (inSection && line.kind == LineKind::Key) {
                if (equalsNoCase(line.name, keyName)) {
                    edits.push_back({line.valueBegin, line.end, value});
                    replaced = true;
                    break;
                }
                insertAt = line.next;
            }
        }
        if (!replaced) {
            std::string text;
            if (!sectionSeen)
                text.append("[").append(section).append("]").append(eol);
            text.append(keyName).append("=").append(value).append(eol);
            edits.push_back({insertAt, insertAt, std::move(text)});
        }
    }
    *out = applyEdits(file, edits);
    return kSuccess;
}

uint32_t applyWrites(std::string_view file, std::span<const ProfileWrite> writes,
                     std::string* out) {
    std::string current(file);
    for (const ProfileWrite& write : writes) {
        std::string next;
        uint32_t error =
            applyWrite(current, write.section, write.key ? write.key->c_str() : nullptr,
                       write.value ? write.value->c_str() : nullptr, &next);
        if (error != kSuccess)
            return error;
        current = std::move(next);
    }
    *out = std::move(current);
    return kSuccess;
}

}  // namespace profile

std::string profilePath(std::string_view name) {
    bool ascii = std::all_of(name.begin(), name.end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    std::string path = ascii ? std::string(name) : ansiToUtf8(name);
    std::replace(path.begin(), path.end(), '\\', '/');
    if (path.empty())
        return path;
    if (path.find('/') == std::string::npos)
        path = systemDirectory() + "/" + path;
    return resolvePath(path);
}

namespace {

// Loads a profile file for reading: a missing or unreadable file reads as empty.
std::string loadForReading(const char* path) {
    std::string data;
    uint32_t error = readWholeFile(profilePath(path), &data);
    if (error != kSuccess) {
        data.clear();
        setLastError(error);
    }
    return data;
}

}  // namespace

uint32_t getPrivateProfileString(const char* section, const char* key, const char* defaultValue,
                                 char* out, uint32_t size, const char* path) {
    if (size == 0)
        return 0;
    if (out == nullptr || path == nullptr) {
        setLastError(kErrInvalidParameter);
        return 0;
    }
    std::string file = loadForReading(path);
    if (section == nullptr)
        return copyList(profile::sectionNames(file), out, size);
    if (key == nullptr)
        return copyList(profile::keyNames(file, section), out, size);
    if (std::optional<std::string_view> value = profile::findValue(file, section, key)) {
        return copyValue(*value, out, size);
    }
    std::string_view fallback = defaultValue != nullptr ? defaultValue : "";
    while (!fallback.empty() && fallback.back() == ' ')
        fallback.remove_suffix(1);
    return copyValue(fallback, out, size);
}

uint32_t getPrivateProfileInt(const char* section, const char* key, int defaultValue,
                              const char* path) {
    if (section == nullptr || key == nullptr || path == nullptr) {
        return static_cast<uint32_t>(defaultValue);
    }
    std::string file = loadForReading(path);
    std::optional<std::string_view> value = profile::findValue(file, section, key);
    if (!value)
        return static_cast<uint32_t>(defaultValue);
    std::string_view text = *value;
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        negative = text[i++] == '-';
    int64_t number = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        number = std::min<int64_t>(number * 10 + (text[i] - '0'), int64_t{INT_MAX} + 1);
    }
    if (negative)
        number = -number;
    number = std::clamp<int64_t>(number, INT_MIN, INT_MAX);
    return static_cast<uint32_t>(static_cast<int32_t>(number));
}

namespace {

// The one way a profile file is written: under its writers' lock, `change` turns the current
// contents into the new ones (or refuses with an error code), and the file is replaced whole
// when they differ. `change` also tells whether it applied any write at all: a write creates a
// missing file even when it adds nothing to it (a delete leaves an empty file, as the original
// does), an empty batch creates nothing.
using ProfileChange = std::function<uint32_t(std::string_view, std::string*, bool*)>;

bool changeProfileFile(const char* path, const ProfileChange& change) {
    if (path == nullptr || *path == '\0') {
        setLastError(kErrInvalidParameter);
        return false;
    }
    std::string file = profilePath(path);
    // Readers take no lock: the file is only ever replaced whole.
    FileWriteLock lock(file);
    if (!lock.ok()) {
        // The lock file is created when missing, so "not found" means the directory.
        setLastError(lock.error() == kErrFileNotFound ? kErrPathNotFound : lock.error());
        return false;
    }
    std::string data;
    uint32_t error = readWholeFile(file, &data);
    if (error != kSuccess && error != kErrFileNotFound) {
        setLastError(error);
        return false;
    }
    bool exists = error == kSuccess;
    std::string updated;
    bool applied = false;
    error = change(data, &updated, &applied);
    if (error != kSuccess) {
        setLastError(error);
        return false;
    }
    if (exists ? updated == data : !applied)
        return true;
    error = replaceFileAtomically(file, updated);
    if (error != kSuccess) {
        setLastError(error);
        return false;
    }
    return true;
}

}  // namespace

bool writePrivateProfileString(const char* section, const char* key, const char* value,
                               const char* path) {
    if (section == nullptr) {
        setLastError(kErrInvalidParameter);
        return false;
    }
    return changeProfileFile(path, [&](std::string_view data, std::string* updated, bool* applied) {
        *applied = true;
        return profile::applyWrite(data, section, key, value, updated);
    });
}

bool writePrivateProfileStrings(std::span<const ProfileWrite> writes, const char* path) {
    return changeProfileFile(path, [&](std::string_view data, std::string* updated, bool* applied) {
        *applied = !writes.empty();
        return profile::applyWrites(data, writes, updated);
    });
}

bool updatePrivateProfile(const char* path,
                          const std::function<std::vector<ProfileWrite>()>& compute) {
    return changeProfileFile(path, [&](std::string_view data, std::string* updated, bool* applied) {
        std::vector<ProfileWrite> writes = compute();
        *applied = !writes.empty();
        return profile::applyWrites(data, writes, updated);
    });
}

}  // namespace nvl::sys
