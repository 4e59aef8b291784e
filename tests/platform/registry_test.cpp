#include "platform/registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/registry_format.h"
#include "support/child_process.h"
#include "support/test_env.h"

namespace nvl::sys {
namespace {

using namespace std::string_literals;
using test::readFile;
using test::TestEnv;

constexpr RegHive kLM = RegHive::LocalMachine;
constexpr std::string_view kV5 = "Windows Registry Editor Version 5.00\r\n\r\n";

// UTF-8 text (ASCII and two-byte sequences suffice here) as UTF-16LE bytes.
std::string utf16le(std::string_view utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size(); ++i) {
        auto c = static_cast<unsigned char>(utf8[i]);
        unsigned cp = c;
        if (c >= 0xC0 && i + 1 < utf8.size())
            cp = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3Fu);
        out.push_back(static_cast<char>(cp & 0xFF));
        out.push_back(static_cast<char>(cp >> 8));
    }
    return out;
}

std::string le32(uint32_t v) {
    std::string out;
    for (int k = 0; k < 4; ++k)
        out.push_back(static_cast<char>((v >> (8 * k)) & 0xFF));
    return out;
}

void writeRegistry(const TestEnv& env, std::string_view bytes) {
    env.writeFile("etc/registry.reg", bytes);
}

// The value as the registry reads it; *error tells whether there is one. The one-call
// look-up must agree with open + query in every case.
RegValue query(std::string_view key, std::string_view name, uint32_t* error) {
    RegistryKey k;
    RegValue value;
    *error = RegistryKey::open(kLM, key, &k);
    if (*error == kSuccess)
        *error = k.queryValue(name, &value);
    RegValue direct;
    EXPECT_EQ(RegistryKey::getValue(kLM, key, name, &direct), *error);
    EXPECT_EQ(direct.type, value.type);
    EXPECT_EQ(direct.data, value.data);
    return value;
}

// --- Reading the format ------------------------------------------------------------------

struct ReadCase {
    const char* what;
    std::string file;
    const char* key;
    const char* name;
    uint32_t error;  // kSuccess: expect type and data
    uint32_t type;
    std::string data;
};

