// The spyware engine's file formats (tarsk_format.h): byte-level readers and writers.
//
// All three binary files share one framing: an 8-byte magic, a format number, counts, the
// file's length and an XXH3-64 checksum, then length-prefixed records. A reader takes nothing on
// trust: the length must be the file's, the checksum must hold, every count and length is
// bounded before it is used, and a record that would run past the end is a fault, not a short
// read. Contents are then checked by the same rules the writer's input must meet, so what the
// reader accepts the writer would have made.
#include "tarsk_format.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <set>

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

namespace tarsk32 {

namespace {

constexpr char kPatternMagic[8] = {'T', 'A', 'R', 'S', 'K', 'P', 'T', 'N'};
constexpr char kListMagic[8] = {'T', 'A', 'R', 'S', 'K', 'L', 'S', 'T'};
constexpr char kBackupMagic[8] = {'T', 'A', 'R', 'S', 'K', 'B', 'A', 'K'};
constexpr uint16_t kFormat = 1;
constexpr size_t kListHeaderSize = 24;
constexpr size_t kMaxListEntries = 100000;
constexpr size_t kMaxLocationBytes = 4095;

void putU16(std::string* s, uint16_t v) {
    s->push_back(static_cast<char>(v & 0xff));
    s->push_back(static_cast<char>(v >> 8));
}
void putU32(std::string* s, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s->push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}
void putU64(std::string* s, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        s->push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}
void putStr(std::string* s, std::string_view v) {
    putU16(s, static_cast<uint16_t>(v.size()));
    s->append(v);
}
uint64_t getLe(const char* p, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(p[i]);
    return v;
}
void setU64At(std::string* s, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        (*s)[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

// A cursor over bytes in memory that refuses to run past the end.
class Cursor {
  public:
    explicit Cursor(std::string_view bytes) : bytes_(bytes) {}
    bool u8(uint8_t* v) { return fixed(v, 1); }
    bool u16(uint16_t* v) { return fixed(v, 2); }
    bool u32(uint32_t* v) { return fixed(v, 4); }
    bool str(std::string* v, size_t limit) {
        uint16_t n = 0;
        if (!u16(&n) || n > limit || bytes_.size() - at_ < n)
            return false;
        v->assign(bytes_.substr(at_, n));
        at_ += n;
        return true;
    }
    bool atEnd() const { return at_ == bytes_.size(); }

  private:
    template <class T>
    bool fixed(T* v, int n) {
        if (bytes_.size() - at_ < static_cast<size_t>(n))
            return false;
        *v = static_cast<T>(getLe(bytes_.data() + at_, n));
        at_ += n;
        return true;
    }
    std::string_view bytes_;
    size_t at_ = 0;
};

bool fail(std::string* error, std::string text) {
    if (error != nullptr)
        *error = std::move(text);
    return false;
}

// A name: 1 to 255 bytes of valid UTF-8 without control characters.
bool isGoodName(std::string_view s, size_t limit) {
    if (s.empty() || s.size() > limit)
        return false;
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f)
            return false;
    std::u16string wide = bytesToWide(s);
    return std::none_of(wide.begin(), wide.end(),
                        [](char16_t c) { return c >= 0xdc80 && c <= 0xdcff; });
}

bool isGoodRelativePath(std::string_view p) {
    if (p.empty() || p.size() > kMaxPathBytes || p.front() == '/')
        return false;
    return isCleanAbsolutePath("/" + std::string(p));
}

bool isValidDate(uint32_t d) {
    uint32_t y = d / 10000, m = d / 100 % 100, day = d % 100;
    if (y < 1990 || y > 2999 || m < 1 || m > 12 || day < 1)
        return false;
    static constexpr uint8_t kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return day <= (m == 2 && !leap ? 28u : kDays[m - 1]);
}

uint64_t patternChecksum(std::string_view bytes) {
    XXH3_state_t state;
    XXH3_64bits_reset(&state);
    XXH3_64bits_update(&state, bytes.data(), 56);
    static const char zeros[8] = {};
    XXH3_64bits_update(&state, zeros, 8);
    XXH3_64bits_update(&state, bytes.data() + 64, bytes.size() - 64);
    return XXH3_64bits_digest(&state);
}

}  // namespace

bool isCleanAbsolutePath(std::string_view p) {
    if (p.size() < 2 || p.front() != '/' || p.find('\0') != std::string_view::npos)
        return false;
    size_t at = 1;
    while (at <= p.size()) {
        size_t end = p.find('/', at);
        if (end == std::string_view::npos)
            end = p.size();
        std::string_view part = p.substr(at, end - at);
        if (part.empty() || part == "." || part == "..")
            return false;
        at = end + 1;
    }
    return true;
}

// --- The pattern -------------------------------------------------------------------------------

std::string formatDate(uint32_t d) {
    char text[16];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u", d / 10000, d / 100 % 100, d % 100);
    return text;
}

bool checkPattern(const Pattern& p, std::string* error) {
    if (p.version.empty() || p.version.size() > 15 ||
        !std::all_of(p.version.begin(), p.version.end(),
                     [](char c) { return c > 0x20 && c < 0x7f; }))
        return fail(error, "version must be 1 to 15 printable ASCII characters");
    if (!isValidDate(p.date))
        return fail(error, "date is not a calendar date from 1990 to 2999");
    if (p.companies.size() > kMaxTableRows || p.threats.size() > kMaxTableRows ||
        p.locations.size() > kMaxTableRows || p.signatures.size() > kMaxTableRows)
        return fail(error, "a table has more than 100000 rows");
    std::set<uint32_t> companies, threats, locations;
    for (const auto& c : p.companies) {
        if (c.id == 0 || !companies.insert(c.id).second)
            return fail(error, "company id 0 or repeated: " + std::to_string(c.id));
        if (!isGoodName(c.name, kMaxNameBytes))
            return fail(error, "bad company name for id " + std::to_string(c.id));
    }
    for (const auto& t : p.threats) {
        if (t.id == 0 || !threats.insert(t.id).second)
            return fail(error, "threat id 0 or repeated: " + std::to_string(t.id));
        if (companies.count(t.company) == 0)
            return fail(error, "threat " + std::to_string(t.id) + " names an unknown company");
        if (!isGoodName(t.name, kMaxNameBytes))
            return fail(error, "bad threat name for id " + std::to_string(t.id));
    }
    for (const auto& l : p.locations) {
        if (l.id == 0 || !locations.insert(l.id).second)
            return fail(error, "location id 0 or repeated: " + std::to_string(l.id));
        if (!isGoodRelativePath(l.path))
            return fail(error, "bad location path for id " + std::to_string(l.id));
    }
    for (size_t i = 0; i < p.signatures.size(); ++i) {
        const auto& s = p.signatures[i];
        std::string at = "signature " + std::to_string(i + 1) + ": ";
        if (threats.count(s.threat) == 0)
            return fail(error, at + "unknown threat");
        bool ok = false;
        switch (s.kind) {
            case kSigContent:
                ok = s.data.size() >= kMinContentBytes && s.data.size() <= kMaxContentBytes &&
                     s.extra.empty();
                break;
            case kSigFileName:
            case kSigDirectory:
                ok = isGoodName(s.data, kMaxNameBytes) && s.data.find('/') == std::string::npos &&
                     s.data != "." && s.data != ".." && s.extra.empty();
                break;
            case kSigRegistry:
                ok = isGoodName(s.data, kMaxPathBytes) && isGoodName(s.extra, kMaxNameBytes);
                break;
            case kSigCookie:
            case kSigHosts:
                ok = isGoodName(s.data, kMaxNameBytes) &&
                     std::all_of(s.data.begin(), s.data.end(),
                                 [](char c) {
                                     return std::isalnum(static_cast<unsigned char>(c)) ||
                                            c == '.' || c == '-' || c == '_';
                                 }) &&
                     s.extra.empty();
                break;
            case kSigAutostart:
                ok = isGoodName(s.data, kMaxNameBytes) && s.extra.empty();
                break;
            default:
                return fail(error, at + "unknown kind");
        }
        if (!ok)
            return fail(error, at + "bad data for its kind");
    }
    return true;
}

std::string writePattern(const Pattern& p) {
    std::string out(kPatternHeaderSize, '\0');
    std::memcpy(out.data(), kPatternMagic, 8);
    out[8] = static_cast<char>(kFormat);
    std::memcpy(out.data() + 12, p.version.data(), std::min<size_t>(p.version.size(), 15));
    std::string fields;
    putU32(&fields, p.date);
    putU32(&fields, static_cast<uint32_t>(p.signatures.size()));
    putU32(&fields, static_cast<uint32_t>(p.companies.size()));
    putU32(&fields, static_cast<uint32_t>(p.threats.size()));
    putU32(&fields, static_cast<uint32_t>(p.locations.size()));
    std::memcpy(out.data() + 28, fields.data(), fields.size());
    for (const auto& c : p.companies) {
        putU32(&out, c.id);
        putStr(&out, c.name);
    }
    for (const auto& t : p.threats) {
        putU32(&out, t.id);
        putU32(&out, t.company);
        putStr(&out, t.name);
    }
    for (const auto& l : p.locations) {
        putU32(&out, l.id);
        putStr(&out, l.path);
    }
    for (const auto& s : p.signatures) {
        out.push_back(static_cast<char>(s.kind));
        putU32(&out, s.threat);
        putStr(&out, s.data);
        putStr(&out, s.extra);
    }
    setU64At(&out, 48, out.size());
    setU64At(&out, 56, patternChecksum(out));
    return out;
}

bool readPattern(std::string_view bytes, Pattern* out, std::string* error) {
    if (bytes.size() < kPatternHeaderSize)
        return fail(error, "truncated: shorter than the pattern header");
    if (std::memcmp(bytes.data(), kPatternMagic, 8) != 0)
        return fail(error, "not a spyware pattern (bad magic)");
    if (getLe(bytes.data() + 8, 2) != kFormat || getLe(bytes.data() + 10, 2) != 0)
        return fail(error, "unknown pattern format");
    uint64_t declared = getLe(bytes.data() + 48, 8);
    if (declared > kMaxPatternBytes)
        return fail(error, "absurd: declared length over 64 MiB");
    if (declared > bytes.size())
        return fail(error, "truncated: shorter than its declared length");
    if (declared < bytes.size())
        return fail(error, "longer than its declared length");
    if (getLe(bytes.data() + 56, 8) != patternChecksum(bytes))
        return fail(error, "corrupt: checksum does not match");
    Pattern p;
    std::string_view version(bytes.data() + 12, 16);
    size_t nul = version.find('\0');
    if (nul == std::string_view::npos ||
        version.find_first_not_of('\0', nul) != std::string_view::npos)
        return fail(error, "corrupt: version text is not NUL-padded");
    p.version.assign(version.substr(0, nul));
    p.date = static_cast<uint32_t>(getLe(bytes.data() + 28, 4));
    uint32_t sigCount = static_cast<uint32_t>(getLe(bytes.data() + 32, 4));
    uint32_t companyCount = static_cast<uint32_t>(getLe(bytes.data() + 36, 4));
    uint32_t threatCount = static_cast<uint32_t>(getLe(bytes.data() + 40, 4));
    uint32_t locationCount = static_cast<uint32_t>(getLe(bytes.data() + 44, 4));
    if (sigCount > kMaxTableRows || companyCount > kMaxTableRows || threatCount > kMaxTableRows ||
        locationCount > kMaxTableRows)
        return fail(error, "absurd: a table has more than 100000 rows");
    Cursor c(bytes.substr(kPatternHeaderSize));
    bool ok = true;
    for (uint32_t i = 0; ok && i < companyCount; ++i) {
        Company row;
        ok = c.u32(&row.id) && c.str(&row.name, kMaxNameBytes);
        p.companies.push_back(std::move(row));
    }
    for (uint32_t i = 0; ok && i < threatCount; ++i) {
        Threat row;
        ok = c.u32(&row.id) && c.u32(&row.company) && c.str(&row.name, kMaxNameBytes);
        p.threats.push_back(std::move(row));
    }
    for (uint32_t i = 0; ok && i < locationCount; ++i) {
        Location row;
        ok = c.u32(&row.id) && c.str(&row.path, kMaxPathBytes);
        p.locations.push_back(std::move(row));
    }
    for (uint32_t i = 0; ok && i < sigCount; ++i) {
        Signature row;
        ok = c.u8(&row.kind) && c.u32(&row.threat) && c.str(&row.data, kMaxPathBytes) &&
             c.str(&row.extra, kMaxNameBytes);
        p.signatures.push_back(std::move(row));
    }
    if (!ok)
        return fail(error, "corrupt: a table runs past the end of the file");
    if (!c.atEnd())
        return fail(error, "corrupt: bytes after the last table");
    std::string why;
    if (!checkPattern(p, &why))
        return fail(error, "corrupt: " + why);
    *out = std::move(p);
    return true;
}

namespace {

bool parseNumber(std::string_view s, uint32_t* v) {
    auto r = std::from_chars(s.data(), s.data() + s.size(), *v);
    return r.ec == std::errc() && r.ptr == s.data() + s.size() && !s.empty();
}

// Splits off the first blank-separated word.
std::string_view word(std::string_view* rest) {
    size_t start = rest->find_first_not_of(" \t");
    if (start == std::string_view::npos) {
        *rest = {};
        return {};
    }
    size_t end = rest->find_first_of(" \t", start);
    if (end == std::string_view::npos)
        end = rest->size();
    std::string_view w = rest->substr(start, end - start);
    size_t next = rest->find_first_not_of(" \t", end);
    *rest = next == std::string_view::npos ? std::string_view() : rest->substr(next);
    return w;
}

bool parseHex(std::string_view s, std::string* out) {
    out->clear();
    std::string digits;
    for (char c : s)
        if (c != ' ' && c != '\t')
            digits.push_back(c);
    if (digits.size() % 2 != 0)
        return false;
    for (size_t i = 0; i < digits.size(); i += 2) {
        unsigned v = 0;
        auto r = std::from_chars(digits.data() + i, digits.data() + i + 2, v, 16);
        if (r.ec != std::errc() || r.ptr != digits.data() + i + 2)
            return false;
        out->push_back(static_cast<char>(v));
    }
    return true;
}

}  // namespace

bool parsePatternSource(std::string_view text, Pattern* out, std::string* error) {
    Pattern p;
    size_t lineNo = 0;
    while (!text.empty()) {
        ++lineNo;
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        std::string_view rest = line;
        std::string_view key = word(&rest);
        if (key.empty() || key.front() == '#')
            continue;
        std::string at = "line " + std::to_string(lineNo) + ": ";
        uint32_t id = 0, other = 0;
        if (key == "version") {
            p.version.assign(rest);
        } else if (key == "date") {
            uint32_t y = 0, m = 0, d = 0;
            if (rest.size() != 10 || rest[4] != '-' || rest[7] != '-' ||
                !parseNumber(rest.substr(0, 4), &y) || !parseNumber(rest.substr(5, 2), &m) ||
                !parseNumber(rest.substr(8, 2), &d))
                return fail(error, at + "date must be YYYY-MM-DD");
            p.date = y * 10000 + m * 100 + d;
        } else if (key == "company") {
            if (!parseNumber(word(&rest), &id) || rest.empty())
                return fail(error, at + "company ID NAME");
            p.companies.push_back({id, std::string(rest)});
        } else if (key == "threat") {
            if (!parseNumber(word(&rest), &id) || !parseNumber(word(&rest), &other) || rest.empty())
                return fail(error, at + "threat ID COMPANY-ID NAME");
            p.threats.push_back({id, other, std::string(rest)});
        } else if (key == "location") {
            if (!parseNumber(word(&rest), &id) || rest.empty())
                return fail(error, at + "location ID PATH");
            p.locations.push_back({id, std::string(rest)});
        } else {
            static const struct {
                std::string_view key;
                SignatureKind kind;
            } kKinds[] = {{"file", kSigFileName},       {"content", kSigContent},
                          {"directory", kSigDirectory}, {"registry", kSigRegistry},
                          {"cookie", kSigCookie},       {"autostart", kSigAutostart},
                          {"hosts", kSigHosts}};
            auto it = std::find_if(std::begin(kKinds), std::end(kKinds),
                                   [&](const auto& k) { return k.key == key; });
            if (it == std::end(kKinds))
                return fail(error, at + "unknown keyword '" + std::string(key) + "'");
            Signature s;
            s.kind = it->kind;
            if (!parseNumber(word(&rest), &s.threat) || rest.empty())
                return fail(error, at + std::string(key) + " THREAT-ID ...");
            if (s.kind == kSigContent) {
                if (!parseHex(rest, &s.data))
                    return fail(error, at + "content takes hexadecimal bytes");
            } else if (s.kind == kSigRegistry) {
                s.data.assign(word(&rest));
                s.extra.assign(rest);
                if (s.extra.empty())
                    return fail(error, at + "registry THREAT-ID KEY VALUE-NAME");
            } else {
                s.data.assign(rest);
            }
            p.signatures.push_back(std::move(s));
        }
    }
    if (!checkPattern(p, error))
        return false;
    *out = std::move(p);
    return true;
}

// --- Lists -------------------------------------------------------------------------------------

std::string writeList(const std::vector<ListEntry>& entries) {
    std::string out(kListHeaderSize, '\0');
    std::memcpy(out.data(), kListMagic, 8);
    out[8] = static_cast<char>(kFormat);
    std::string count;
    putU32(&count, static_cast<uint32_t>(entries.size()));
    std::memcpy(out.data() + 12, count.data(), 4);
    for (const auto& e : entries) {
        putU32(&out, e.threat);
        out.push_back(e.enabled ? 1 : 0);
        putStr(&out, e.location);
    }
    setU64At(&out, 16, XXH3_64bits(out.data() + kListHeaderSize, out.size() - kListHeaderSize));
    return out;
}

bool readList(std::string_view bytes, std::vector<ListEntry>* out, std::string* error) {
    if (bytes.size() < kListHeaderSize || std::memcmp(bytes.data(), kListMagic, 8) != 0)
        return fail(error, "not a list file (bad magic or truncated)");
    if (getLe(bytes.data() + 8, 2) != kFormat || getLe(bytes.data() + 10, 2) != 0)
        return fail(error, "unknown list format");
    uint32_t count = static_cast<uint32_t>(getLe(bytes.data() + 12, 4));
    if (count > kMaxListEntries)
        return fail(error, "absurd: more than 100000 list entries");
    if (getLe(bytes.data() + 16, 8) !=
        XXH3_64bits(bytes.data() + kListHeaderSize, bytes.size() - kListHeaderSize))
        return fail(error, "corrupt: checksum does not match");
    Cursor c(bytes.substr(kListHeaderSize));
    std::vector<ListEntry> entries;
    for (uint32_t i = 0; i < count; ++i) {
        ListEntry e;
        uint8_t enabled = 0;
        if (!c.u32(&e.threat) || !c.u8(&enabled) || !c.str(&e.location, kMaxLocationBytes))
            return fail(error, "truncated: an entry runs past the end");
        if (e.threat == 0 || enabled > 1 || e.location.find('\0') != std::string::npos ||
            (!e.location.empty() && !isCleanAbsolutePath(e.location)))
            return fail(error, "corrupt: bad entry " + std::to_string(i + 1));
        e.enabled = enabled == 1;
        entries.push_back(std::move(e));
    }
    if (!c.atEnd())
        return fail(error, "corrupt: bytes after the last entry");
    *out = std::move(entries);
    return true;
}

// --- Backup sets ---------------------------------------------------------------------------------

BackupWriter::~BackupWriter() {
    if (hash_ != nullptr)
        XXH3_freeState(static_cast<XXH3_state_t*>(hash_));
}

bool BackupWriter::put(std::string_view bytes) {
    XXH3_64bits_update(static_cast<XXH3_state_t*>(hash_), bytes.data(), bytes.size());
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done,
                             static_cast<off_t>(offset_ + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    offset_ += bytes.size();
    return true;
}

bool BackupWriter::begin(std::string_view description) {
    hash_ = XXH3_createState();
    if (hash_ == nullptr)
        return false;
    XXH3_64bits_reset(static_cast<XXH3_state_t*>(hash_));
    offset_ = kBackupHeaderSize;
    std::string d;
    putStr(&d, description.substr(0, kMaxNameBytes));
    return put(d);
}

namespace {
std::string recordHead(const BackupRecord& r, uint64_t size) {
    std::string h;
    h.push_back(static_cast<char>(r.kind));
    putU32(&h, r.threat);
    putU32(&h, r.scanner);
    putU32(&h, r.mode);
    putStr(&h, r.path);
    putStr(&h, r.extra);
    putU64(&h, size);
    return h;
}
}  // namespace

bool BackupWriter::add(const BackupRecord& r, std::string_view data) {
    if (count_ >= kMaxBackupRecords || r.path.size() > kMaxLocationBytes ||
        r.extra.size() > kMaxLocationBytes)
        return false;
    if (!put(recordHead(r, data.size())) || !put(data))
        return false;
    ++count_;
    return true;
}

bool BackupWriter::add(const BackupRecord& r, int dataFd, uint64_t size) {
    if (count_ >= kMaxBackupRecords || r.path.size() > kMaxLocationBytes ||
        r.extra.size() > kMaxLocationBytes)
        return false;
    uint64_t start = offset_;
    XXH3_state_t saved;
    XXH3_copyState(&saved, static_cast<XXH3_state_t*>(hash_));
    if (!put(recordHead(r, size)))
        return false;
    buffer_.resize(256 * 1024);
    uint64_t copied = 0;
    for (;;) {
        ssize_t n = ::pread(dataFd, buffer_.data(), buffer_.size(), static_cast<off_t>(copied));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        if (n == 0) {
            if (copied == size) {
                ++count_;
                return true;
            }
            break;
        }
        if (copied + static_cast<uint64_t>(n) > size)
            break;
        if (!put(std::string_view(buffer_.data(), static_cast<size_t>(n))))
            break;
        copied += static_cast<uint64_t>(n);
    }
    // The file changed size under the copy: the record is dropped, the set stays whole.
    offset_ = start;
    XXH3_copyState(static_cast<XXH3_state_t*>(hash_), &saved);
    return ::ftruncate(fd_, static_cast<off_t>(start)) == 0 && false;
}

bool BackupWriter::finish() {
    if (::ftruncate(fd_, static_cast<off_t>(offset_)) != 0)
        return false;
    std::string h(kBackupHeaderSize, '\0');
    std::memcpy(h.data(), kBackupMagic, 8);
    h[8] = static_cast<char>(kFormat);
    std::string f;
    putU32(&f, count_);
    putU64(&f, offset_);
    putU64(&f, XXH3_64bits_digest(static_cast<XXH3_state_t*>(hash_)));
    std::memcpy(h.data() + 12, f.data(), f.size());
    return ::pwrite(fd_, h.data(), h.size(), 0) == static_cast<ssize_t>(h.size());
}

namespace {

bool preadAll(int fd, void* buf, size_t n, uint64_t at) {
    auto* p = static_cast<char*>(buf);
    while (n > 0) {
        ssize_t r = ::pread(fd, p, n, static_cast<off_t>(at));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
        at += static_cast<uint64_t>(r);
    }
    return true;
}

}  // namespace

bool readBackupSet(int fd, BackupSet* out, std::string* error) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return fail(error, "not a regular file");
    auto size = static_cast<uint64_t>(st.st_size);
    char h[kBackupHeaderSize];
    if (size < kBackupHeaderSize || !preadAll(fd, h, sizeof h, 0))
        return fail(error, "truncated: shorter than the backup header");
    if (std::memcmp(h, kBackupMagic, 8) != 0)
        return fail(error, "not a backup set (bad magic)");
    if (getLe(h + 8, 2) != kFormat || getLe(h + 10, 2) != 0 || getLe(h + 32, 8) != 0)
        return fail(error, "unknown backup format");
    uint32_t count = static_cast<uint32_t>(getLe(h + 12, 4));
    uint64_t declared = getLe(h + 16, 8);
    if (count > kMaxBackupRecords)
        return fail(error, "absurd: more than 100000 records");
    if (declared != size)
        return fail(error, declared > size ? "truncated: shorter than its declared length"
                                           : "longer than its declared length");
    XXH3_state_t state;
    XXH3_64bits_reset(&state);
    std::vector<char> buf(256 * 1024);
    for (uint64_t at = kBackupHeaderSize; at < size;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - at));
        if (!preadAll(fd, buf.data(), n, at))
            return fail(error, "cannot read the backup set");
        XXH3_64bits_update(&state, buf.data(), n);
        at += n;
    }
    if (XXH3_64bits_digest(&state) != getLe(h + 24, 8))
        return fail(error, "corrupt: checksum does not match");

