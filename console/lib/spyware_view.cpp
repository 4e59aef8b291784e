#include "spyware_view.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

namespace console {

namespace {

// --- Report ----------------------------------------------------------------------------------

// Decimal digits only (no sign, no blanks), at most `max`.
bool parseNumber(std::string_view text, uint64_t max, uint64_t* value) {
    if (text.empty() || text.size() > 20)
        return false;
    uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (result > (max - digit) / 10)
            return false;
        result = result * 10 + digit;
    }
    *value = result;
    return true;
}

bool parseSeconds(std::string_view text, int64_t* value) {
    uint64_t number = 0;
    if (!parseNumber(text, static_cast<uint64_t>(INT64_MAX), &number))
        return false;
    *value = static_cast<int64_t>(number);
    return true;
}

bool parseState(std::string_view text, SpywareFinding::State* state) {
    using State = SpywareFinding::State;
    if (text == "found")
        *state = State::Found;
    else if (text == "backed-up")
        *state = State::BackedUp;
    else if (text == "cleaned")
        *state = State::Cleaned;
    else if (text == "failed")
        *state = State::Failed;
    else
        return false;
    return true;
}

// "SCANNER<TAB>STATE<TAB>THREAT<TAB>LOCATION"; the location keeps any further tabs.
bool parseFinding(std::string_view fields, SpywareFinding* finding) {
    std::string_view parts[3];
    for (std::string_view& part : parts) {
        size_t tab = fields.find('\t');
        if (tab == std::string_view::npos)
            return false;
        part = fields.substr(0, tab);
        fields.remove_prefix(tab + 1);
    }
    uint64_t scanner = 0;
    if (!parseNumber(parts[0], UINT32_MAX, &scanner) || scanner == 0 ||
        !parseState(parts[1], &finding->state) || parts[2].empty() || fields.empty())
        return false;
    finding->scanner = static_cast<uint32_t>(scanner);
    finding->threat = parts[2];
    finding->location = fields;
    return true;
}

bool isKey(std::string_view key) {
    return !key.empty() && std::all_of(key.begin(), key.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    });
}

// --- Display ---------------------------------------------------------------------------------

// A piece of a name: a character, or a byte that belongs to none.
struct Piece {
    char32_t value;
    bool byte;
};

// Characters shown by their number rather than drawn: controls (a tab stays a tab), lone
// surrogates, and the marks that change the direction of the text around them.
bool shownByNumber(char32_t c) {
    return (c < 0x20 && c != '\t') || (c >= 0x7F && c <= 0x9F) || (c >= 0xD800 && c <= 0xDFFF) ||
           c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF. Each byte outside a
// well-formed sequence is a piece of its own.
template <class Emit>
void decodeBytes(std::string_view bytes, Emit emit) {
    auto at = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    for (size_t i = 0; i < bytes.size();) {
        unsigned char c = at(i);
        if (c < 0x80) {
            emit(Piece{c, false});
            ++i;
            continue;
        }
        size_t length = c >= 0xC2 && c <= 0xDF   ? 2
                        : c >= 0xE0 && c <= 0xEF ? 3
                        : c >= 0xF0 && c <= 0xF4 ? 4
                                                 : 0;
        bool ok = length != 0 && i + length <= bytes.size();
        for (size_t k = 1; ok && k < length; ++k)
            ok = (at(i + k) & 0xC0) == 0x80;
        if (ok) {
            unsigned char second = at(i + 1);
            ok = !((c == 0xE0 && second < 0xA0) || (c == 0xED && second > 0x9F) ||
                   (c == 0xF0 && second < 0x90) || (c == 0xF4 && second > 0x8F));
        }
        if (!ok) {
            emit(Piece{c, true});
            ++i;
            continue;
        }
        char32_t value = c & (0xFF >> (length + 1));
        for (size_t k = 1; k < length; ++k)
            value = (value << 6) | (at(i + k) & 0x3F);
        emit(Piece{value, false});
        i += length;
    }
}

// Pairs make one character; a lone U+DC80..U+DCFF is the byte it carries; any other lone
// surrogate is a character shown by its number.
template <class Emit>
void decodeUtf16(std::u16string_view text, Emit emit) {
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t u = text[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            emit(Piece{0x10000 + ((u - 0xD800) << 10) + (text[i + 1] - 0xDC00), false});
            ++i;
        } else if (u >= 0xDC80 && u <= 0xDCFF) {
            emit(Piece{u - 0xDC00, true});
        } else {
            emit(Piece{u, false});
        }
    }
}

// The visible stand-in of a byte or a character shown by its number.
std::string marker(const Piece& piece) {
    char text[16];
    if (piece.byte)
        std::snprintf(text, sizeof text, "\\x%02X", static_cast<unsigned>(piece.value));
    else
        std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(piece.value));
    return text;
}