TEST(RegistryFormat, ReadsEveryValueKindAndSpelling) {
    const std::string v5(kV5);
    const std::string longKey(70, 'K'), longName(80, 'V');
    const std::vector<ReadCase> cases = {
        {"text", v5 + "[HKEY_LOCAL_MACHINE\\S\\K]\r\n\"a\"=\"x y\"\r\n", "S\\K", "a", 0, kRegSz,
         "x y"},
        {"escapes",
         v5 + "[HKEY_LOCAL_MACHINE\\S]\r\n\"q\\\"\\\\n\"=\"C:\\\\Temp\\\\ \\\"a\\\"\"\r\n", "S",
         "q\"\\n", 0, kRegSz, "C:\\Temp\\ \"a\""},
        {"unknown escape kept", v5 + "[HKLM\\S]\n\"p\"=\"c:\\temp\"\n", "S", "p", 0, kRegSz,
         "c:\\temp"},
        {"default value", v5 + "[HKEY_LOCAL_MACHINE\\S]\r\n@=\"d\"\r\n", "S", "", 0, kRegSz, "d"},
        {"dword", v5 + "[HKEY_LOCAL_MACHINE\\S]\r\n\"n\"=dword:0000001F\r\n", "S", "n", 0,
         kRegDword, le32(31)},
        {"short dword", "REGEDIT4\n[HKLM\\S]\n\"n\"=dword:3a\n", "S", "n", 0, kRegDword, le32(58)},
        {"binary", v5 + "[HKLM\\S]\r\n\"b\"=hex:00,ff,7\r\n", "S", "b", 0, kRegBinary,
         std::string("\0\xff\x07", 3)},
        {"empty binary", v5 + "[HKLM\\S]\r\n\"b\"=hex:\r\n", "S", "b", 0, kRegBinary, ""},
        {"expand_sz is UTF-16LE",
         v5 + "[HKLM\\S]\r\n\"e\"=hex(2):25,00,41,00,25,00,e4,00,00,00\r\n", "S", "e", 0,
         kRegExpandSz, "%A%\xc3\xa4"},
        {"multi_sz", v5 + "[HKLM\\S]\r\n\"m\"=hex(7):61,00,00,00,62,00,63,00,00,00,00,00\r\n", "S",
         "m", 0, kRegMultiSz, std::string("a\0bc\0", 5)},
        {"qword", v5 + "[HKLM\\S]\r\n\"w\"=hex(b):01,02,03,04,05,06,07,08\r\n", "S", "w", 0,
         kRegQword, "\x01\x02\x03\x04\x05\x06\x07\x08"},
        {"continued hex",
         v5 + "[HKLM\\S]\r\n\"b\"=hex:01,02,\\\r\n  03,\\\r\n  04\r\n\"c\"=\"n\"\r\n", "S", "b", 0,
         kRegBinary, "\x01\x02\x03\x04"},
        {"value after continued hex",
         v5 + "[HKLM\\S]\r\n\"b\"=hex:01,\\\r\n  02\r\n\"c\"=\"n\"\r\n", "S", "c", 0, kRegSz, "n"},
        {"expand_sz in REGEDIT4 is 8-bit",
         "REGEDIT4\r\n\r\n[HKLM\\S]\r\n\"e\"=hex(2):25,41,25,00\r\n", "S", "e", 0, kRegExpandSz,
         "%A%"},
        {"key and value case",
         v5 + "[hkey_local_machine\\SoftWare\\Halden]\r\n\"Local_Path\"=\"/h/\"\r\n",
         "SOFTWARE\\HALDEN", "local_path", 0, kRegSz, "/h/"},
        {"non-ASCII case", v5 + "[HKLM\\\xc3\x84rger]\n\"\xc3\xa9t\xc3\xa9\"=\"1\"\n",
         "\xc3\xa4RGER", "\xc3\x89T\xc3\x89", 0, kRegSz, "1"},
        {"long names fold too",
         v5 + "[HKLM\\" + std::string(70, 'k') + "]\n\"" + std::string(80, 'v') + "\"=\"1\"\n",
         longKey.c_str(), longName.c_str(), 0, kRegSz, "1"},
        {"empty key components are skipped", v5 + "[HKLM\\S\\K]\n\"a\"=\"1\"\n", "\\S\\\\K\\", "a",
         0, kRegSz, "1"},
        {"missing key", v5 + "[HKLM\\S]\n\"a\"=\"1\"\n", "S\\K", "a", kErrFileNotFound, 0, ""},
        {"LF line ends", "Windows Registry Editor Version 5.00\n\n[HKLM\\S]\n\"a\"=\"b\"\n", "S",
         "a", 0, kRegSz, "b"},
        {"UTF-8 byte order mark", "\xef\xbb\xbf" + v5 + "[HKLM\\S]\r\n\"a\"=\"b\"\r\n", "S", "a", 0,
         kRegSz, "b"},
        {"UTF-16LE with BOM",
         "\xff\xfe" + utf16le(v5 + "[HKEY_LOCAL_MACHINE\\S]\r\n\"\xc3\xa4\"=\"\xc3\xa9\"\r\n"), "S",
         "\xc3\xa4", 0, kRegSz, "\xc3\xa9"},
        {"later line wins", v5 + "[HKLM\\S]\r\n\"a\"=\"1\"\r\n[HKLM\\S]\r\n\"A\"=\"2\"\r\n", "S",
         "a", 0, kRegSz, "2"},
        {"removed value", v5 + "[HKLM\\S]\r\n\"a\"=\"1\"\r\n\"a\"=-\r\n", "S", "a",
         kErrFileNotFound, 0, ""},
        {"removed key", v5 + "[HKLM\\S\\K]\r\n\"a\"=\"1\"\r\n[-HKLM\\S]\r\n", "S\\K", "a",
         kErrFileNotFound, 0, ""},
        {"recreated after removal",
         v5 + "[HKLM\\S]\r\n\"a\"=\"1\"\r\n[-HKLM\\S]\r\n\"a\"=\"2\"\r\n[HKLM\\S]\r\n\"b\"="
              "\"3\"\r\n",
         "S", "a", kErrFileNotFound, 0, ""},
        {"broken header owns what follows", v5 + "[HKLM\\S]\r\n[HKLM\\T\r\n\"a\"=\"1\"\r\n", "S",
         "a", kErrFileNotFound, 0, ""},
        {"unknown hive", v5 + "[HKEY_NOWHERE\\S]\r\n\"a\"=\"1\"\r\n", "S", "a", kErrFileNotFound, 0,
         ""},
        {"garbage around a value",
         v5 + "junk\r\n[HKLM\\S]\r\n; "
              "note\r\n\"u\"=\"unterminated\r\n\"h\"=hex:0g\r\n\"x\"=hex:1,\\\r\n"
              "\"z\"=\"\0\"\r\n=\r\n\"a\"=\"ok\"\r\n"s,
         "S", "a", 0, kRegSz, "ok"},
        {"odd hex is no value", v5 + "[HKLM\\S]\r\n\"h\"=hex:123\r\n", "S", "h", kErrFileNotFound,
         0, ""},
        {"truncated continuation is no value",
         v5 + "[HKLM\\S]\r\n\"h\"=hex:12,\\\r\n\"a\"=\"1\"\r\n", "S", "h", kErrFileNotFound, 0, ""},
        {"NUL in a line", v5 + "[HKLM\\S]\r\n\"n\"=\"a" + std::string(1, '\0') + "b\"\r\n", "S",
         "n", kErrFileNotFound, 0, ""},
        {"no version line, no final line end", "[HKLM\\S]\n\"a\"=\"b\"", "S", "a", 0, kRegSz, "b"},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.what);
        TestEnv env;
        writeRegistry(env, c.file);
        uint32_t error;
        RegValue value = query(c.key, c.name, &error);
        EXPECT_EQ(error, c.error);
        if (c.error == kSuccess) {
            EXPECT_EQ(value.type, c.type);
            EXPECT_EQ(value.data, c.data);
        }
    }
}

