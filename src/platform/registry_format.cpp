#include "platform/registry_format.h"

#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "platform/error.h"

namespace nvl::sys::regformat {

namespace {

constexpr std::string_view kVersion5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kVersion4 = "REGEDIT4";
// The registry editor keeps hex lines within 80 columns.
constexpr size_t kHexLineWidth = 80;
constexpr char32_t kReplacement = 0xFFFD;

struct HiveNames {
    RegHive hive;
    std::string_view longName;
    std::string_view shortName;
};
constexpr HiveNames kHives[] = {
    {RegHive::LocalMachine, "HKEY_LOCAL_MACHINE", "HKLM"},
    {RegHive::CurrentUser, "HKEY_CURRENT_USER", "HKCU"},
    {RegHive::ClassesRoot, "HKEY_CLASSES_ROOT", "HKCR"},
    {RegHive::Users, "HKEY_USERS", "HKU"},
    {RegHive::CurrentConfig, "HKEY_CURRENT_CONFIG", "HKCC"},
};

size_t hiveIndex(RegHive hive) {
    return static_cast<size_t>(hive);
}

// --- Text ------------------------------------------------------------------------------------

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view trimLeft(std::string_view s) {
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    return s;
}

std::string_view trimRight(std::string_view s) {
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

unsigned hexValue(char c) {
    if (c >= '0' && c <= '9')
        return static_cast<unsigned>(c - '0');
    if (c >= 'a' && c <= 'f')
        return static_cast<unsigned>(c - 'a' + 10);
    return static_cast<unsigned>(c - 'A' + 10);
}

char asciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool equalsAsciiNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (asciiUpper(a[i]) != asciiUpper(b[i]))
            return false;
    }
    return true;
}

bool startsWithAsciiNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && equalsAsciiNoCase(s.substr(0, prefix.size()), prefix);
}

// One code point of UTF-8 at s[i]; false for an invalid or overlong sequence.
bool decodeUtf8(std::string_view s, size_t i, char32_t* cp, size_t* length) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char lead = byte(i);
    size_t n;
    char32_t value;
    if (lead < 0x80) {
        *cp = lead;
        *length = 1;
        return true;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        value = lead & 0x07;
    } else {
        return false;
    }
    if (s.size() - i < n)
        return false;
    for (size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return false;
        value = (value << 6) | (byte(i + k) & 0x3F);
    }
    if ((n == 3 && value < 0x800) || (n == 4 && (value < 0x10000 || value > 0x10FFFF)) ||
        (value >= 0xD800 && value <= 0xDFFF)) {
        return false;
    }
    *cp = value;
    *length = n;
    return true;
}

void appendUtf8(std::string* out, char32_t cp) {
    if (cp < 0x80) {
        out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

char16_t unitAt(std::string_view bytes, size_t i, bool bigEndian) {
    auto lo = static_cast<unsigned char>(bytes[i + (bigEndian ? 1 : 0)]);
    auto hi = static_cast<unsigned char>(bytes[i + (bigEndian ? 0 : 1)]);
    return static_cast<char16_t>(lo | (hi << 8));
}

// UTF-16 bytes (an even count) as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf16ToUtf8(std::string_view bytes, bool bigEndian) {
    std::string out;
    out.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        char32_t cp = unitAt(bytes, i, bigEndian);
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 3 < bytes.size()) {
            char16_t low = unitAt(bytes, i + 2, bigEndian);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        if (cp >= 0xD800 && cp <= 0xDFFF)
            cp = kReplacement;
        appendUtf8(&out, cp);
    }
    return out;
}

void appendUnit(std::string* out, char16_t unit, bool bigEndian) {
    char lo = static_cast<char>(unit & 0xFF);
    char hi = static_cast<char>(unit >> 8);
    out->push_back(bigEndian ? hi : lo);
    out->push_back(bigEndian ? lo : hi);
}