void appendHtml(std::string& out, const Piece& piece) {
    if (piece.byte || shownByNumber(piece.value)) {
        out += "<span class=\"byte\">" + marker(piece) + "</span>";
        return;
    }
    switch (piece.value) {
        case '<':
            out += "&lt;";
            return;
        case '>':
            out += "&gt;";
            return;
        case '&':
            out += "&amp;";
            return;
        case '"':
            out += "&quot;";
            return;
        case '\'':
            out += "&#39;";
            return;
        default:
            break;
    }
    if (piece.value < 0x80) {
        out += static_cast<char>(piece.value);
        return;
    }
    char reference[16];
    std::snprintf(reference, sizeof reference, "&#x%X;", static_cast<unsigned>(piece.value));
    out += reference;
}

void appendJsonUnit(std::string& out, unsigned unit) {
    char escape[16];
    std::snprintf(escape, sizeof escape, "\\u%04x", unit & 0xFFFFu);
    out += escape;
}

void appendJson(std::string& out, const Piece& piece) {
    if (piece.byte || shownByNumber(piece.value)) {
        for (char c : marker(piece)) {
            if (c == '\\')
                out += "\\\\";
            else
                out += c;
        }
        return;
    }
    char32_t c = piece.value;
    if (c == '"' || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
    } else if (c == '\t') {
        out += "\\t";
    } else if (c == '<' || c == '>' || c == '&') {
        appendJsonUnit(out, static_cast<unsigned>(c));
    } else if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x10000) {
        appendJsonUnit(out, static_cast<unsigned>(c));
    } else {
        appendJsonUnit(out, static_cast<unsigned>(0xD800 + ((c - 0x10000) >> 10)));
        appendJsonUnit(out, static_cast<unsigned>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    }
}

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Whether the regular file at `path` holds `line` as one of its lines (with or without a CR
// before its LF).
bool fileHoldsLine(const std::string& path, std::string_view line) {
    constexpr size_t kReadAtMost = size_t{4} << 20;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return false;
    struct stat st {};
    std::string bytes;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<uint64_t>(st.st_size) <= kReadAtMost) {
        bytes.resize(static_cast<size_t>(st.st_size));
        size_t length = 0;
        while (length < bytes.size()) {
            ssize_t n = ::read(fd, bytes.data() + length, bytes.size() - length);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            length += static_cast<size_t>(n);
        }
        bytes.resize(length);
    }
    ::close(fd);
    std::string_view text = bytes;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view current = text.substr(0, end);
        if (current == line || (!current.empty() && current.back() == '\r' &&
                                current.substr(0, current.size() - 1) == line))
            return true;
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return false;
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

bool parseSpywareReport(std::string_view bytes, SpywareReport* report) {
    if (bytes.empty() || bytes.back() != '\n' || bytes.find('\0') != std::string_view::npos)
        return false;
    constexpr unsigned kNone = 0;
    enum : unsigned {
        kStatus = 1,
        kType = 2,
        kClean = 4,
        kFound = 8,
        kCleaned = 16,
        kBackup = 32,
        kStarted = 64,
        kFinished = 128,
        kAll = 255,
    };
    SpywareReport result;
    unsigned seen = 0;
    bool first = true;
    for (size_t at = 0; at < bytes.size();) {
        size_t end = bytes.find('\n', at);
        std::string_view line = bytes.substr(at, end - at);
        at = end + 1;
        // The command writes a blank after a header's key and a tab after "item"; either is
        // taken after any key.
        size_t gap = line.find_first_of(" \t");
        if (gap == std::string_view::npos || !isKey(line.substr(0, gap)))
            return false;
        std::string_view key = line.substr(0, gap), value = line.substr(gap + 1);
        if (first) {
            if (key != "nvl-spyscan-report" || value != "1")
                return false;
            first = false;
            continue;
        }
        if (key == "item") {
            SpywareFinding finding;
            if (!parseFinding(value, &finding))
                return false;
            result.findings.push_back(std::move(finding));
            continue;
        }
        unsigned field = key == "status"     ? kStatus
                         : key == "type"     ? kType
                         : key == "clean"    ? kClean
                         : key == "found"    ? kFound
                         : key == "cleaned"  ? kCleaned
                         : key == "backup"   ? kBackup
                         : key == "started"  ? kStarted
                         : key == "finished" ? kFinished
                                             : kNone;
        if (field == kNone)
            continue;  // a later command's addition
        if ((seen & field) != 0)
            return false;
        seen |= field;
        bool ok = true;
        switch (field) {
            case kStatus:
                ok = value == "done" || value == "stopped" || value == "failed";
                result.status = value == "done"      ? SpywareReport::Status::Done
                                : value == "stopped" ? SpywareReport::Status::Stopped
                                                     : SpywareReport::Status::Failed;
                break;
            case kType:
                ok = value == "full" || value == "quick";
                result.quick = value == "quick";
                break;
            case kClean:
                ok = value == "0" || value == "1";
                result.clean = value == "1";
                break;
            case kFound:
                ok = parseNumber(value, UINT64_MAX, &result.found);
                break;
            case kCleaned:
                ok = parseNumber(value, UINT64_MAX, &result.cleaned);
                break;
            case kBackup:
                result.backup = value;
                break;
            case kStarted:
                ok = parseSeconds(value, &result.started);
                break;
            default:
                ok = parseSeconds(value, &result.finished);
                break;
        }
        if (!ok)
            return false;
    }
    if (seen != kAll)
        return false;
    *report = std::move(result);
    return true;
}

ReportRead readSpywareReport(const std::string& path, SpywareReport* report) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return errno == ENOENT ? ReportRead::Missing : ReportRead::Unreadable;
    struct stat st {};
    std::string bytes;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              static_cast<uint64_t>(st.st_size) <= kSpywareReportLimit;
    if (ok) {
        // Read to the end rather than trust the size, but never past the limit.
        bytes.resize(kSpywareReportLimit + 1);
        size_t length = 0;
        while (length < bytes.size()) {
            ssize_t n = ::read(fd, bytes.data() + length, bytes.size() - length);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                ok = n == 0;
                break;
            }
            length += static_cast<size_t>(n);
        }
        bytes.resize(length);
        ok = ok && length <= kSpywareReportLimit;
    }
    ::close(fd);
    return ok && parseSpywareReport(bytes, report) ? ReportRead::Read : ReportRead::Unreadable;
}

