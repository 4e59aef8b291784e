// Build-time generator of the code page tables (platform/codepage_tables.h).
//
// Asks glibc's iconv, one character at a time, what every byte, every double-byte pair and
// every UTF-16 unit of the BMP becomes, and writes the answers as constant C++ arrays. The
// library itself then converts with plain table look-ups: no iconv_open at run time, no
// start-up cost, and no dependence on the gconv modules being installed where it runs.
//
// Usage: codepage_tables_gen OUTPUT.cpp
// Exits non-zero, writing nothing, when iconv lacks a code page or answers something the
// table layout cannot hold (a character outside the BMP, a three-byte code).

#include <errno.h>
#include <iconv.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr uint16_t kLeadByte = 0xFFFF;  // as in codepage_tables.h

// A byte the original platform decodes although glibc's table has no entry for it; encoded
// back to the same byte as well.
struct Extra {
    uint8_t byte;
    uint16_t unit;
};

struct CodePageSpec {
    uint32_t codePage;
    const char* iconvName;
    uint16_t defaultWide;
    // The lead bytes of the original platform. glibc leaves out some of them (the user-defined
    // rows); taking them as lead bytes all the same keeps such a pair one character.
    std::vector<std::pair<int, int>> leadRanges;
    std::vector<Extra> extras;
};

// Windows-1252 keeps the five C1 positions that have no letter; code page 932 decodes the
// bytes that are neither characters nor lead bytes to U+0080 and private-use characters;
// code page 949 decodes 0x80 to U+0080.
const std::vector<CodePageSpec> kSpecs = {
    {932,
     "CP932",
     0x30FB,
     {{0x81, 0x9F}, {0xE0, 0xFC}},
     {{0x80, 0x0080}, {0xA0, 0xF8F0}, {0xFD, 0xF8F1}, {0xFE, 0xF8F2}, {0xFF, 0xF8F3}}},
    {936, "CP936", 0x30FB, {{0x81, 0xFE}}, {}},
    {949, "CP949", 0x30FB, {{0x81, 0xFE}}, {{0x80, 0x0080}}},
    {950, "CP950", 0x30FB, {{0x81, 0xFE}}, {}},
    {874, "CP874", u'?', {}, {}},
    {1250, "CP1250", u'?', {}, {}},
    {1251, "CP1251", u'?', {}, {}},
    {1252,
     "CP1252",
     u'?',
     {},
     {{0x81, 0x0081}, {0x8D, 0x008D}, {0x8F, 0x008F}, {0x90, 0x0090}, {0x9D, 0x009D}}},
    {1253, "CP1253", u'?', {}, {}},
    {1254, "CP1254", u'?', {}, {}},
    {1256, "CP1256", u'?', {}, {}},
    {1257, "CP1257", u'?', {}, {}},
};

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "codepage_tables_gen: %s\n", message.c_str());
    std::exit(1);
}