// UTF-8 as UTF-16 bytes; an invalid byte becomes U+FFFD.
std::string utf8ToUtf16(std::string_view text, bool bigEndian) {
    std::string out;
    out.reserve(text.size() * 2);
    for (size_t i = 0; i < text.size();) {
        char32_t cp;
        size_t length;
        if (!decodeUtf8(text, i, &cp, &length)) {
            cp = kReplacement;
            length = 1;
        }
        i += length;
        if (cp >= 0x10000) {
            appendUnit(&out, static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)), bigEndian);
            appendUnit(&out, static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)), bigEndian);
        } else {
            appendUnit(&out, static_cast<char16_t>(cp), bigEndian);
        }
    }
    return out;
}

locale_t upperCaseLocale() {
    // C.UTF-8 carries the full Unicode case mapping whatever the process locale is.
    static const locale_t locale = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return locale;
}

// --- Reading ---------------------------------------------------------------------------------

// The text between double quotes starting at s[i], with \\ and \" unescaped; any other
// backslash stands for itself. Returns the position after the closing quote, or npos.
size_t parseQuoted(std::string_view s, size_t i, std::string* out) {
    size_t close = s.find('"', i + 1);
    if (close != std::string_view::npos &&
        s.substr(i + 1, close - i - 1).find('\\') == std::string_view::npos) {
        out->assign(s.substr(i + 1, close - i - 1));
        return close + 1;
    }
    out->clear();
    for (++i; i < s.size(); ++i) {
        char c = s[i];
        if (c == '"')
            return i + 1;
        if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"'))
            c = s[++i];
        out->push_back(c);
    }
    return std::string_view::npos;
}

// The name and the position of the data of a value line ("name"=data or @=data).
bool parseValueHead(std::string_view line, std::string* name, size_t* dataPos) {
    size_t i;
    if (line.empty())
        return false;
    if (line[0] == '@') {
        name->clear();
        i = 1;
    } else if (line[0] == '"') {
        i = parseQuoted(line, 0, name);
        if (i == std::string_view::npos)
            return false;
    } else {
        return false;
    }
    while (i < line.size() && isBlank(line[i]))
        ++i;
    if (i >= line.size() || line[i] != '=')
        return false;
    ++i;
    while (i < line.size() && isBlank(line[i]))
        ++i;
    *dataPos = i;
    return true;
}

// Comma-separated hex bytes ("00,1f, a0,"); a trailing comma is allowed.
bool parseHexList(std::string_view s, std::string* out) {
    out->clear();
    size_t i = 0;
    auto skipBlanks = [&] {
        while (i < s.size() && isBlank(s[i]))
            ++i;
    };
    skipBlanks();
    while (i < s.size()) {
        unsigned value = 0;
        size_t digits = 0;
        while (i < s.size() && digits < 2 && isHexDigit(s[i])) {
            value = value * 16 + hexValue(s[i++]);
            ++digits;
        }
        if (digits == 0)
            return false;
        out->push_back(static_cast<char>(value));
        skipBlanks();
        if (i == s.size())
            break;
        if (s[i] != ',')
            return false;
        ++i;
        skipBlanks();
    }
    return true;
}

// Text stored in hex data: UTF-16LE in a version 5 file, 8-bit otherwise (and when the byte
// count is odd, which UTF-16 cannot be).
std::string textOfBytes(std::string_view bytes, bool version4) {
    if (!version4 && bytes.size() % 2 == 0)
        return utf16ToUtf8(bytes, false);
    return std::string(bytes);
}

std::string bytesOfText(std::string_view text, bool version4) {
    if (version4)
        return std::string(text) + '\0';
    return utf8ToUtf16(text, false) + std::string(2, '\0');
}

RegValue valueOfHex(uint32_t type, std::string bytes, bool version4) {
    RegValue value;
    value.type = type;
    if (type == kRegSz || type == kRegExpandSz) {
        std::string text = textOfBytes(bytes, version4);
        value.data = text.substr(0, text.find('\0'));
    } else if (type == kRegMultiSz) {
        // Strings each ended by NUL, the list ended by an empty string.
        std::string text = textOfBytes(bytes, version4);
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find('\0', pos);
            if (end == pos)
                break;
            if (end == std::string::npos)
                end = text.size();
            value.data.append(text, pos, end - pos);
            value.data.push_back('\0');
            pos = end + 1;
        }
    } else {
        value.data = std::move(bytes);
    }
    return value;
}