    // The checksum holds; the records are still bounded one by one.
    uint64_t at = kBackupHeaderSize;
    auto readStr = [&](std::string* s, size_t limit) {
        char n[2];
        if (size - at < 2 || !preadAll(fd, n, 2, at))
            return false;
        size_t len = static_cast<size_t>(getLe(n, 2));
        at += 2;
        if (len > limit || size - at < len)
            return false;
        s->resize(len);
        if (len > 0 && !preadAll(fd, s->data(), len, at))
            return false;
        at += len;
        return true;
    };
    BackupSet set;
    if (!readStr(&set.description, kMaxNameBytes))
        return fail(error, "corrupt: description");
    for (uint32_t i = 0; i < count; ++i) {
        BackupRecord r;
        char f[13];
        if (size - at < sizeof f || !preadAll(fd, f, sizeof f, at))
            return fail(error, "corrupt: a record runs past the end");
        at += sizeof f;
        r.kind = static_cast<uint8_t>(f[0]);
        r.threat = static_cast<uint32_t>(getLe(f + 1, 4));
        r.scanner = static_cast<uint32_t>(getLe(f + 5, 4));
        r.mode = static_cast<uint32_t>(getLe(f + 9, 4));
        char n[8];
        if (!readStr(&r.path, kMaxLocationBytes) || !readStr(&r.extra, kMaxLocationBytes) ||
            size - at < 8 || !preadAll(fd, n, 8, at))
            return fail(error, "corrupt: a record runs past the end");
        at += 8;
        r.dataSize = getLe(n, 8);
        r.dataOffset = at;
        if (r.dataSize > size - at)
            return fail(error, "corrupt: record data runs past the end");
        at += r.dataSize;
        std::string why = "corrupt: record " + std::to_string(i + 1) + ": ";
        switch (r.kind) {
            case kBackupFile:
            case kBackupDirectory:
            case kBackupLine:
                if (!isCleanAbsolutePath(r.path))
                    return fail(error, why + "location is not a clean absolute path");
                if (r.kind != kBackupFile && r.dataSize != 0)
                    return fail(error, why + "unexpected data");
                if (r.kind == kBackupLine &&
                    r.extra.find_first_of(std::string_view("\n\0", 2)) != std::string::npos)
                    return fail(error, why + "line holds a line break");
                if ((r.mode & ~07777u) != 0)
                    return fail(error, why + "bad mode");
                break;
            case kBackupRegistry:
                if (r.path.empty() || r.path.find('\0') != std::string::npos ||
                    r.dataSize > (1u << 20))
                    return fail(error, why + "bad registry value");
                break;
            default:
                return fail(error, why + "unknown kind");
        }
        set.records.push_back(std::move(r));
    }
    if (at != size)
        return fail(error, "corrupt: bytes after the last record");
    *out = std::move(set);
    return true;
}

}  // namespace tarsk32