TEST(RegistryFormat, GarbageAndBinaryNoiseNeitherCrashNorHideGoodLines) {
    TestEnv env;
    std::string noise;
    for (int i = 0; i < 4096; ++i)
        noise.push_back(static_cast<char>((i * 131 + 7) & 0xFF));
    writeRegistry(env, "\xff\xfe\x00"s + noise + "\n[HKLM\\S]\n\"a\"=\"1\"\n");
    uint32_t error;
    query("S", "a", &error);  // whatever it finds, it must not crash
    writeRegistry(env, std::string(kV5) + "[HKLM\\S]\r\n" + std::string(5u << 20, 'x') +
                           "\r\n\"a\"=\"1\"\r\n");
    EXPECT_EQ(query("S", "a", &error).data, "1");
    EXPECT_EQ(error, kSuccess);
}

// --- Writing -------------------------------------------------------------------------------

// A change rewrites only its own line: the rest, garbage included, stays byte for byte.
TEST(RegistryWrite, KeepsEveryUnchangedLineByteForByte) {
    TestEnv env;
    const std::string before =
        "Windows Registry Editor Version 5.00\r\n"
        "\r\n"
        "; hand-written\r\n"
        "garbage line \x01\x02\r\n"
        "[HKEY_LOCAL_MACHINE\\S]\r\n"
        "\"a\"=\"old\"\r\n"
        "\"u\"=\"unterminated\r\n"
        "\"z\"=\"nul\0\"\r\n"
        "\"h\"=hex:01,\\\r\n"
        "  02\r\n"
        "\r\n"
        "[HKLM\\T]\n"
        "\"t\"=dword:1\n"
        "\n"
        "[HKLM\\S\\Sub]\r\n"
        "trailing junk"s;
    writeRegistry(env, before);
    RegistryKey s;
    ASSERT_EQ(RegistryKey::open(kLM, "s", &s), kSuccess);
    ASSERT_EQ(s.setString("A", "new"), kSuccess);
    ASSERT_EQ(s.setDword("added", 7), kSuccess);
    RegistryKey sub;
    ASSERT_EQ(RegistryKey::open(kLM, "S\\SUB", &sub), kSuccess);
    ASSERT_EQ(sub.setString("x", "y"), kSuccess);
    const std::string after =
        "Windows Registry Editor Version 5.00\r\n"
        "\r\n"
        "; hand-written\r\n"
        "garbage line \x01\x02\r\n"
        "[HKEY_LOCAL_MACHINE\\S]\r\n"
        "\"a\"=\"new\"\r\n"
        "\"u\"=\"unterminated\r\n"
        "\"z\"=\"nul\0\"\r\n"
        "\"h\"=hex:01,\\\r\n"
        "  02\r\n"
        "\"added\"=dword:00000007\r\n"
        "\r\n"
        "[HKLM\\T]\n"
        "\"t\"=dword:1\n"
        "\n"
        "[HKLM\\S\\Sub]\r\n"
        "\"x\"=\"y\"\r\n"
        "trailing junk"s;
    EXPECT_EQ(readFile(env.registry()), after);
}

TEST(RegistryWrite, KeepsUtf16ByteOrderMarkAndLineEnds) {
    TestEnv env;
    const std::string text = std::string(kV5) + "[HKEY_LOCAL_MACHINE\\S]\r\n\"a\"=\"1\"\r\n";
    writeRegistry(env, "\xff\xfe" + utf16le(text));
    RegistryKey s;
    ASSERT_EQ(RegistryKey::open(kLM, "S", &s), kSuccess);
    ASSERT_EQ(s.setString("\xc3\xa4", "\xc3\xa9"), kSuccess);
    ASSERT_EQ(s.setValue("e", {kRegExpandSz, "%A%"}), kSuccess);
    EXPECT_EQ(readFile(env.registry()),
              "\xff\xfe" + utf16le(text + "\"\xc3\xa4\"=\"\xc3\xa9\"\r\n" +
                                   "\"e\"=hex(2):25,00,41,00,25,00,00,00\r\n"));
}