bool parseValueData(std::string_view data, bool version4, Entry* entry) {
    data = trimRight(data);
    if (data == "-") {
        entry->removal = true;
        return true;
    }
    if (!data.empty() && data[0] == '"') {
        size_t end = parseQuoted(data, 0, &entry->value.data);
        if (end != data.size())
            return false;
        entry->value.type = kRegSz;
        return true;
    }
    if (startsWithAsciiNoCase(data, "dword:")) {
        std::string_view digits = data.substr(6);
        if (digits.empty() || digits.size() > 8 ||
            !std::all_of(digits.begin(), digits.end(), isHexDigit))
            return false;
        uint32_t number = 0;
        for (char c : digits)
            number = number * 16 + hexValue(c);
        entry->value.type = kRegDword;
        entry->value.data.clear();
        for (int k = 0; k < 4; ++k)
            entry->value.data.push_back(static_cast<char>((number >> (8 * k)) & 0xFF));
        return true;
    }
    if (startsWithAsciiNoCase(data, "hex")) {
        size_t i = 3;
        uint32_t type = kRegBinary;
        if (i < data.size() && data[i] == '(') {
            size_t close = data.find(')', i);
            if (close == std::string_view::npos || close == i + 1 || close - i - 1 > 8)
                return false;
            type = 0;
            for (size_t k = i + 1; k < close; ++k) {
                if (!isHexDigit(data[k]))
                    return false;
                type = type * 16 + hexValue(data[k]);
            }
            i = close + 1;
        }
        if (i >= data.size() || data[i] != ':')
            return false;
        std::string bytes;
        if (!parseHexList(data.substr(i + 1), &bytes))
            return false;
        entry->value = valueOfHex(type, std::move(bytes), version4);
        return true;
    }
    return false;
}

bool parseValueLine(std::string_view text, bool version4, Entry* entry) {
    size_t dataPos;
    if (!parseValueHead(text, &entry->name, &dataPos))
        return false;
    if (!parseValueData(text.substr(dataPos), version4, entry))
        return false;
    entry->kind = Entry::Kind::kValue;
    return true;
}

// A line that starts with '[' always opens a section, so that values after a broken header are
// not taken for values of the key before it. Only a well-formed one names a key.
void parseHeaderLine(std::string_view text, Entry* entry) {
    entry->kind = Entry::Kind::kHeader;
    size_t close = text.rfind(']');
    if (close == std::string_view::npos || !trimLeft(text.substr(close + 1)).empty())
        return;
    std::string_view inner = text.substr(1, close - 1);
    if (!inner.empty() && inner[0] == '-') {
        entry->removal = true;
        inner.remove_prefix(1);
    }
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= inner.size()) {
        size_t end = std::min(inner.find('\\', pos), inner.size());
        if (end > pos)
            parts.emplace_back(inner.substr(pos, end - pos));
        pos = end + 1;
    }
    if (parts.empty() || !parseHiveName(parts[0], &entry->hive))
        return;
    entry->known = true;
    entry->path.assign(std::make_move_iterator(parts.begin() + 1),
                       std::make_move_iterator(parts.end()));
}

struct PhysicalLine {
    size_t begin = 0;
    size_t end = 0;         // after the line end
    std::string_view text;  // decoded, line end removed
    bool hasNul = false;
    bool ended = false;  // by a line end, not by the end of the file
};

// The data of a value line that may continue on the next line.
bool isContinuedHex(std::string_view text) {
    if (trimRight(text).empty() || trimRight(text).back() != '\\')
        return false;
    std::string name;
    size_t dataPos;
    return parseValueHead(text, &name, &dataPos) &&
           startsWithAsciiNoCase(text.substr(dataPos), "hex");
}

bool isContinuationLine(const PhysicalLine& line) {
    std::string_view t = trimLeft(line.text);
    return !line.hasNul && !t.empty() && isHexDigit(t[0]);
}

