#include "platform/file_version.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/executable_fixtures.h"
#include "platform/pe_image.h"
#include "support/test_env.h"

namespace nvl::sys {
namespace {

using Bytes = std::vector<unsigned char>;
using test::executableBytes;
using test::executableFixture;

void put16(Bytes* b, size_t at, uint32_t v) {
    (*b)[at] = static_cast<unsigned char>(v);
    (*b)[at + 1] = static_cast<unsigned char>(v >> 8);
}
void put32(Bytes* b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        (*b)[at + i] = static_cast<unsigned char>(v >> (8 * i));
}
uint32_t get32(const void* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// --- What ReadExecutableVersion makes of a file -------------------------------------------------

struct VersionTexts {
    bool found = false;
    std::string version;  // "%d.%d" of the file version's high word
    std::string special;  // SpecialBuild of the first translation, in the ANSI code page
    bool operator==(const VersionTexts&) const = default;
};

void PrintTo(const VersionTexts& t, std::ostream* os) {
    *os << (t.found ? "{found, \"" : "{not found, \"") << t.version << "\", \"" << t.special
        << "\"}";
}

// The three queries on a block the data call filled; every view must lie inside the buffer.
VersionTexts queryBlock(const std::vector<unsigned char>& buffer) {
    VersionTexts texts;
    texts.found = true;
    auto inside = [&](const void* p, uint32_t length) {
        auto* at = static_cast<const unsigned char*>(p);
        return at >= buffer.data() && length <= buffer.size() &&
               at - buffer.data() <= static_cast<long>(buffer.size() - length);
    };
    void* value = nullptr;
    uint32_t length = 0;
    if (verQueryValueA(buffer.data(), "\\", &value, &length)) {
        EXPECT_TRUE(inside(value, length));
        EXPECT_GE(length, 52u);
        uint32_t ms = get32(static_cast<char*>(value) + 8);
        char text[32];
        std::snprintf(text, sizeof text, "%d.%d", static_cast<int>(ms >> 16),
                      static_cast<int>(ms & 0xFFFF));
        texts.version = text;
    }
    if (verQueryValueA(buffer.data(), "\\VarFileInfo\\Translation", &value, &length) &&
        length >= 4) {
        EXPECT_TRUE(inside(value, length));
        uint32_t pair = get32(value);
        char key[64];
        std::snprintf(key, sizeof key, "\\StringFileInfo\\%04X%04X\\SpecialBuild", pair & 0xFFFF,
                      pair >> 16);
        if (verQueryValueA(buffer.data(), key, &value, &length)) {
            EXPECT_TRUE(inside(value, length));
            EXPECT_TRUE(length == 0 || static_cast<char*>(value)[length - 1] == '\0');
            texts.special = static_cast<char*>(value);
        }
    }
    return texts;
}

VersionTexts readVersion(const pe::ByteSource& source) {
    uint32_t size = fileVersionInfoSize(source);
    if (size == 0)
        return {};
    std::vector<unsigned char> buffer(size);  // exactly the size: ASan sees any overrun
    if (!fileVersionInfo(source, size, buffer.data()))
        return {};
    return queryBlock(buffer);
}

VersionTexts readVersionByPath(const std::string& path) {
    uint32_t handle = 7;
    uint32_t size = getFileVersionInfoSizeA(path.c_str(), &handle);
    EXPECT_EQ(handle, 0u);
    if (size == 0)
        return {};
    std::vector<unsigned char> buffer(size);
    if (!getFileVersionInfoA(path.c_str(), handle, size, buffer.data()))
        return {};
    return queryBlock(buffer);
}

VersionTexts readVersion(const Bytes& bytes) {
    return readVersion(pe::ByteSource::memory(bytes.data(), bytes.size()));
}

// Sets the ANSI code page for the rest of a test.
class AnsiCodePage {
  public:
    AnsiCodePage(const test::TestEnv& env, const char* acp) {
        env.writeFile("etc/registry.reg",
                      std::string("Windows Registry Editor Version 5.00\r\n\r\n"
                                  "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\"
                                  "CodePage]\r\n\"ACP\"=\"") +
                          acp + "\"\r\n");
        resetAnsiCodePageForTesting();
    }
    ~AnsiCodePage() { resetAnsiCodePageForTesting(); }
};

// --- The test executables
// -------------------------------------------------------------------------

TEST(FileVersion, TestExecutables) {
    test::TestEnv env;
    AnsiCodePage acp(env, "1252");
    struct Case {
        const char* name;
        VersionTexts expected;
    } cases[] = {
        {"qxc-3.4.exe", {true, "3.4", "QA 3.4"}},
        {"qxc-3.5.exe", {true, "3.5", "QA 3.5"}},
        {"qxc-3.10.exe", {true, "3.10", "QA 3.10"}},  // not 3.1
        {"qxc-4.0.exe", {true, "4.0", "QA 4.0"}},
        {"qxc-10.0.exe", {true, "10.0", "QA 10.0"}},
        {"qxc-3.10-pe64.exe", {true, "3.10", "QA 3.10"}},
        {"qxc-4.0-pe64.exe", {true, "4.0", "QA 4.0"}},
        {"pub-good.exe", {true, "3.10", "QA 3.10"}},
        {"pub-good-pe64.exe", {true, "3.10", "QA 3.10"}},
        {"pub-two-entries.exe", {true, "3.10", "QA 3.10"}},
        {"notranslation.exe", {true, "3.10", ""}},
        {"special-nonascii.exe", {true, "3.10", "H\xE4lden-\xDF-?"}},
        {"noversion.exe", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bytes = executableBytes(c.name);
        ASSERT_FALSE(bytes.empty());
        EXPECT_EQ(readVersion(bytes), c.expected);
        EXPECT_EQ(readVersionByPath(executableFixture(c.name)), c.expected);
    }

    // Appended signatures leave the version as it was.
    for (const char* version : {"3.4", "3.10", "10.0"}) {
        Bytes bytes = executableBytes(std::string("app-") + version + ".exe");
        if (!bytes.empty()) {
            EXPECT_EQ(readVersion(bytes).version, version);
        }
    }

    // Without a translation table the string table is still there by its own name.
    std::string path = executableFixture("notranslation.exe");
    std::vector<unsigned char> block(getFileVersionInfoSizeA(path.c_str(), nullptr));
    ASSERT_TRUE(
        getFileVersionInfoA(path.c_str(), 0, static_cast<uint32_t>(block.size()), block.data()));
    void* value = nullptr;
    uint32_t length = 0;
    EXPECT_FALSE(verQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &length));
    EXPECT_EQ(lastError(), kErrResourceTypeNotFound);
    ASSERT_TRUE(
        verQueryValueA(block.data(), "\\StringFileInfo\\040904B0\\SpecialBuild", &value, &length));
    EXPECT_STREQ(static_cast<char*>(value), "QA 3.10");
}

TEST(FileVersion, TextsInTheAnsiCodePage) {
    test::TestEnv env;
    Bytes bytes = executableBytes("special-nonascii.exe");
    ASSERT_FALSE(bytes.empty());
    struct Case {
        const char* acp;
        const char* special;
    } cases[] = {{"1252", "H\xE4lden-\xDF-?"},
                 {"65001", "H\xC3\xA4lden-\xC3\x9F-\xCE\xA9"},
                 {"1251", "H?lden-?-?"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.acp);
        AnsiCodePage acp(env, c.acp);
        VersionTexts texts = readVersion(bytes);
        EXPECT_EQ(texts.special, c.special);
        // The length counts the bytes and the NUL.
        uint32_t size = fileVersionInfoSize(pe::ByteSource::memory(bytes.data(), bytes.size()));
        std::vector<unsigned char> block(size);
        ASSERT_TRUE(fileVersionInfo(pe::ByteSource::memory(bytes.data(), bytes.size()), size,
                                    block.data()));
        void* value = nullptr;
        uint32_t length = 0;
        ASSERT_TRUE(verQueryValueA(block.data(), "\\StringFileInfo\\040904B0\\SpecialBuild", &value,
                                   &length));
        EXPECT_EQ(length, std::strlen(c.special) + 1);
    }
}

TEST(FileVersion, Queries) {
    test::TestEnv env;
    AnsiCodePage acp(env, "1252");
    std::string path = executableFixture("qxc-3.10.exe");
    std::vector<unsigned char> block(getFileVersionInfoSizeA(path.c_str(), nullptr));
    ASSERT_FALSE(block.empty());
    ASSERT_TRUE(
        getFileVersionInfoA(path.c_str(), 0, static_cast<uint32_t>(block.size()), block.data()));
    struct Case {
        const char* path;
        bool found;
        const char* text;  // null: not a text
        uint32_t length;
    } cases[] = {
        {"\\", true, nullptr, 52},
        {"", true, nullptr, 52},
        {"\\VarFileInfo\\Translation", true, nullptr, 4},
        {"\\varfileinfo\\TRANSLATION", true, nullptr, 4},
        {"\\StringFileInfo\\040904B0\\SpecialBuild", true, "QA 3.10", 8},
        {"\\StringFileInfo\\040904b0\\SpecialBuild", true, "QA 3.10", 8},
        {"\\StringFileInfo\\040904B0\\specialbuild", true, "QA 3.10", 8},
        {"\\\\StringFileInfo\\\\040904B0\\SpecialBuild\\", true, "QA 3.10", 8},
        {"\\StringFileInfo\\040904B0\\CompanyName", true, "Halden Labs, Inc.", 18},
        {"\\StringFileInfo\\040904B0\\FileVersion", true, "3.10.0.7", 9},
        {"\\StringFileInfo", true, "", 0},
        {"\\StringFileInfo\\04B00409\\SpecialBuild", false, nullptr, 0},  // code page first
        {"\\StringFileInfo\\040904B0\\Missing", false, nullptr, 0},
        {"\\StringFileInfo\\040904B0\\SpecialBuild\\x", false, nullptr, 0},
        {"\\StringFileInfo\\040904B0\\SpecialBuil", false, nullptr, 0},
        {"\\VS_VERSION_INFO", false, nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        void* value = nullptr;
        uint32_t length = 99;
        setLastError(kSuccess);
        ASSERT_EQ(verQueryValueA(block.data(), c.path, &value, &length), c.found);
        if (!c.found) {
            EXPECT_EQ(lastError(), kErrResourceTypeNotFound);
            continue;
        }
        EXPECT_EQ(length, c.length);
        if (c.text != nullptr) {
            EXPECT_STREQ(static_cast<char*>(value), c.text);
        }
    }

    // The fixed file information, and a text that stays where it is while others are asked.
    void* fixed = nullptr;
    uint32_t length = 0;
    ASSERT_TRUE(verQueryValueA(block.data(), "\\", &fixed, &length));
    EXPECT_EQ(get32(fixed), 0xFEEF04BDu);
    EXPECT_EQ(get32(static_cast<char*>(fixed) + 8), 0x0003000Au);
    EXPECT_EQ(get32(static_cast<char*>(fixed) + 12), 7u);
    void* translation = nullptr;
    ASSERT_TRUE(verQueryValueA(block.data(), "\\VarFileInfo\\Translation", &translation, &length));
    EXPECT_EQ(get32(translation), 0x04B00409u);
    void *company = nullptr, *special = nullptr, *again = nullptr;
    ASSERT_TRUE(
        verQueryValueA(block.data(), "\\StringFileInfo\\040904B0\\CompanyName", &company, &length));
    ASSERT_TRUE(verQueryValueA(block.data(), "\\StringFileInfo\\040904B0\\SpecialBuild", &special,
                               &length));
    ASSERT_TRUE(
        verQueryValueA(block.data(), "\\StringFileInfo\\040904B0\\CompanyName", &again, &length));
    EXPECT_EQ(company, again);
    EXPECT_STREQ(static_cast<char*>(company), "Halden Labs, Inc.");
    EXPECT_STREQ(static_cast<char*>(special), "QA 3.10");

    void* value = nullptr;
    setLastError(kSuccess);
    EXPECT_FALSE(verQueryValueA(nullptr, "\\", &value, &length));
    EXPECT_FALSE(verQueryValueA(block.data(), nullptr, &value, &length));
    EXPECT_EQ(lastError(), kErrInvalidParameter);
}

TEST(FileVersion, CallsOnFilesAndDescriptors) {
    test::TestEnv env;
    AnsiCodePage acp(env, "1252");
    std::string fixturePath = executableFixture("qxc-3.10.exe");
    std::string text = test::readFile(fixturePath);
    ASSERT_FALSE(text.empty());
    // A spelling that differs in case is resolved, as other server paths are.
    std::string copy = env.writeFile("Admin/QXC.EXE", text);
    EXPECT_EQ(readVersionByPath(env.root() + "/admin/qxc.exe").version, "3.10");

    // On an open file: positional reads only, the descriptor's offset neither used nor moved.
    int fd = ::open(copy.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::lseek(fd, 1000, SEEK_SET), 1000);
    uint32_t size = fileVersionInfoSize(fd);
    ASSERT_GT(size, 0u);
    EXPECT_EQ(size, getFileVersionInfoSizeA(copy.c_str(), nullptr));
    std::vector<unsigned char> block(size);
    ASSERT_TRUE(fileVersionInfo(fd, size, block.data()));
    EXPECT_EQ(queryBlock(block).version, "3.10");
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 1000);

    // A buffer smaller than the size call asked for is refused, not filled in part.
    std::vector<unsigned char> small(size - 1, 0xAB);
    setLastError(kSuccess);
    EXPECT_FALSE(fileVersionInfo(fd, size - 1, small.data()));
    EXPECT_EQ(lastError(), kErrInsufficientBuffer);
    EXPECT_EQ(small[0], 0xAB);
    EXPECT_FALSE(fileVersionInfo(fd, size, nullptr));
    ::close(fd);

    struct Failure {
        const char* what;
        std::string path;
        uint32_t error;
    } failures[] = {
        {"missing", env.root() + "/nothing.exe", kErrFileNotFound},
        {"not a PE image", env.writeFile("text.exe", std::string(5000, 'x')), kErrBadExeFormat},
        {"no version resource", executableFixture("noversion.exe"), kErrResourceTypeNotFound},
        {"empty", env.writeFile("empty.exe", ""), kErrBadExeFormat},
        {"a directory", env.root(), kErrAccessDenied},
    };
    for (const Failure& f : failures) {
        SCOPED_TRACE(f.what);
        setLastError(kSuccess);
        EXPECT_EQ(getFileVersionInfoSizeA(f.path.c_str(), nullptr), 0u);
        EXPECT_EQ(lastError(), f.error);
        std::vector<unsigned char> buffer(4096);
        setLastError(kSuccess);
        EXPECT_FALSE(getFileVersionInfoA(f.path.c_str(), 0, 4096, buffer.data()));
        EXPECT_EQ(lastError(), f.error);
    }
    setLastError(kSuccess);
    EXPECT_EQ(getFileVersionInfoSizeA(nullptr, nullptr), 0u);
    EXPECT_EQ(lastError(), kErrInvalidParameter);
    EXPECT_EQ(fileVersionInfoSize(-1), 0u);
    EXPECT_EQ(lastError(), kErrInvalidHandle);
}

// --- Hand-made images
// -------------------------------------------------------------------------------

// A node of a version block: key, type, value bytes, children. wValueLength is derived (text:
// UTF-16 units with the NUL; binary: bytes) unless given.
struct VNode {
    std::u16string key;
    uint16_t type = 0;
    Bytes value;
    std::vector<VNode> children;
    int valueLength = -1;
};

Bytes utf16(const std::u16string& text) {
    Bytes out;
    for (char16_t c : text) {
        out.push_back(static_cast<unsigned char>(c));
        out.push_back(static_cast<unsigned char>(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

void pad4(Bytes* b) {
    while (b->size() % 4 != 0)
        b->push_back(0);
}

Bytes encode(const VNode& node) {
    Bytes out(6, 0);
    Bytes key = utf16(node.key);
    out.insert(out.end(), key.begin(), key.end());
    pad4(&out);
    out.insert(out.end(), node.value.begin(), node.value.end());
    for (const VNode& child : node.children) {
        pad4(&out);
        Bytes c = encode(child);
        out.insert(out.end(), c.begin(), c.end());
    }
    put16(&out, 0, static_cast<uint32_t>(out.size()));
    uint32_t valueLength = node.valueLength >= 0 ? static_cast<uint32_t>(node.valueLength)
                           : node.type == 1      ? static_cast<uint32_t>(node.value.size() / 2)
                                                 : static_cast<uint32_t>(node.value.size());
    put16(&out, 2, valueLength);
    put16(&out, 4, node.type);
    return out;
}

VNode text(std::u16string key, std::u16string value) {
    return {std::move(key), 1, utf16(value), {}};
}

VNode versionTree(uint32_t major, uint32_t minor, std::u16string special) {
    Bytes fixed(52, 0);
    put32(&fixed, 0, 0xFEEF04BD);
    put32(&fixed, 4, 0x10000);
    put32(&fixed, 8, major << 16 | minor);
    Bytes translation(4);
    put32(&translation, 0, 0x04B00409);
    return {u"VS_VERSION_INFO",
            0,
            fixed,
            {{u"StringFileInfo",
              1,
              {},
              {{u"040904B0",
                1,
                {},
                {text(u"CompanyName", u"Halden Labs, Inc."), text(u"SpecialBuild", special)}}}},
             {u"VarFileInfo", 1, {}, {{u"Translation", 0, translation, {}}}}}};
}

// A PE image with one section, .rsrc, holding the resource tree type 16 -> name 1 -> each of
// `languages` -> a data entry -> a copy of `block`. Offsets of what the cases edit.
struct Image {
    Bytes bytes;
    size_t pe = 0x40, opt = 0x58, sections = 0, rsrc = 0x200;
    size_t nameEntry = 0, languageDirectory = 0, dataEntry = 0, block = 0;
    size_t directories = 0;
};

Image buildImage(bool plus, const Bytes& block, const std::vector<uint16_t>& languages = {0x409}) {
    Image im;
    const size_t optSize = plus ? 0xF0 : 0xE0;
    im.sections = im.opt + optSize;
    im.directories = im.opt + (plus ? 112 : 96);
    // The resource section, relative to its root.
    const size_t n = languages.size();
    const size_t langDir = 0x30, dataEntries = langDir + 16 + 8 * n;
    const size_t blobs = dataEntries + 16 * n;
    Bytes r(blobs);
    auto dir = [&](size_t at, uint32_t ids) { put16(&r, at + 14, ids); };
    dir(0, 1);
    put32(&r, 16, 16);
    put32(&r, 20, 0x80000000u | 0x18);
    dir(0x18, 1);
    put32(&r, 0x28, 1);
    put32(&r, 0x2C, 0x80000000u | langDir);
    dir(langDir, static_cast<uint32_t>(n));
    for (size_t i = 0; i < n; ++i) {
        put32(&r, langDir + 16 + 8 * i, languages[i]);
        put32(&r, langDir + 16 + 8 * i + 4, static_cast<uint32_t>(dataEntries + 16 * i));
        size_t at = r.size();
        Bytes b = block;
        if (i > 0 && b.size() > 0x30)
            b[0x30 + 2] = static_cast<unsigned char>('0' + i);  // tell the copies apart
        r.insert(r.end(), b.begin(), b.end());
        pad4(&r);
        put32(&r, dataEntries + 16 * i, static_cast<uint32_t>(0x1000 + at));
        put32(&r, dataEntries + 16 * i + 4, static_cast<uint32_t>(b.size()));
    }
    const size_t raw = (r.size() + 0x1FF) & ~size_t{0x1FF};

    Bytes& b = im.bytes;
    b.assign(im.rsrc + raw, 0);
    b[0] = 'M';
    b[1] = 'Z';
    put32(&b, 0x3C, static_cast<uint32_t>(im.pe));
    std::memcpy(&b[im.pe], "PE\0\0", 4);
    put16(&b, im.pe + 4, plus ? 0x8664 : 0x14C);
    put16(&b, im.pe + 6, 1);
    put16(&b, im.pe + 20, static_cast<uint32_t>(optSize));
    put16(&b, im.opt, plus ? 0x20B : 0x10B);
    put32(&b, im.opt + 60, 0x200);              // SizeOfHeaders
    put32(&b, im.opt + (plus ? 108 : 92), 16);  // NumberOfRvaAndSizes
    put32(&b, im.directories + 16, 0x1000);     // resource directory
    put32(&b, im.directories + 20, static_cast<uint32_t>(r.size()));
    std::memcpy(&b[im.sections], ".rsrc", 5);
    put32(&b, im.sections + 8, static_cast<uint32_t>(r.size()));
    put32(&b, im.sections + 12, 0x1000);
    put32(&b, im.sections + 16, static_cast<uint32_t>(raw));
    put32(&b, im.sections + 20, static_cast<uint32_t>(im.rsrc));
    std::copy(r.begin(), r.end(), b.begin() + static_cast<long>(im.rsrc));
    im.nameEntry = im.rsrc + 0x28;
    im.languageDirectory = im.rsrc + langDir;
    im.dataEntry = im.rsrc + dataEntries;
    im.block = im.rsrc + blobs;
    return im;
}

TEST(FileVersion, HandMadeImages) {
    test::TestEnv env;
    AnsiCodePage acp(env, "1252");
    Bytes block = encode(versionTree(3, 10, u"halden-test-7"));
    for (bool plus : {false, true}) {
        SCOPED_TRACE(plus);
        VersionTexts texts = readVersion(buildImage(plus, block).bytes);
        EXPECT_EQ(texts, (VersionTexts{true, "3.10", "halden-test-7"}));
    }
    // Language: neutral, else US English, else the first.
    struct Languages {
        std::vector<uint16_t> ids;
        char chosen;  // the copy's mark: '1' the second; the first is unmarked (3)
    } choices[] = {{{0x407, 0x409}, '1'}, {{0x409, 0}, '1'}, {{0x407, 0x40C}, 3}, {{0}, 3}};
    for (const Languages& c : choices) {
        Image im = buildImage(false, block, c.ids);
        pe::Image image;
        auto source = pe::ByteSource::memory(im.bytes.data(), im.bytes.size());
        ASSERT_EQ(pe::parseImage(source, &image), pe::Status::kOk);
        pe::Range range;
        ASSERT_EQ(pe::findVersionResource(source, image, &range), pe::Status::kOk);
        EXPECT_EQ(im.bytes[range.offset + 0x32], c.chosen);
    }
}

TEST(FileVersion, MalformedImagesHaveNoVersion) {
    test::TestEnv env;
    AnsiCodePage acp(env, "1252");
    const Bytes good = encode(versionTree(3, 10, u"halden-test-7"));
    // Offsets inside the good block: the root's value ends at 0x5C, where StringFileInfo starts.
    constexpr size_t kStrings = 0x5C;
    Bytes leftover = good;
    leftover.insert(leftover.end(), 8, 0);
    put16(&leftover, 0, static_cast<uint32_t>(leftover.size()));

    using Edit = std::function<void(Image&)>;
    struct Case {
        const char* what;
        Edit edit;
        uint32_t error;
        const Bytes* block = nullptr;  // null: the good block
    };
    const Case cases[] = {
        // Headers.
        {"no MZ", [](Image& im) { im.bytes[0] = 'Z'; }, kErrBadExeFormat},
        {"e_lfanew past the end", [](Image& im) { put32(&im.bytes, 0x3C, 0x7FFFFFF0); },
         kErrBadExeFormat},
        {"e_lfanew 0xFFFFFFFF", [](Image& im) { put32(&im.bytes, 0x3C, 0xFFFFFFFF); },
         kErrBadExeFormat},
        {"ROM magic", [](Image& im) { put16(&im.bytes, im.opt, 0x107); }, kErrBadExeFormat},
        {"optional header too small", [](Image& im) { put16(&im.bytes, im.pe + 20, 0x50); },
         kErrBadExeFormat},
        {"two directories only", [](Image& im) { put32(&im.bytes, im.opt + 92, 2); },
         kErrResourceTypeNotFound},
        {"directory beyond the optional header",
         [](Image& im) { put16(&im.bytes, im.pe + 20, 96 + 16); }, kErrResourceTypeNotFound},
        {"0xFFFF sections", [](Image& im) { put16(&im.bytes, im.pe + 6, 0xFFFF); },
         kErrBadExeFormat},
        {"section table past the end",
         [](Image& im) {
             put16(&im.bytes, im.pe + 6, 96);
             im.bytes.resize(im.sections + 40 * 50);
         },
         kErrBadExeFormat},
        {"raw data past the end", [](Image& im) { put32(&im.bytes, im.sections + 16, 0x10000); },
         kErrBadExeFormat},
        {"overlapping sections",
         [](Image& im) {
             put16(&im.bytes, im.pe + 6, 2);
             std::copy_n(im.bytes.begin() + static_cast<long>(im.sections), 40,
                         im.bytes.begin() + static_cast<long>(im.sections + 40));
             put32(&im.bytes, im.sections + 40 + 12, 0x1100);
         },
         kErrBadExeFormat},
        {"SizeOfHeaders past the end", [](Image& im) { put32(&im.bytes, im.opt + 60, 0x100000); },
         kErrBadExeFormat},
        // Resource tree.
        {"no resource directory", [](Image& im) { put32(&im.bytes, im.directories + 16, 0); },
         kErrResourceTypeNotFound},
        {"resource directory in no section",
         [](Image& im) { put32(&im.bytes, im.directories + 16, 0x8000); },
         kErrResourceDataNotFound},
        {"no type 16", [](Image& im) { put32(&im.bytes, im.rsrc + 16, 6); },
         kErrResourceTypeNotFound},
        {"no name 1", [](Image& im) { put32(&im.bytes, im.nameEntry, 2); },
         kErrResourceTypeNotFound},
        {"type 16 names a data entry", [](Image& im) { put32(&im.bytes, im.rsrc + 20, 0x18); },
         kErrResourceDataNotFound},
        {"name directory points at the root",
         [](Image& im) { put32(&im.bytes, im.nameEntry + 4, 0x80000000u); },
         kErrResourceDataNotFound},
        {"language entry is a directory",
         [](Image& im) { put32(&im.bytes, im.languageDirectory + 20, 0x80000000u | 0x18); },
         kErrResourceDataNotFound},
        {"65535 entries", [](Image& im) { put16(&im.bytes, im.rsrc + 14, 0xFFFF); },
         kErrResourceDataNotFound},
        {"subdirectory past the directory's size",
         [](Image& im) { put32(&im.bytes, im.rsrc + 20, 0x80000000u | 0x7FFFFFF0u); },
         kErrResourceDataNotFound},
        {"data in no section", [](Image& im) { put32(&im.bytes, im.dataEntry, 0x5000); },
         kErrResourceDataNotFound},
        {"data RVA wraps", [](Image& im) { put32(&im.bytes, im.dataEntry, 0xFFFFFFF0u); },
         kErrResourceDataNotFound},
        {"data size past the section",
         [](Image& im) { put32(&im.bytes, im.dataEntry + 4, 0x10000); }, kErrResourceDataNotFound},
        {"data size 0", [](Image& im) { put32(&im.bytes, im.dataEntry + 4, 0); },
         kErrResourceDataNotFound},
        {"data inside the headers", [](Image& im) { put32(&im.bytes, im.opt + 60, 0x400); },
         kErrResourceDataNotFound},
        {"data inside the certificate table",
         [](Image& im) {
             put32(&im.bytes, im.directories + 32, 0x208);
             put32(&im.bytes, im.directories + 36, static_cast<uint32_t>(im.bytes.size() - 0x208));
         },
         kErrResourceDataNotFound},
        // The version block.
        {"root wLength 0", [](Image& im) { put16(&im.bytes, im.block, 0); },
         kErrResourceDataNotFound},
        {"root wLength past the data", [](Image& im) { put16(&im.bytes, im.block, 0xFFF0); },
         kErrResourceDataNotFound},
        {"root wLength short of its children", [](Image& im) { put16(&im.bytes, im.block, 0x60); },
         kErrResourceDataNotFound},
        {"root key not VS_VERSION_INFO", [](Image& im) { im.bytes[im.block + 6] = 'W'; },
         kErrResourceDataNotFound},
        {"child wLength 0", [](Image& im) { put16(&im.bytes, im.block + kStrings, 0); },
         kErrResourceDataNotFound},
        {"child past its parent",
         [&](Image& im) {
             put16(&im.bytes, im.block + kStrings,
                   static_cast<uint32_t>(good.size() - kStrings + 4));
         },
         kErrResourceDataNotFound},
        {"key not terminated inside its node",
         [](Image& im) { put16(&im.bytes, im.block + kStrings, 16); }, kErrResourceDataNotFound},
        {"leftover bytes in a parent", [](Image&) {}, kErrResourceDataNotFound, &leftover},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Image im = buildImage(false, c.block != nullptr ? *c.block : good);
        c.edit(im);
        auto source = pe::ByteSource::memory(im.bytes.data(), im.bytes.size());
        setLastError(kSuccess);
        uint32_t size = fileVersionInfoSize(source);
        if (size != 0) {
            std::vector<unsigned char> buffer(size);
            EXPECT_FALSE(fileVersionInfo(source, size, buffer.data()));
        }
        EXPECT_EQ(lastError(), c.error);
    }

    // What is read leniently: text lengths counted in bytes, a string leaf typed binary, keys
    // in another case.
    struct Lenient {
        const char* what;
        std::function<void(VNode&)> change;
    } lenient[] = {
        {"text length in bytes",
         [](VNode& t) { t.children[0].children[0].children[1].valueLength = 28; }},
        {"string leaf typed binary",
         [](VNode& t) { t.children[0].children[0].children[1].type = 0; }},
        {"table key in lower case", [](VNode& t) { t.children[0].children[0].key = u"040904b0"; }},
    };
    for (const Lenient& c : lenient) {
        SCOPED_TRACE(c.what);
        VNode tree = versionTree(3, 10, u"halden-test-7");
        c.change(tree);
        EXPECT_EQ(readVersion(buildImage(true, encode(tree)).bytes),
                  (VersionTexts{true, "3.10", "halden-test-7"}));
    }
}

// Every prefix of a signed test executable and every byte of it flipped: the reader answers
// without reading out of bounds (AddressSanitizer watches every buffer, each of exactly its
// size), and every view it returns lies inside the caller's block. A flip outside the headers
// and the resource section leaves the answer as it was.
TEST(FileVersion, EveryTruncationAndByteFlip) {
    test::TestEnv env;
    AnsiCodePage acp(env, "1252");
    for (const char* name : {"pub-good.exe", "pub-good-pe64.exe"}) {
        SCOPED_TRACE(name);
        const Bytes file = executableBytes(name);
        ASSERT_FALSE(file.empty());
        const VersionTexts expected = readVersion(file);
        ASSERT_EQ(expected.version, "3.10");
        pe::Image image;
        ASSERT_EQ(pe::parseImage(pe::ByteSource::memory(file.data(), file.size()), &image),
                  pe::Status::kOk);
        pe::Range version;
        ASSERT_EQ(pe::findVersionResource(pe::ByteSource::memory(file.data(), file.size()), image,
                                          &version),
                  pe::Status::kOk);
        // The code section's raw data: no structure the reader looks at.
        const pe::Section& code = image.sections[0];
        // Where the last section's raw data ends: a shorter prefix is not a whole image.
        uint64_t rawEnd = 0;
        for (size_t i = 0; i < image.sectionCount; ++i) {
            rawEnd = std::max<uint64_t>(
                rawEnd, image.sections[i].pointerToRawData + image.sections[i].sizeOfRawData);
        }

        auto examine = [&](const Bytes& bytes) {
            auto source = pe::ByteSource::memory(bytes.data(), bytes.size());
            VersionTexts texts = readVersion(source);
            pe::Image parsed;
            if (pe::parseImage(source, &parsed) == pe::Status::kOk) {
                pe::CertificateTable table;
                if (pe::walkCertificateTable(source, parsed, &table) == pe::Status::kOk) {
                    for (size_t i = 0; i < table.count; ++i)
                        EXPECT_LE(table.entries[i].offset + table.entries[i].length, bytes.size());
                }
                pe::HashRanges ranges;
                if (pe::imageHashRanges(parsed, &ranges) == pe::Status::kOk) {
                    for (const pe::Range& r : ranges.ranges)
                        EXPECT_LE(r.end(), bytes.size());
                }
            }
            return texts;
        };

        for (size_t length = 0; length < file.size(); ++length) {
            Bytes prefix(file.begin(), file.begin() + static_cast<long>(length));
            VersionTexts texts = examine(prefix);
            if (length >= rawEnd) {
                EXPECT_EQ(texts, expected) << length;
            }
        }
        Bytes flipped = file;
        for (size_t at = 0; at < file.size(); ++at) {
            flipped[at] ^= 0xFF;
            VersionTexts texts = examine(flipped);
            if (at >= code.pointerToRawData && at < code.pointerToRawData + code.sizeOfRawData) {
                EXPECT_EQ(texts, expected) << at;
            }
            flipped[at] = file[at];
        }
    }
}

}  // namespace
}  // namespace nvl::sys