TEST(RegistryWrite, KeepsUtf8ByteOrderMarkLfAndRegedit4) {
    TestEnv env;
    writeRegistry(env, "\xef\xbb\xbfREGEDIT4\n\n[HKLM\\S]\n\"a\"=\"1\"");
    RegistryKey s;
    ASSERT_EQ(RegistryKey::open(kLM, "S", &s), kSuccess);
    ASSERT_EQ(s.setValue("e", {kRegExpandSz, "%A%"}), kSuccess);
    ASSERT_EQ(RegistryKey::create(kLM, "N", &s), kSuccess);
    EXPECT_EQ(readFile(env.registry()),
              "\xef\xbb\xbfREGEDIT4\n\n[HKLM\\S]\n\"a\"=\"1\"\n\"e\"=hex(2):25,41,25,00\n"
              "\n[HKEY_LOCAL_MACHINE\\N]\n");
}

// Whatever is written reads back the same, in every file form.
TEST(RegistryWrite, EveryValueKindRoundTrips) {
    const std::string longText(300, 'L');
    const std::vector<std::pair<std::string, RegValue>> values = {
        {"sz", {kRegSz, "plain \"quoted\" back\\slash \xc3\xa4\xe6\x97\xa5"}},
        {"sz with line break", {kRegSz, "two\r\nlines"}},
        {"", {kRegSz, "default"}},
        {"na\"me\\", {kRegDword, le32(0xdeadbeef)}},
        {"expand", {kRegExpandSz, "%SystemRoot%\\" + longText}},
        {"multi", {kRegMultiSz, "one\0two \xc3\xa4\0"s}},
        {"empty multi", {kRegMultiSz, ""}},
        {"qword", {kRegQword, "\x01\x02\x03\x04\x05\x06\x07\x08"}},
        {"binary", {kRegBinary, std::string("\0\xff\x10", 3) + longText}},
        {"empty binary", {kRegBinary, ""}},
        {"odd type", {0x20, "zz"}},
        {"short dword", {kRegDword, "\x01\x02"}},
    };
    const std::vector<std::pair<const char*, std::string>> files = {
        {"new file", ""},
        {"UTF-16LE", "\xff\xfe" + utf16le(std::string(kV5) + "[HKLM\\S]\r\n")},
        {"REGEDIT4", "REGEDIT4\n\n[HKLM\\S]\n"},
    };
    for (const auto& [form, file] : files) {
        SCOPED_TRACE(form);
        TestEnv env;
        if (!file.empty())
            writeRegistry(env, file);
        else
            ::unlink(env.registry().c_str());
        RegistryKey key;
        ASSERT_EQ(RegistryKey::create(kLM, "S", &key), kSuccess);
        for (const auto& [name, value] : values)
            ASSERT_EQ(key.setValue(name, value), kSuccess) << name;
        for (const auto& [name, value] : values) {
            RegValue got;
            ASSERT_EQ(key.queryValue(name, &got), kSuccess) << name;
            EXPECT_EQ(got.type, value.type) << name;
            EXPECT_EQ(got.data, value.data) << name;
        }
        std::vector<std::string> names;
        ASSERT_EQ(key.valueNames(&names), kSuccess);
        EXPECT_EQ(names.size(), values.size());
    }
}

// --- Keys and values -----------------------------------------------------------------------