// The lines of `body`. Their text views `body` itself, or `storage` for UTF-16 files.
std::vector<PhysicalLine> splitLines(std::string_view body, TextEncoding encoding, bool* crlf,
                                     std::string* storage) {
    std::vector<PhysicalLine> lines;
    std::vector<std::pair<size_t, size_t>> decoded;  // offset and size in storage
    bool wide = encoding != TextEncoding::kUtf8;
    bool bigEndian = encoding == TextEncoding::kUtf16Be;
    bool sawLineEnd = false;
    size_t pos = 0;
    while (pos < body.size()) {
        size_t contentEnd = body.size();
        size_t next = body.size();
        if (!wide) {
            const void* nl = std::memchr(body.data() + pos, '\n', body.size() - pos);
            if (nl != nullptr) {
                contentEnd = static_cast<size_t>(static_cast<const char*>(nl) - body.data());
                next = contentEnd + 1;
            }
        } else {
            for (size_t i = pos; i + 1 < body.size(); i += 2) {
                if (unitAt(body, i, bigEndian) == u'\n') {
                    contentEnd = i;
                    next = i + 2;
                    break;
                }
            }
        }
        PhysicalLine line;
        line.begin = pos;
        line.end = next;
        line.ended = next != contentEnd;
        if (!wide) {
            line.text = body.substr(pos, contentEnd - pos);
        } else {
            size_t offset = storage->size();
            *storage += utf16ToUtf8(body.substr(pos, contentEnd - pos), bigEndian);
            decoded.emplace_back(offset, storage->size() - offset);
        }
        lines.push_back(line);
        pos = next;
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        PhysicalLine& line = lines[i];
        if (wide)
            line.text = std::string_view(*storage).substr(decoded[i].first, decoded[i].second);
        line.hasNul = line.text.find('\0') != std::string_view::npos;
        bool cr = !line.text.empty() && line.text.back() == '\r';
        if (cr)
            line.text.remove_suffix(1);
        if (!sawLineEnd && line.ended) {
            *crlf = cr;
            sawLineEnd = true;
        }
    }
    return lines;
}

// --- Writing ---------------------------------------------------------------------------------

std::string quote(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"')
            out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

std::vector<std::string> hexLines(std::string head, std::string_view bytes) {
    std::vector<std::string> lines;
    std::string line = std::move(head);
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < bytes.size(); ++i) {
        auto b = static_cast<unsigned char>(bytes[i]);
        std::string token{kDigits[b >> 4], kDigits[b & 15]};
        if (i + 1 < bytes.size())
            token.push_back(',');
        // Room for the token and a continuation backslash.
        if (line.size() + token.size() + 1 > kHexLineWidth && line.back() != ' ') {
            lines.push_back(line + "\\");
            line = "  ";
        }
        line += token;
    }
    lines.push_back(std::move(line));
    return lines;
}

std::string encodeText(const Document& doc, std::string_view utf8) {
    if (doc.encoding == TextEncoding::kUtf8)
        return std::string(utf8);
    return utf8ToUtf16(utf8, doc.encoding == TextEncoding::kUtf16Be);
}

std::string lineEnd(const Document& doc) {
    return encodeText(doc, doc.crlf ? "\r\n" : "\n");
}

bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

Entry makeEntry(const Document& doc, const std::vector<std::string>& lines) {
    Entry entry;
    std::string end = lineEnd(doc);
    for (const std::string& line : lines)
        entry.raw += encodeText(doc, line) + end;
    return entry;
}

Entry makeValueEntry(const Document& doc, std::string_view name, const RegValue& value) {
    Entry entry = makeEntry(doc, formatValue(name, value, doc.version4));
    entry.kind = Entry::Kind::kValue;
    entry.name = std::string(name);
    entry.value = value;
    return entry;
}

std::string headerLine(RegHive hive, const std::vector<std::string>& path) {
    std::string line = "[" + std::string(hiveName(hive));
    for (const std::string& part : path)
        line += "\\" + part;
    return line + "]";
}

