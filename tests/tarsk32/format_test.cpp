// The spyware engine's files and matcher: the pattern from its text source and back through
// tarsk-pattern, every refusal of a damaged pattern, list or backup set, the lossless UTF-16
// form of file names, and the streamed matcher against a plain search at every split.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "matcher.h"
#include "support/test_env.h"
#include "tarsk_format.h"

namespace tarsk32 {
namespace {

using nvl::test::readFile;
using nvl::test::TestEnv;

constexpr char kSource[] = R"(# demo pattern
version 6.064
date 2026-12-01
company 1 Demo Adware Ltd.
threat 7 1 Adware.Demo
threat 8 1 Tracker.Cookie
location 1 .config/autostart
file 7 evil.exe
content 7 de ad be ef 00 41
directory 7 EvilToolbar
registry 7 HKLM\Software\Demo\Run EvilStart
cookie 8 tracker.example
autostart 7 evil-updater
hosts 8 ads.example.com
)";

Pattern demo() {
    Pattern p;
    std::string error;
    EXPECT_TRUE(parsePatternSource(kSource, &p, &error)) << error;
    return p;
}

int run(const std::string& command, std::string* out = nullptr) {
    FILE* f = ::popen(command.c_str(), "r");
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    int rc = ::pclose(f);
    if (out != nullptr)
        *out = text;
    return WEXITSTATUS(rc);
}

TEST(TarskPattern, SourceBuildsAFileThatDumpsBackToTheSameBytes) {
    TestEnv env;
    std::string src = env.writeFile("src.txt", kSource);
    std::string out = env.root() + "/tarskptn.da5";
    ASSERT_EQ(0, run(std::string(TARSK_PATTERN) + " build " + src + " " + out));
    Pattern p;
    std::string error;
    ASSERT_TRUE(readPattern(readFile(out), &p, &error)) << error;
    EXPECT_EQ("6.064", p.version);
    EXPECT_EQ(20261201u, p.date);
    EXPECT_EQ(7u, p.signatures.size());
    EXPECT_EQ(std::string("\xde\xad\xbe\xef\x00\x41", 6), p.signatures[1].data);
    EXPECT_EQ("EvilStart", p.signatures[3].extra);

    std::string dumped;
    ASSERT_EQ(0, run(std::string(TARSK_PATTERN) + " dump " + out, &dumped));
    std::string again = env.writeFile("again.txt", dumped);
    std::string out2 = env.root() + "/again.da5";
    ASSERT_EQ(0, run(std::string(TARSK_PATTERN) + " build " + again + " " + out2));
    EXPECT_EQ(readFile(out), readFile(out2));

    env.writeFile("bad.da5", readFile(out).substr(0, 100));
    EXPECT_EQ(1,
              run(std::string(TARSK_PATTERN) + " dump " + env.root() + "/bad.da5 2>&1", &dumped));
    EXPECT_NE(std::string::npos, dumped.find("truncated")) << dumped;
}

TEST(TarskPattern, SourceErrorsNameTheLine) {
    struct Case {
        const char* text;
        const char* expect;
    } cases[] = {
        {"version 1\ndate 2026-13-01\ncompany 1 A\n", "calendar date"},
        {"version 1\ndate 2026-01-01\nbogus 1\n", "line 3: unknown keyword"},
        {"version 1\ndate 2026-01-01\ncompany 1 A\nthreat 2 9 T\n", "unknown company"},
        {"version 1\ndate 2026-01-01\ncompany 1 A\nthreat 2 1 T\ncontent 2 0102\n",
         "bad data"},  // content shorter than 4 bytes
        {"version 1\ndate 2026-01-01\ncompany 1 A\nthreat 2 1 T\ncontent 2 zz\n", "line 5"},
        {"version 1\ndate 2026-01-01\ncompany 1 A\nthreat 2 1 T\nfile 3 x\n", "unknown threat"},
        {"version 1\ndate 2026-01-01\ncompany 1 A\nlocation 1 ../etc\n", "bad location"},
        {"version 1\ndate 2026-01-01\ncompany 1 A\ncompany 1 B\n", "repeated"},
    };
    for (const auto& c : cases) {
        Pattern p;
        std::string error;
        EXPECT_FALSE(parsePatternSource(c.text, &p, &error)) << c.text;
        EXPECT_NE(std::string::npos, error.find(c.expect)) << c.text << " -> " << error;
    }
}

TEST(TarskPattern, DamagedFilesAreRefusedWithAReason) {
    const std::string good = writePattern(demo());
    auto flipped = [&](size_t at) {
        std::string b = good;
        b[at] = static_cast<char>(b[at] ^ 0x01);
        return b;
    };
    Pattern absurd = demo();
    absurd.threats[0].company = 99;  // written without the writer's check: checksum is right
    Pattern badDate = demo();
    badDate.date = 20260230;
    struct Case {
        std::string bytes;
        const char* expect;
    } cases[] = {
        {"", "truncated"},
        {good.substr(0, 63), "truncated"},
        {good.substr(0, good.size() - 1), "truncated"},
        {good + "x", "longer"},
        {flipped(0), "magic"},
        {flipped(8), "format"},
        {flipped(good.size() - 1), "checksum"},
        {flipped(70), "checksum"},
        {writePattern(absurd), "unknown company"},
        {writePattern(badDate), "calendar"},
    };
    Pattern kept = demo();
    for (const auto& c : cases) {
        Pattern out = kept;
        std::string error;
        EXPECT_FALSE(readPattern(c.bytes, &out, &error)) << c.expect;
        EXPECT_NE(std::string::npos, error.find(c.expect)) << c.expect << " -> " << error;
        EXPECT_EQ(kept.version, out.version);  // untouched
    }
    // An absurd declared count with a correct checksum: refused before anything is allocated.
    std::string big = good;
    big[40] = '\xff';
    big[41] = '\xff';
    big[42] = '\xff';
    Pattern out;
    std::string error;
    EXPECT_FALSE(readPattern(big, &out, &error));
}

TEST(TarskNames, NonUtf8BytesSurviveTheTripThroughUtf16) {
    const std::string names[] = {"plain",         "caf\xc3\xa9",      "bad\xff\xfe", "\xc0\xaf",
                                 "\xed\xa0\x80x", "\xf0\x9f\x98\x80", "\xe2\x82"};
    for (const auto& n : names) {
        std::string back;
        ASSERT_TRUE(wideToBytes(bytesToWide(n), &back)) << n;
        EXPECT_EQ(n, back);
    }
    EXPECT_EQ(u"caf\u00e9", bytesToWide("caf\xc3\xa9"));
    EXPECT_EQ(u"bad\xdcff", bytesToWide("bad\xff"));
    std::string out;
    EXPECT_FALSE(wideToBytes(std::u16string(u"a\xdc10"), &out));  // not an escaped byte
    EXPECT_FALSE(wideToBytes(std::u16string(u"a\xd800"), &out));
    EXPECT_FALSE(wideToBytes(std::u16string(1, u'\0'), &out));
}

TEST(TarskMatcher, FindsEverySignatureWhereverTheStreamIsSplit) {
    std::mt19937 rng(7);
    std::vector<std::string> sigs = {"abcd", "bcd", "cdxyz", std::string("\0\0\0\0", 4),
                                     "abcdabcdabcd"};
    for (int i = 0; i < 300; ++i) {
        std::string s(4 + rng() % 20, '\0');
        for (char& c : s)
            c = static_cast<char>(rng());
        sigs.push_back(s);
    }
    Matcher m(sigs);
    std::string data(200000, '\0');
    for (char& c : data)
        c = static_cast<char>("abcdxyz"[rng() % 7]);
    for (size_t i = 5; i < sigs.size(); i += 7)
        data.replace(rng() % (data.size() - 40), sigs[i].size(), sigs[i]);
    std::vector<int> expected(sigs.size());
    for (size_t i = 0; i < sigs.size(); ++i)
        for (size_t at = data.find(sigs[i]); at != std::string::npos;
             at = data.find(sigs[i], at + 1))
            ++expected[i];
    for (size_t chunk : {size_t{1}, size_t{3}, size_t{4096}, data.size()}) {
        std::vector<int> got(sigs.size());
        uint32_t state = 0;
        for (size_t at = 0; at < data.size(); at += chunk)
            state = m.feed(state, reinterpret_cast<const unsigned char*>(data.data()) + at,
                           std::min(chunk, data.size() - at), [&](uint32_t id) { ++got[id]; });
        EXPECT_EQ(expected, got) << "chunk " << chunk;
    }
}

TEST(TarskLists, RoundTripAndRefusals) {
    std::vector<ListEntry> entries = {{7, true, ""}, {8, false, "/srv/x/caf\xff"}};
    std::string bytes = writeList(entries);
    std::vector<ListEntry> back;
    std::string error;
    ASSERT_TRUE(readList(bytes, &back, &error)) << error;
    ASSERT_EQ(2u, back.size());
    EXPECT_EQ("/srv/x/caf\xff", back[1].location);
    EXPECT_FALSE(back[1].enabled);

    std::string flipped = bytes;
    flipped.back() = static_cast<char>(flipped.back() ^ 1);
    std::vector<ListEntry> relative = {{7, true, "srv/x"}};
    for (const std::string& bad : {bytes.substr(0, 20), bytes.substr(0, bytes.size() - 1), flipped,
                                   writeList(relative), bytes + "x"}) {
        EXPECT_FALSE(readList(bad, &back, &error));
        EXPECT_EQ(2u, back.size());  // untouched
    }
}

class MemFile {
  public:
    explicit MemFile(const std::string& bytes) : fd_(::memfd_create("set", 0)) {
        EXPECT_EQ(static_cast<ssize_t>(bytes.size()), ::write(fd_, bytes.data(), bytes.size()));
    }
    MemFile() : fd_(::memfd_create("set", 0)) {}
    ~MemFile() { ::close(fd_); }
    int fd() const { return fd_; }
    std::string bytes() const {
        std::string out(static_cast<size_t>(::lseek(fd_, 0, SEEK_END)), '\0');
        EXPECT_EQ(static_cast<ssize_t>(out.size()), ::pread(fd_, out.data(), out.size(), 0));
        return out;
    }