TEST(RegistryKeys, CreateOpenDeleteKeysAndValues) {
    TestEnv env;
    RegistryKey leaf, parent, gone;
    ASSERT_EQ(RegistryKey::open(kLM, "SOFTWARE\\New", &parent), kErrFileNotFound);
    ASSERT_EQ(RegistryKey::create(kLM, "SOFTWARE\\New\\Leaf\\", &leaf), kSuccess);
    EXPECT_EQ(leaf.path(), "SOFTWARE\\New\\Leaf");
    ASSERT_EQ(RegistryKey::open(kLM, "software\\new", &parent), kSuccess);
    ASSERT_EQ(RegistryKey::create(kLM, "SOFTWARE\\New\\Other", &gone), kSuccess);
    std::vector<std::string> names;
    ASSERT_EQ(parent.subKeyNames(&names), kSuccess);
    EXPECT_EQ(names, (std::vector<std::string>{"Leaf", "Other"}));

    ASSERT_EQ(leaf.setString("s", "1"), kSuccess);
    ASSERT_EQ(leaf.setDword("d", 2), kSuccess);
    ASSERT_EQ(leaf.setString("S", "3"), kSuccess);  // the same value
    ASSERT_EQ(leaf.valueNames(&names), kSuccess);
    EXPECT_EQ(names, (std::vector<std::string>{"s", "d"}));
    EXPECT_EQ(leaf.deleteValue("D"), kSuccess);
    EXPECT_EQ(leaf.deleteValue("d"), kErrFileNotFound);
    uint32_t error;
    EXPECT_EQ(query("SOFTWARE\\New\\Leaf", "s", &error).data, "3");

    ASSERT_EQ(RegistryKey::deleteKey(kLM, "SOFTWARE\\NEW\\Other"), kSuccess);
    EXPECT_EQ(RegistryKey::deleteKey(kLM, "SOFTWARE\\New\\Other"), kErrFileNotFound);
    EXPECT_EQ(gone.setString("x", "y"), kErrKeyDeleted);
    EXPECT_EQ(RegistryKey::open(kLM, "SOFTWARE\\New\\Leaf", &leaf), kSuccess);
    ASSERT_EQ(RegistryKey::deleteKey(kLM, "SOFTWARE\\New"), kSuccess);
    EXPECT_EQ(leaf.getString("s", nullptr), kErrKeyDeleted);
    EXPECT_EQ(RegistryKey::open(kLM, "SOFTWARE\\New\\Leaf", &leaf), kErrFileNotFound);
    EXPECT_EQ(RegistryKey::deleteKey(kLM, ""), kErrAccessDenied);
    // The key the test environment wrote is untouched.
    EXPECT_EQ(
        query("SOFTWARE\\HaldenLabs\\Norvel\\service\\Information", "Local_Path", &error).data,
        env.home());

    RegistryKey none;
    EXPECT_EQ(none.setString("a", "b"), kErrInvalidHandle);
    ASSERT_EQ(RegistryKey::create(kLM, "X", &leaf), kSuccess);
    EXPECT_EQ(leaf.setString("bad\nname", "b"), kErrInvalidParameter);
    EXPECT_EQ(RegistryKey::create(kLM, "bad\nkey", &leaf), kErrInvalidParameter);
}

TEST(RegistryKeys, DeleteKeyRemovesOnlyItsSubtree) {
    TestEnv env;
    writeRegistry(env, std::string(kV5) +
                           "[HKLM\\A]\r\n\"a\"=\"1\"\r\n\r\n"
                           "[HKLM\\A\\B]\r\n; about B\r\n\"b\"=\"2\"\r\n\r\n"
                           "[HKLM\\AB]\r\n\"c\"=\"3\"\r\n\r\n"
                           "[-HKLM\\A\\B\\C]\r\n\"void\"=\"4\"\r\n\r\n"
                           "[HKLM\\A\\b\\D]\r\n\"d\"=\"5\"\r\n");
    ASSERT_EQ(RegistryKey::deleteKey(kLM, "A\\B"), kSuccess);
    EXPECT_EQ(
        readFile(env.registry()),
        std::string(kV5) + "[HKLM\\A]\r\n\"a\"=\"1\"\r\n\r\n[HKLM\\AB]\r\n\"c\"=\"3\"\r\n\r\n");

    // A parent that only its deleted subkey named stays.
    writeRegistry(env, std::string(kV5) + "[HKLM\\P\\Only]\r\n");
    ASSERT_EQ(RegistryKey::deleteKey(kLM, "P\\Only"), kSuccess);
    RegistryKey parent;
    EXPECT_EQ(RegistryKey::open(kLM, "P", &parent), kSuccess);
    EXPECT_EQ(readFile(env.registry()), std::string(kV5) + "[HKEY_LOCAL_MACHINE\\P]\r\n");
}

TEST(RegistryKeys, GetDwordAndGetStringCheckTheType) {
    TestEnv env;
    writeRegistry(env, std::string(kV5) +
                           "[HKLM\\SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage]\r\n"
                           "\"ACP\"=\"932\"\r\n\"Padded\"=\" 42 \"\r\n\"Bad\"=\"93x\"\r\n"
                           "\"Big\"=\"4294967296\"\r\n\"Empty\"=\"\"\r\n\"D\"=dword:ffffffff\r\n"
                           "\"B\"=hex:01,02,03,04\r\n\"E\"=hex(2):41,00,00,00\r\n");
    RegistryKey key;
    ASSERT_EQ(RegistryKey::open(kLM, "SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", &key),
              kSuccess);
    struct {
        const char* name;
        uint32_t error;
        uint32_t value;
    } dwords[] = {{"ACP", kSuccess, 932},      {"Padded", kSuccess, 42},
                  {"D", kSuccess, 0xffffffff}, {"Bad", kErrInvalidData, 0},
                  {"Big", kErrInvalidData, 0}, {"Empty", kErrInvalidData, 0},
                  {"B", kErrInvalidData, 0},   {"missing", kErrFileNotFound, 0}};
    for (const auto& c : dwords) {
        uint32_t value = 0;
        EXPECT_EQ(key.getDword(c.name, &value), c.error) << c.name;
        if (c.error == kSuccess) {
            EXPECT_EQ(value, c.value) << c.name;
        }
    }
    std::string text;
    EXPECT_EQ(key.getString("E", &text), kSuccess);
    EXPECT_EQ(text, "A");
    EXPECT_EQ(key.getString("D", &text), kErrInvalidData);
}