void insertEntries(Document* doc, size_t pos, std::vector<Entry> entries) {
    if (pos > 0) {
        // A last line without a line end gets one before anything follows it.
        std::string& prev = doc->entries[pos - 1].raw;
        if (!endsWith(prev, encodeText(*doc, "\n")))
            prev += endsWith(prev, encodeText(*doc, "\r")) ? encodeText(*doc, "\n") : lineEnd(*doc);
    }
    doc->entries.insert(doc->entries.begin() + static_cast<ptrdiff_t>(pos),
                        std::make_move_iterator(entries.begin()),
                        std::make_move_iterator(entries.end()));
}

void appendSection(Document* doc, RegHive hive, const std::vector<std::string>& path,
                   std::vector<Entry> values) {
    std::vector<Entry> add;
    Entry blank = makeEntry(*doc, {""});
    blank.blank = true;
    if (doc->entries.empty()) {
        add.push_back(makeEntry(*doc, {std::string(doc->version4 ? kVersion4 : kVersion5)}));
        add.push_back(blank);
    } else if (!doc->entries.back().blank) {
        add.push_back(blank);
    }
    Entry header = makeEntry(*doc, {headerLine(hive, path)});
    header.kind = Entry::Kind::kHeader;
    header.known = true;
    header.hive = hive;
    header.path = path;
    add.push_back(std::move(header));
    for (Entry& value : values)
        add.push_back(std::move(value));
    insertEntries(doc, doc->entries.size(), std::move(add));
}

// --- The tree --------------------------------------------------------------------------------

KeyNode* ensureChild(KeyNode* node, std::string_view name) {
    std::string folded = foldName(name);
    auto it = node->childIndex.find(folded);
    if (it != node->childIndex.end())
        return node->children[it->second].get();
    node->childIndex.emplace(std::move(folded), node->children.size());
    node->children.push_back(std::make_unique<KeyNode>());
    node->children.back()->name = std::string(name);
    return node->children.back().get();
}

void removeSubtree(KeyNode* root, const std::vector<std::string>& path) {
    if (path.empty())
        return;  // a hive cannot be removed
    KeyNode* parent = root;
    for (size_t i = 0; i + 1 < path.size() && parent != nullptr; ++i)
        parent = const_cast<KeyNode*>(parent->child(path[i]));
    if (parent == nullptr)
        return;
    auto it = parent->childIndex.find(foldName(path.back()));
    if (it == parent->childIndex.end())
        return;
    parent->children.erase(parent->children.begin() + static_cast<ptrdiff_t>(it->second));
    parent->childIndex.clear();
    for (size_t i = 0; i < parent->children.size(); ++i)
        parent->childIndex.emplace(foldName(parent->children[i]->name), i);
}

ValueSlot* ensureValue(KeyNode* node, std::string_view name) {
    std::string folded = foldName(name);
    auto it = node->valueIndex.find(folded);
    if (it != node->valueIndex.end())
        return &node->values[it->second];
    node->valueIndex.emplace(std::move(folded), node->values.size());
    node->values.emplace_back();
    node->values.back().name = std::string(name);
    return &node->values.back();
}

bool isUnder(const Entry& header, RegHive hive, const std::vector<std::string>& path) {
    if (!header.known || header.hive != hive || header.path.size() < path.size())
        return false;
    for (size_t i = 0; i < path.size(); ++i) {
        if (foldName(header.path[i]) != foldName(path[i]))
            return false;
    }
    return true;
}

}  // namespace

// --- Public functions ------------------------------------------------------------------------

std::string foldName(std::string_view utf8) {
    if (std::all_of(utf8.begin(), utf8.end(), [](char c) { return (c & 0x80) == 0; })) {
        std::string ascii(utf8);
        std::transform(ascii.begin(), ascii.end(), ascii.begin(), asciiUpper);
        return ascii;
    }
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            out.push_back(asciiUpper(static_cast<char>(c)));
            ++i;
            continue;
        }
        char32_t cp;
        size_t length;
        if (!decodeUtf8(utf8, i, &cp, &length)) {
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        locale_t locale = upperCaseLocale();
        if (locale != static_cast<locale_t>(0))
            cp = static_cast<char32_t>(::towupper_l(static_cast<wint_t>(cp), locale));
        appendUtf8(&out, cp);
        i += length;
    }
    return out;
}