  private:
    int fd_;
};

std::string makeSet(const std::vector<BackupRecord>& records, const std::string& data) {
    MemFile f;
    BackupWriter w(f.fd());
    EXPECT_TRUE(w.begin("Clean Session"));
    for (const auto& r : records)
        EXPECT_TRUE(w.add(r, data));
    EXPECT_TRUE(w.finish());
    return f.bytes();
}

TEST(TarskBackup, SetsRoundTripAndDamagedOnesAreRefused) {
    MemFile source(std::string("file body"));
    MemFile f;
    {
        BackupWriter w(f.fd());
        ASSERT_TRUE(w.begin("Clean Session"));
        ASSERT_TRUE(w.add({kBackupDirectory, 7, 14, 0755, "/srv/a", "", 0, 0}, ""));
        ASSERT_TRUE(w.add({kBackupFile, 7, 10, 0640, "/srv/a/f\xff", "", 0, 0}, source.fd(), 9));
        // A source that is not the size the caller saw is dropped, the set stays whole.
        EXPECT_FALSE(w.add({kBackupFile, 7, 10, 0640, "/srv/a/g", "", 0, 0}, source.fd(), 4));
        ASSERT_TRUE(w.add({kBackupLine, 8, 18, 0, "/etc/hosts", "1.2.3.4 ads", 0, 0}, ""));
        ASSERT_TRUE(w.finish());
    }
    BackupSet set;
    std::string error;
    ASSERT_TRUE(readBackupSet(f.fd(), &set, &error)) << error;
    EXPECT_EQ("Clean Session", set.description);
    ASSERT_EQ(3u, set.records.size());
    EXPECT_EQ("/srv/a/f\xff", set.records[1].path);
    EXPECT_EQ(9u, set.records[1].dataSize);
    std::string body(9, '\0');
    ASSERT_EQ(9, ::pread(f.fd(), body.data(), 9, static_cast<off_t>(set.records[1].dataOffset)));
    EXPECT_EQ("file body", body);

    const std::string good = f.bytes();
    std::string flipped = good;
    flipped[good.size() - 3] ^= 1;
    struct Case {
        std::string bytes;
        const char* expect;
    } cases[] = {
        {good.substr(0, 30), "truncated"},
        {good.substr(0, good.size() - 1), "truncated"},
        {good + "x", "longer"},
        {flipped, "checksum"},
        {"XXXXXXXX" + good.substr(8), "magic"},
        {makeSet({{kBackupFile, 7, 10, 0644, "relative/x", "", 0, 0}}, "d"), "absolute"},
        {makeSet({{kBackupFile, 7, 10, 0644, "/srv/../etc/passwd", "", 0, 0}}, "d"), "absolute"},
        {makeSet({{9, 7, 10, 0644, "/srv/x", "", 0, 0}}, ""), "unknown kind"},
        {makeSet({{kBackupFile, 7, 10, 0100644, "/srv/x", "", 0, 0}}, ""), "mode"},
        {makeSet({{kBackupLine, 7, 18, 0, "/etc/hosts", "a\nb", 0, 0}}, ""), "line break"},
    };
    for (const auto& c : cases) {
        MemFile bad(c.bytes);
        BackupSet out;
        EXPECT_FALSE(readBackupSet(bad.fd(), &out, &error)) << c.expect;
        EXPECT_NE(std::string::npos, error.find(c.expect)) << c.expect << " -> " << error;
    }
}

}  // namespace
}  // namespace tarsk32