TEST(RegistryFile, MissingFileIsEmptyAndFirstWriteCreatesIt) {
    TestEnv env;
    ::unlink(env.registry().c_str());
    RegistryKey key;
    EXPECT_EQ(RegistryKey::open(kLM, "S", &key), kErrFileNotFound);
    ASSERT_EQ(RegistryKey::open(kLM, "", &key), kSuccess);  // a hive always exists
    std::vector<std::string> names;
    EXPECT_EQ(key.subKeyNames(&names), kSuccess);
    EXPECT_TRUE(names.empty());
    ASSERT_EQ(RegistryKey::create(kLM, "S", &key), kSuccess);
    ASSERT_EQ(key.setString("a", "b"), kSuccess);
    EXPECT_EQ(readFile(env.registry()),
              "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\S]\n\"a\"=\"b\"\n");
    struct stat st {};
    ASSERT_EQ(::stat(env.registry().c_str(), &st), 0);
    EXPECT_EQ(
        st.st_mode & 0777, 0644u & ~[] {
            mode_t mask = ::umask(0);
            ::umask(mask);
            return mask;
        }());

    ::setenv("NVL_REGISTRY", (env.root() + "/missing/dir/registry.reg").c_str(), 1);
    EXPECT_EQ(RegistryKey::open(kLM, "S", &key), kErrFileNotFound);
    EXPECT_EQ(RegistryKey::create(kLM, "S", &key), kErrPathNotFound);
}

// --- Failures and concurrency --------------------------------------------------------------

std::vector<std::string> directoryEntries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(RegistryFile, FailedWriteOrRenameLeavesTheOldFile) {
    TestEnv env;
    RegistryKey key;
    ASSERT_EQ(RegistryKey::create(kLM, "S", &key), kSuccess);
    ASSERT_EQ(key.setString("a", "old"), kSuccess);
    const std::string before = readFile(env.registry());

    FileOps diskFull = fileOps();
    diskFull.write = [](int, const void*, size_t) -> ssize_t {
        errno = ENOSPC;
        return -1;
    };
    FileOps renameFails = fileOps();
    renameFails.rename = [](const char*, const char*) {
        errno = EIO;
        return -1;
    };
    FileOps syncFails = fileOps();
    syncFails.fsync = [](int) {
        errno = EIO;
        return -1;
    };
    const std::pair<const char*, const FileOps*> faults[] = {
        {"disk full", &diskFull}, {"rename", &renameFails}, {"fsync", &syncFails}};
    for (const auto& [what, ops] : faults) {
        SCOPED_TRACE(what);
        {
            ScopedFileOps scoped(*ops);
            EXPECT_NE(key.setString("a", "new"), kSuccess);
            EXPECT_NE(key.setString("b", "new"), kSuccess);
        }
        EXPECT_EQ(readFile(env.registry()), before);
        EXPECT_EQ(
            directoryEntries(env.root() + "/etc"),
            (std::vector<std::string>{"registry.reg", "registry.reg.gen", "registry.reg.lock"}));
        std::string text;
        EXPECT_EQ(key.getString("a", &text), kSuccess);
        EXPECT_EQ(text, "old");
    }

    FileOps shortWrites = fileOps();
    shortWrites.write = [](int fd, const void* data, size_t size) {
        return ::write(fd, data, std::min<size_t>(size, 3));
    };
    ScopedFileOps scoped(shortWrites);
    ASSERT_EQ(key.setString("a", "new"), kSuccess);
    std::string text;
    EXPECT_EQ(key.getString("a", &text), kSuccess);
    EXPECT_EQ(text, "new");
}

// The file as a reader sees it must always be whole: every line understood.
bool fileIsWhole(const std::string& path) {
    std::string bytes;
    if (readWholeFile(path, &bytes) != kSuccess)
        return false;
    regformat::Document doc;
    if (!regformat::parse(bytes, regformat::Limits{}, &doc))
        return false;
    for (size_t i = 1; i < doc.entries.size(); ++i) {
        const regformat::Entry& e = doc.entries[i];
        if (e.kind == regformat::Entry::Kind::kOther && !e.blank)
            return false;
        if (e.kind == regformat::Entry::Kind::kHeader && !e.known)
            return false;
    }
    return true;
}