std::string_view hiveName(RegHive hive) {
    return kHives[hiveIndex(hive)].longName;
}

bool parseHiveName(std::string_view text, RegHive* out) {
    for (const HiveNames& names : kHives) {
        if (equalsAsciiNoCase(text, names.longName) || equalsAsciiNoCase(text, names.shortName)) {
            *out = names.hive;
            return true;
        }
    }
    return false;
}

bool parse(std::string_view bytes, const Limits& limits, Document* doc) {
    if (bytes.size() > limits.maxFileBytes)
        return false;
    *doc = Document{};
    auto at = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    size_t start = 0;
    if (bytes.size() >= 3 && at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF) {
        start = 3;
    } else if (bytes.size() >= 2 && at(0) == 0xFF && at(1) == 0xFE) {
        doc->encoding = TextEncoding::kUtf16Le;
        start = 2;
    } else if (bytes.size() >= 2 && at(0) == 0xFE && at(1) == 0xFF) {
        doc->encoding = TextEncoding::kUtf16Be;
        start = 2;
    } else if (bytes.size() >= 2 && at(0) != 0 && at(1) == 0) {
        doc->encoding = TextEncoding::kUtf16Le;  // UTF-16LE that lost its byte order mark
    }
    doc->bom.assign(bytes.substr(0, start));
    std::string_view body = bytes.substr(start);
    if (doc->encoding != TextEncoding::kUtf8 && body.size() % 2 != 0) {
        doc->tail.assign(body.substr(body.size() - 1));
        body.remove_suffix(1);
    }

    std::string storage;
    std::vector<PhysicalLine> lines = splitLines(body, doc->encoding, &doc->crlf, &storage);
    doc->entries.reserve(lines.size());
    for (size_t i = 0; i < lines.size();) {
        Entry entry;
        size_t next = i + 1;
        const PhysicalLine& line = lines[i];
        std::string_view text = trimLeft(line.text);
        if (i == 0 && trimRight(text) == kVersion4) {
            doc->version4 = true;
        } else if (i == 0 && trimRight(text) == kVersion5) {
            // the default
        } else if (line.hasNul || line.text.size() > limits.maxEntryBytes) {
            // not understood
        } else if (trimRight(text).empty()) {
            entry.blank = true;
        } else if (text[0] == '[') {
            parseHeaderLine(trimRight(text), &entry);
        } else if (text[0] == '"' || text[0] == '@') {
            std::string joined(text);
            if (isContinuedHex(joined)) {
                while (next < lines.size() && isContinuationLine(lines[next])) {
                    std::string_view more = trimLeft(lines[next].text);
                    std::string_view head = trimRight(joined);
                    if (head.empty() || head.back() != '\\' ||
                        head.size() - 1 + more.size() > limits.maxEntryBytes) {
                        break;
                    }
                    joined.resize(head.size() - 1);
                    joined += more;
                    ++next;
                }
            }
            Entry value;
            if (parseValueLine(joined, doc->version4, &value))
                entry = std::move(value);
        }
        entry.raw.assign(body.substr(line.begin, lines[next - 1].end - line.begin));
        doc->entries.push_back(std::move(entry));
        i = next;
    }
    return true;
}

std::string serialize(const Document& doc) {
    size_t size = doc.bom.size() + doc.tail.size();
    for (const Entry& entry : doc.entries)
        size += entry.raw.size();
    std::string out;
    out.reserve(size);
    out += doc.bom;
    for (const Entry& entry : doc.entries)
        out += entry.raw;
    out += doc.tail;
    return out;
}