class Converter {
  public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {
        if (cd_ == reinterpret_cast<iconv_t>(-1)) {
            fail(std::string("iconv cannot convert from ") + from + " to " + to);
        }
    }
    ~Converter() { iconv_close(cd_); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    enum Result { kOk, kIncomplete, kInvalid };

    // Converts `in` as one whole text from the initial state.
    Result convert(const std::string& in, std::string* out) {
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        char buffer[32];
        char* src = const_cast<char*>(in.data());
        size_t srcLeft = in.size();
        char* dst = buffer;
        size_t dstLeft = sizeof buffer;
        size_t rc = iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
        if (rc == static_cast<size_t>(-1))
            return errno == EINVAL ? kIncomplete : kInvalid;
        if (iconv(cd_, nullptr, nullptr, &dst, &dstLeft) == static_cast<size_t>(-1)) {
            return kInvalid;
        }
        out->assign(buffer, static_cast<size_t>(dst - buffer));
        return kOk;
    }

  private:
    iconv_t cd_;
};

struct Tables {
    std::vector<uint16_t> single = std::vector<uint16_t>(256, 0);
    std::vector<uint16_t> leadBlock = std::vector<uint16_t>(256, 0);
    std::vector<uint16_t> pairs;  // blocks of 256
    std::vector<uint16_t> encodeIndex = std::vector<uint16_t>(256, 0);
    std::vector<uint16_t> encodeBlocks = std::vector<uint16_t>(256, 0);  // block 0: all zero
    bool doubleByte = false;
};

// One UTF-16LE unit from a decoder's output; -1 for anything else.
int oneUnit(const std::string& utf16) {
    if (utf16.size() != 2)
        return -1;
    int unit = static_cast<uint8_t>(utf16[0]) | static_cast<uint8_t>(utf16[1]) << 8;
    if (unit >= 0xD800 && unit <= 0xDFFF)
        return -1;
    return unit;
}

Tables build(const CodePageSpec& spec) {
    Converter decoder("UTF-16LE", spec.iconvName);
    Converter encoder(spec.iconvName, "UTF-16LE");
    Tables t;
    std::string out;

    std::vector<bool> decoded(256, false), lead(256, false);
    for (int b = 0; b < 256; ++b) {
        Converter::Result r = decoder.convert(std::string(1, static_cast<char>(b)), &out);
        if (r == Converter::kOk) {
            int unit = oneUnit(out);
            if (unit < 0)
                fail(std::string(spec.iconvName) + ": unexpected single-byte result");
            t.single[b] = static_cast<uint16_t>(unit);
            decoded[b] = true;
        } else if (r == Converter::kIncomplete) {
            lead[b] = true;
        }
    }
    for (int b = 0; b < 256; ++b) {
        bool inRange = false;
        for (auto [first, last] : spec.leadRanges)
            inRange = inRange || (b >= first && b <= last);
        if (lead[b] && !inRange)
            fail(std::string(spec.iconvName) + ": unexpected lead byte");
        if (inRange && !decoded[b])
            lead[b] = true;
    }

    // Pairs: which trail bytes ever complete a character decide whether an unknown pair is
    // one bad character (trail consumed) or a stray lead byte (trail read again by itself).
    std::vector<std::vector<int>> pairUnits(256);
    std::vector<bool> trail(256, false);
    for (int b = 0; b < 256; ++b) {
        if (!lead[b])
            continue;
        pairUnits[b].assign(256, -1);
        for (int tr = 0; tr < 256; ++tr) {
            std::string pair{static_cast<char>(b), static_cast<char>(tr)};
            if (decoder.convert(pair, &out) != Converter::kOk)
                continue;
            int unit = oneUnit(out);
            if (unit < 0)
                continue;  // two characters: the second byte was not a trail byte
            pairUnits[b][tr] = unit;
            trail[tr] = true;
        }
    }
    for (const Extra& e : spec.extras) {
        if (decoded[e.byte] || lead[e.byte])
            fail("extra for a byte iconv already decodes");
        t.single[e.byte] = e.unit;
        decoded[e.byte] = true;
    }
    for (int b = 0; b < 256; ++b) {
        if (lead[b]) {
            t.doubleByte = true;
            t.single[b] = kLeadByte;
            t.leadBlock[b] = static_cast<uint16_t>(t.pairs.size() / 256);
            for (int tr = 0; tr < 256; ++tr) {
                int unit = pairUnits[b][tr];
                t.pairs.push_back(unit >= 0   ? static_cast<uint16_t>(unit)
                                  : trail[tr] ? spec.defaultWide
                                              : 0);
            }
        } else if (!decoded[b]) {
            t.single[b] = spec.defaultWide;
        }
    }

    // The converters copy runs of ASCII without looking them up.
    for (int b = 0; b < 0x80; ++b) {
        if (t.single[b] != b)
            fail(std::string(spec.iconvName) + ": not a superset of ASCII");
    }

    std::vector<uint16_t> codes(0x10000, 0);
    for (uint32_t u = 1; u < 0x10000; ++u) {
        if (u >= 0xD800 && u <= 0xDFFF)
            continue;
        std::string in{static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
        if (encoder.convert(in, &out) != Converter::kOk)
            continue;
        if (out.size() == 1 && out[0] != 0) {
            codes[u] = static_cast<uint8_t>(out[0]);
        } else if (out.size() == 2 && static_cast<uint8_t>(out[0]) >= 0x80) {
            codes[u] = static_cast<uint16_t>(static_cast<uint8_t>(out[0]) << 8 |
                                             static_cast<uint8_t>(out[1]));
        } else if (!out.empty()) {
            fail(std::string(spec.iconvName) + ": unexpected encoding length");
        }
    }
    for (const Extra& e : spec.extras) {
        if (codes[e.unit] == 0)
            codes[e.unit] = e.byte;
    }

    std::map<std::vector<uint16_t>, uint16_t> known{{std::vector<uint16_t>(256, 0), 0}};
    for (int hi = 0; hi < 256; ++hi) {
        std::vector<uint16_t> block(codes.begin() + hi * 256, codes.begin() + hi * 256 + 256);
        auto [it, inserted] =
            known.emplace(block, static_cast<uint16_t>(t.encodeBlocks.size() / 256));
        if (inserted)
            t.encodeBlocks.insert(t.encodeBlocks.end(), block.begin(), block.end());
        t.encodeIndex[hi] = it->second;
    }
    return t;
}

void writeArray(std::ostream& out, const std::string& name, const std::vector<uint16_t>& v) {
    out << "constexpr uint16_t " << name << "[" << v.size() << "] = {";
    for (size_t i = 0; i < v.size(); ++i) {
        out << (i % 16 == 0 ? "\n    " : " ") << "0x" << std::hex << v[i] << std::dec << ",";
    }
    out << "\n};\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2)
        fail("usage: codepage_tables_gen OUTPUT.cpp");
    std::ostringstream out;
    out << "// Generated by codepage_tables_gen from glibc's iconv. Do not edit.\n"
           "#include \"platform/codepage_tables.h\"\n\n"
           "namespace nvl::sys::detail {\n\nnamespace {\n\n";
    std::ostringstream entries;
    for (const CodePageSpec& spec : kSpecs) {
        Tables t = build(spec);
        std::string cp = std::to_string(spec.codePage);
        writeArray(out, "kSingle" + cp, t.single);
        if (t.doubleByte) {
            writeArray(out, "kLeadBlock" + cp, t.leadBlock);
            writeArray(out, "kPairs" + cp, t.pairs);
        }
        writeArray(out, "kEncodeIndex" + cp, t.encodeIndex);
        writeArray(out, "kEncodeBlocks" + cp, t.encodeBlocks);
        entries << "    {" << cp << ", 0x" << std::hex << spec.defaultWide << std::dec << ", "
                << (t.doubleByte ? "true" : "false") << ", kSingle" << cp << ", "
                << (t.doubleByte ? "kLeadBlock" + cp : "nullptr") << ", "
                << (t.doubleByte ? "kPairs" + cp : "nullptr") << ", kEncodeIndex" << cp
                << ", kEncodeBlocks" << cp << "},\n";
    }
    out << "\n}  // namespace\n\nconst CodePageTable kCodePageTables[] = {\n"
        << entries.str() << "};\nconst size_t kCodePageTableCount = " << kSpecs.size()
        << ";\n\n}  // namespace nvl::sys::detail\n";

    std::string path = argv[1];
    std::ofstream file(path + ".tmp", std::ios::binary | std::ios::trunc);
    file << out.str();
    file.close();
    if (!file || std::rename((path + ".tmp").c_str(), path.c_str()) != 0) {
        fail("cannot write " + path);
    }
    return 0;
}