// Reads until told to stop; every value once seen must stay. Returns the exit status.
int readUntilStopped(int stopFd, size_t expected) {
    std::set<std::string> seen;
    for (bool stop = false; !stop;) {
        // The pause only leaves the writers some processor time; it orders nothing.
        pollfd pfd{stopFd, POLLIN, 0};
        stop = ::poll(&pfd, 1, 2) == 1;
        if (!fileIsWhole(registryPath()))
            return 2;
        RegistryKey key;
        std::vector<std::string> names;
        if (RegistryKey::open(kLM, "SOFTWARE\\Race", &key) != kSuccess ||
            key.valueNames(&names) != kSuccess) {
            return 3;
        }
        std::set<std::string> now(names.begin(), names.end());
        for (const std::string& name : seen) {
            if (now.count(name) == 0)
                return 4;
        }
        seen = std::move(now);
    }
    return seen.size() == expected ? 0 : 5;
}

int exitStatus(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(RegistryProcesses, ConcurrentWritersLoseNoUpdateAndReadersNeverSeeATornFile) {
    TestEnv env;
    constexpr int kWriters = 8;
    constexpr int kValuesEach = 100;
    RegistryKey key;
    ASSERT_EQ(RegistryKey::create(kLM, "SOFTWARE\\Race", &key), kSuccess);

    int stop[2];
    ASSERT_EQ(::pipe(stop), 0);
    pid_t reader = ::fork();
    ASSERT_GE(reader, 0);
    if (reader == 0) {
        ::close(stop[1]);
        ::_exit(readUntilStopped(stop[0], kWriters * kValuesEach));
    }
    ::close(stop[0]);

    std::vector<pid_t> writers;
    for (int w = 0; w < kWriters; ++w) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            RegistryKey mine;
            if (RegistryKey::open(kLM, "SOFTWARE\\Race", &mine) != kSuccess)
                ::_exit(1);
            for (int i = 0; i < kValuesEach; ++i) {
                std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
                uint32_t value = 0;
                if (mine.setDword(name, static_cast<uint32_t>(w * 1000 + i)) != kSuccess)
                    ::_exit(2);
                if (mine.getDword(name, &value) != kSuccess ||
                    value != static_cast<uint32_t>(w * 1000 + i)) {
                    ::_exit(3);
                }
            }
            ::_exit(0);
        }
        writers.push_back(pid);
    }
    for (pid_t pid : writers)
        EXPECT_EQ(exitStatus(pid), 0);
    ASSERT_EQ(::write(stop[1], "x", 1), 1);
    ::close(stop[1]);
    EXPECT_EQ(exitStatus(reader), 0);

    std::vector<std::string> names;
    ASSERT_EQ(key.valueNames(&names), kSuccess);
    EXPECT_EQ(names.size(), static_cast<size_t>(kWriters * kValuesEach));
    for (int w = 0; w < kWriters; ++w) {
        for (int i = 0; i < kValuesEach; ++i) {
            uint32_t value = 0;
            std::string name = "W" + std::to_string(w) + "_" + std::to_string(i);
            ASSERT_EQ(key.getDword(name, &value), kSuccess) << name;
            EXPECT_EQ(value, static_cast<uint32_t>(w * 1000 + i));
        }
    }
}

// --- Freshness of the per-process cache ---------------------------------------------------

// A tick count that moves only when a test moves it, so that nothing here is seen because
// time passed.
std::atomic<uint32_t> g_ticks{0};

class FrozenClock {
  public:
    explicit FrozenClock(uint32_t start) {
        g_ticks = start;
        setTickCountSourceForTesting([] { return g_ticks.load(); });
    }
    ~FrozenClock() { setTickCountSourceForTesting(nullptr); }
    void advance(uint32_t milliseconds) { g_ticks += milliseconds; }
};

constexpr std::string_view kOne =
    "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\S]\r\n\"v\"=\"one\"\r\n";

std::string valueOfV() {
    RegValue value;
    if (RegistryKey::getValue(kLM, "S", "v", &value) != kSuccess)
        return "<none>";
    return value.data;
}

int childSets(std::string_view text) {
    RegistryKey key;
    if (RegistryKey::open(kLM, "S", &key) != kSuccess)
        return 1;
    return key.setString("v", text) == kSuccess ? 0 : 2;
}