std::vector<std::string> formatValue(std::string_view name, const RegValue& value, bool version4) {
    std::string head = (name.empty() ? std::string("@") : quote(name)) + "=";
    const std::string& data = value.data;
    switch (value.type) {
        case kRegSz:
            // A line cannot hold a line break, and a quoted string no NUL: such text goes as hex.
            if (data.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos)
                return {head + quote(data)};
            return hexLines(head + "hex(1):", bytesOfText(data, version4));
        case kRegDword:
            if (data.size() == 4) {
                uint32_t number = 0;
                for (int k = 3; k >= 0; --k)
                    number =
                        (number << 8) | static_cast<unsigned char>(data[static_cast<size_t>(k)]);
                char digits[16];
                std::snprintf(digits, sizeof digits, "%08x", number);
                return {head + "dword:" + digits};
            }
            break;
        case kRegExpandSz:
            return hexLines(head + "hex(2):", bytesOfText(data, version4));
        case kRegMultiSz: {
            std::string list = data;
            if (!list.empty() && list.back() != '\0')
                list.push_back('\0');
            std::string bytes =
                version4 ? list + '\0' : utf8ToUtf16(list, false) + std::string(2, '\0');
            return hexLines(head + "hex(7):", bytes);
        }
        case kRegBinary:
            return hexLines(head + "hex:", data);
        default:
            break;
    }
    char type[24];
    std::snprintf(type, sizeof type, "hex(%x):", static_cast<unsigned>(value.type));
    return hexLines(head + type, data);
}

namespace {

// Looks `name` up in `index` by its folded form. Short ASCII names, the usual ones, are folded
// into a buffer on the stack; the rest go through foldName.
const size_t* findFolded(const NameIndex& index, std::string_view name) {
    char buffer[64];
    if (name.size() <= sizeof buffer &&
        std::all_of(name.begin(), name.end(), [](char c) { return (c & 0x80) == 0; })) {
        std::transform(name.begin(), name.end(), buffer, asciiUpper);
        auto it = index.find(std::string_view(buffer, name.size()));
        return it == index.end() ? nullptr : &it->second;
    }
    auto it = index.find(foldName(name));
    return it == index.end() ? nullptr : &it->second;
}

}  // namespace

const KeyNode* KeyNode::child(std::string_view childName) const {
    const size_t* index = findFolded(childIndex, childName);
    return index == nullptr ? nullptr : children[*index].get();
}

const ValueSlot* KeyNode::value(std::string_view valueName) const {
    const size_t* index = findFolded(valueIndex, valueName);
    return index == nullptr ? nullptr : &values[*index];
}

Tree::Tree() {
    for (auto& root : roots_)
        root = std::make_unique<KeyNode>();
}

Tree::Tree(const Document& doc) : Tree() {
    KeyNode* current = nullptr;
    for (size_t i = 0; i < doc.entries.size(); ++i) {
        const Entry& entry = doc.entries[i];
        if (entry.kind == Entry::Kind::kHeader) {
            current = nullptr;
            if (!entry.known)
                continue;
            KeyNode* node = roots_[hiveIndex(entry.hive)].get();
            if (entry.removal) {
                removeSubtree(node, entry.path);
                continue;
            }
            for (const std::string& part : entry.path)
                node = ensureChild(node, part);
            node->sections.push_back(i);
            current = node;
        } else if (entry.kind == Entry::Kind::kValue && current != nullptr) {
            ValueSlot* slot = ensureValue(current, entry.name);
            slot->mentions.push_back(i);
            slot->present = !entry.removal;
        }
    }
}

const KeyNode* Tree::find(RegHive hive, const std::vector<std::string>& path) const {
    const KeyNode* node = roots_[hiveIndex(hive)].get();
    for (size_t i = 0; i < path.size() && node != nullptr; ++i)
        node = node->child(path[i]);
    return node;
}

const KeyNode* Tree::findPath(RegHive hive, std::string_view path) const {
    const KeyNode* node = roots_[hiveIndex(hive)].get();
    size_t pos = 0;
    while (node != nullptr && pos < path.size()) {
        size_t end = path.find('\\', pos);
        if (end == std::string_view::npos)
            end = path.size();
        if (end > pos)
            node = node->child(path.substr(pos, end - pos));
        pos = end + 1;
    }
    return node;
}