std::string fileStamp(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return {};
    char stamp[128];
    std::snprintf(stamp, sizeof stamp, "%llx-%llx-%llx-%lld.%09ld",
                  static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino),
                  static_cast<unsigned long long>(st.st_size),
                  static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec);
    return stamp;
}

std::string htmlFromBytes(std::string_view bytes) {
    std::string out;
    decodeBytes(bytes, [&](const Piece& piece) { appendHtml(out, piece); });
    return out;
}

std::string htmlFromUtf16(std::u16string_view text) {
    std::string out;
    decodeUtf16(text, [&](const Piece& piece) { appendHtml(out, piece); });
    return out;
}

std::string jsonFromUtf16(std::u16string_view text) {
    std::string out = "\"";
    decodeUtf16(text, [&](const Piece& piece) { appendJson(out, piece); });
    return out + "\"";
}

std::u16string utf16FromBytes(std::string_view bytes) {
    std::u16string out;
    decodeBytes(bytes, [&](const Piece& piece) {
        if (piece.byte) {
            out += static_cast<char16_t>(0xDC00 + piece.value);
        } else if (piece.value < 0x10000) {
            out += static_cast<char16_t>(piece.value);
        } else {
            out += static_cast<char16_t>(0xD800 + ((piece.value - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((piece.value - 0x10000) & 0x3FF));
        }
    });
    return out;
}

std::string bytesFromUtf16(std::u16string_view text) {
    std::string out;
    decodeUtf16(text, [&](const Piece& piece) {
        if (piece.byte)
            out += static_cast<char>(piece.value);
        else
            appendUtf8(out, piece.value);
    });
    return out;
}

bool isBackupSetName(std::string_view name) {
    constexpr std::string_view kSuffix = ".tbk";
    if (name.size() <= kSuffix.size() || name.size() > 255 || name.front() == '.' ||
        name.substr(name.size() - kSuffix.size()) != kSuffix)
        return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '_' || c == '-';
    });
}

std::vector<BackupSetFile> listBackupSets(const std::string& directory, size_t limit, bool* more) {
    std::vector<BackupSetFile> sets;
    *more = false;
    int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return sets;
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(fd));
    if (!dir) {
        ::close(fd);
        return sets;
    }
    // A directory of the engine's holds its sets; a runaway one is not read to its end.
    constexpr size_t kEntriesAtMost = 100000;
    size_t entries = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        if (++entries > kEntriesAtMost) {
            *more = true;
            break;
        }
        std::string_view name = entry->d_name;
        struct stat st {};
        if (!isBackupSetName(name) ||
            ::fstatat(::dirfd(dir.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode))
            continue;
        sets.push_back(
            {std::string(name), static_cast<int64_t>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec});
    }
    std::sort(sets.begin(), sets.end(), [](const BackupSetFile& a, const BackupSetFile& b) {
        if (a.modified != b.modified)
            return a.modified > b.modified;
        if (a.modifiedNanoseconds != b.modifiedNanoseconds)
            return a.modifiedNanoseconds > b.modifiedNanoseconds;
        return a.name > b.name;
    });
    if (sets.size() > limit) {
        sets.resize(limit);
        *more = true;
    }
    return sets;
}

bool backupSetExists(const std::string& directory, std::string_view name) {
    if (!isBackupSetName(name))
        return false;
    struct stat st {};
    std::string path = directory + "/" + std::string(name);
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

Presence recordPresence(uint32_t kind, std::string_view location) {
    struct stat st {};
    switch (kind) {
        case 1:
        case 2:
            return ::lstat(std::string(location).c_str(), &st) == 0 ? Presence::Present
                                                                    : Presence::Absent;
        case 3:
            for (size_t colon = location.find(':'); colon != std::string_view::npos;
                 colon = location.find(':', colon + 1)) {
                if (fileHoldsLine(std::string(location.substr(0, colon)),
                                  location.substr(colon + 1)))
                    return Presence::Present;
            }
            return Presence::Absent;
        default:
            return Presence::Unknown;
    }
}

}  // namespace console