// A change through the library is seen by processes that cached the file before it, at once:
// the clock stands still, so no periodic check can be what shows it. One of the readers is a
// forked child that inherited its parent's cache.
TEST(RegistryProcesses, ChangeThroughTheLibraryIsSeenAtOnceByEveryProcess) {
    TestEnv env;
    writeRegistry(env, kOne);
    FrozenClock clock(1000);
    ASSERT_EQ(valueOfV(), "one");
    struct stat st {};
    EXPECT_EQ(::stat((env.registry() + ".gen").c_str(), &st), 0)
        << "a reader creates the change counter beside the file";

    test::Channel ready, go;
    test::Child reader([&] {
        if (valueOfV() != "one")
            return 1;
        ready.post();
        if (go.take() == '\0')
            return 2;
        return valueOfV() == "two" ? 0 : 3;
    });
    ASSERT_EQ(ready.take(), 'x');
    test::Child writer([] { return childSets("two"); });
    ASSERT_EQ(writer.wait(), 0);
    go.post();
    EXPECT_EQ(valueOfV(), "two");
    EXPECT_EQ(reader.wait(), 0);

    // And the next change, after the counter moved once.
    test::Child again([] { return childSets("three"); });
    ASSERT_EQ(again.wait(), 0);
    EXPECT_EQ(valueOfV(), "three");
}

// A file replaced by other means is seen once the interval has passed, also across the wrap of
// the tick count.
TEST(RegistryFile, EditByOtherMeansIsSeenAfterTheInterval) {
    TestEnv env;
    writeRegistry(env, kOne);
    FrozenClock clock(0xFFFFFF00u);
    ASSERT_EQ(valueOfV(), "one");
    ASSERT_EQ(replaceFileAtomically(env.registry(), std::string(kOne) + "\"v\"=\"edited\"\r\n"),
              kSuccess);
    clock.advance(1000);
    EXPECT_EQ(valueOfV(), "edited");
}

// A change counter that cannot be used (too short, not a file) leaves every look-up checking
// the file, so nothing is stale; garbage in a usable one is just another value. None of them
// crashes a reader or stops a writer.
TEST(RegistryFile, UnusableOrGarbageChangeCounter) {
    const struct {
        const char* what;
        std::string contents;  // empty: a directory in its place
        bool editSeenAtOnce;
    } cases[] = {
        {"too short", "abc", true},
        {"a directory", "", true},
        {"garbage", std::string(4096, '\xff'), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TestEnv env;
        writeRegistry(env, kOne);
        const std::string counter = env.registry() + ".gen";
        if (c.contents.empty()) {
            ASSERT_EQ(::mkdir(counter.c_str(), 0755), 0);
        } else {
            env.writeFile("etc/registry.reg.gen", c.contents);
        }
        FrozenClock clock(5);
        ASSERT_EQ(valueOfV(), "one");
        test::Child writer([] { return childSets("two"); });
        ASSERT_EQ(writer.wait(), 0);
        EXPECT_EQ(valueOfV(), "two");
        if (c.editSeenAtOnce) {
            ASSERT_EQ(replaceFileAtomically(env.registry(), kOne), kSuccess);
            EXPECT_EQ(valueOfV(), "one");
        }
    }
}

// --- The command-line tool -----------------------------------------------------------------

struct ToolResult {
    int status;
    std::string out;
};

ToolResult runTool(const std::string& args) {
    std::string command =
        std::string(CGISHARE_BINARY_DIR) + "/tools/nvlreg/nvl-reg " + args + " 2>/dev/null";
    ToolResult result{-1, ""};
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return result;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.out.append(buffer, n);
    int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

TEST(RegistryTool, GetSetDelete) {
    TestEnv env;
    const std::string key = "'HKLM\\SOFTWARE\\HaldenLabs\\Norvel\\service\\Information'";
    struct {
        std::string args;
        int status;
        std::string out;
    } steps[] = {
        {"get " + key + " Local_Path", 0, env.home() + "\n"},
        {"set " + key + " Count dword 0x1f", 0, ""},
        {"get " + key + " count", 0, "31\n"},
        {"set 'HKEY_LOCAL_MACHINE\\SOFTWARE\\New' '' sz 'a \"b\"'", 0, ""},
        {"get 'HKLM\\software\\new'", 0,
         "[HKEY_LOCAL_MACHINE\\software\\new]\n@=\"a \\\"b\\\"\"\n"},
        {"delete " + key + " Count", 0, ""},
        {"get " + key + " Count", 1, ""},
        {"delete 'HKLM\\SOFTWARE\\New'", 0, ""},
        {"get 'HKLM\\SOFTWARE\\New'", 1, ""},
        {"set " + key + " n dword -1", 2, ""},
        {"get 'NOHIVE\\X'", 2, ""},
        {"frobnicate " + key, 2, ""},
    };
    for (const auto& step : steps) {
        ToolResult r = runTool(step.args);
        EXPECT_EQ(r.status, step.status) << step.args;
        EXPECT_EQ(r.out, step.out) << step.args;
    }
}

}  // namespace
}  // namespace nvl::sys