uint32_t createKey(Document* doc, const Tree& tree, RegHive hive,
                   const std::vector<std::string>& path, bool* changed) {
    *changed = false;
    if (tree.find(hive, path) != nullptr)
        return kSuccess;
    appendSection(doc, hive, path, {});
    *changed = true;
    return kSuccess;
}

uint32_t setValue(Document* doc, const Tree& tree, RegHive hive,
                  const std::vector<std::string>& path, std::string_view name,
                  const RegValue& value, bool* changed) {
    *changed = false;
    const KeyNode* node = tree.find(hive, path);
    if (node == nullptr)
        return kErrKeyDeleted;
    const ValueSlot* slot = node->value(name);
    if (slot != nullptr && !slot->mentions.empty()) {
        // A value keeps the spelling of its name, as it does on the original platform.
        Entry& old = doc->entries[slot->mentions.back()];
        Entry entry = makeValueEntry(*doc, old.name, value);
        if (!endsWith(old.raw, encodeText(*doc, "\n")))
            entry.raw.resize(entry.raw.size() - lineEnd(*doc).size());
        if (old.raw == entry.raw)
            return kSuccess;
        old = std::move(entry);
        *changed = true;
        return kSuccess;
    }
    Entry entry = makeValueEntry(*doc, name, value);
    if (!node->sections.empty()) {
        // After the last value of the key's last section, or after its header: a comment or
        // blank line before the next section stays with that section.
        size_t header = node->sections.back();
        size_t pos = header + 1;
        for (size_t i = header + 1;
             i < doc->entries.size() && doc->entries[i].kind != Entry::Kind::kHeader; ++i) {
            if (doc->entries[i].kind == Entry::Kind::kValue)
                pos = i + 1;
        }
        std::vector<Entry> add;
        add.push_back(std::move(entry));
        insertEntries(doc, pos, std::move(add));
    } else {
        std::vector<Entry> add;
        add.push_back(std::move(entry));
        appendSection(doc, hive, path, std::move(add));
    }
    *changed = true;
    return kSuccess;
}

uint32_t deleteValue(Document* doc, const Tree& tree, RegHive hive,
                     const std::vector<std::string>& path, std::string_view name, bool* changed) {
    *changed = false;
    const KeyNode* node = tree.find(hive, path);
    if (node == nullptr)
        return kErrKeyDeleted;
    const ValueSlot* slot = node->value(name);
    if (slot == nullptr || !slot->present)
        return kErrFileNotFound;
    // Every mention goes: removing only the last one would bring an earlier one back.
    std::vector<size_t> doomed = slot->mentions;
    std::sort(doomed.rbegin(), doomed.rend());
    for (size_t index : doomed)
        doc->entries.erase(doc->entries.begin() + static_cast<ptrdiff_t>(index));
    *changed = true;
    return kSuccess;
}

uint32_t deleteKey(Document* doc, const Tree& tree, RegHive hive,
                   const std::vector<std::string>& path, bool* changed) {
    *changed = false;
    if (path.empty())
        return kErrAccessDenied;
    if (tree.find(hive, path) == nullptr)
        return kErrFileNotFound;
    // A parent that exists only through this key would go with it: it gets a section of its own.
    std::vector<std::string> parentPath(path.begin(), path.end() - 1);
    const KeyNode* parent = tree.find(hive, parentPath);
    bool keepParent = !parentPath.empty() && parent != nullptr && parent->sections.empty() &&
                      parent->children.size() == 1;
    std::vector<Entry> kept;
    kept.reserve(doc->entries.size());
    bool inDoomedSection = false;
    for (Entry& entry : doc->entries) {
        if (entry.kind == Entry::Kind::kHeader)
            inDoomedSection = isUnder(entry, hive, path);
        if (!inDoomedSection)
            kept.push_back(std::move(entry));
    }
    doc->entries = std::move(kept);
    if (keepParent)
        appendSection(doc, hive, parentPath, {});
    *changed = true;
    return kSuccess;
}

}  // namespace nvl::sys::regformat
