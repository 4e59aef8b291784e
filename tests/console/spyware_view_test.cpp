// What the Spyware page reads and shows: nvl-spyscan's report taken whole or refused, names of
// any bytes turned into ASCII markup and JSON, file names carried through UTF-16 and back, the
// backup sets a restore may name, and whether a backup record's object is there now.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "spyware_view.h"
#include "support/test_env.h"

namespace {

using console::SpywareFinding;
using console::SpywareReport;

// As nvl-spyscan writes it (one header with a tab, which is taken too).
const std::string kReport =
    "nvl-spyscan-report 1\n"
    "status done\n"
    "type\tquick\n"
    "clean 1\n"
    "found 3\n"
    "cleaned 2\n"
    "backup /srv/home/Engine/BackupAS/20260302-101500-77-1.tbk\n"
    "started 1772446500\n"
    "finished 1772446512\n"
    "note-from-a-later-command whatever it says\n"
    "item\t10\tcleaned\tSpyware.KeyDemo\t/srv/demo/r\xE9sum\xE9 viewer.scr\n"
    "item\t18\tcleaned\tHijack.DemoHosts\t/srv/demo/etc/hosts:0.0.0.0\tads.example:80\n"
    "item\t11\tfailed\t\xE3\x83\x87\xE3\x83\xA2\tHKLM\\SOFTWARE\\Demo\\Run\\Updater\n";

TEST(SpywareReport, ReadsEveryFieldAndKeepsLocationsAsBytes) {
    SpywareReport report;
    ASSERT_TRUE(console::parseSpywareReport(kReport, &report));
    EXPECT_EQ(report.status, SpywareReport::Status::Done);
    EXPECT_TRUE(report.quick);
    EXPECT_TRUE(report.clean);
    EXPECT_EQ(report.found, 3u);
    EXPECT_EQ(report.cleaned, 2u);
    EXPECT_EQ(report.backup, "/srv/home/Engine/BackupAS/20260302-101500-77-1.tbk");
    EXPECT_EQ(report.started, 1772446500);
    EXPECT_EQ(report.finished, 1772446512);
    ASSERT_EQ(report.findings.size(), 3u);
    EXPECT_EQ(report.findings[0].scanner, 10u);
    EXPECT_EQ(report.findings[0].state, SpywareFinding::State::Cleaned);
    EXPECT_EQ(report.findings[0].location, "/srv/demo/r\xE9sum\xE9 viewer.scr");
    // A line's location keeps its tabs and colons.
    EXPECT_EQ(report.findings[1].location, "/srv/demo/etc/hosts:0.0.0.0\tads.example:80");
    EXPECT_EQ(report.findings[2].threat, "\xE3\x83\x87\xE3\x83\xA2");
    EXPECT_EQ(report.findings[2].state, SpywareFinding::State::Failed);

    SpywareReport empty;
    std::string header = kReport.substr(0, kReport.find("note-from"));
    ASSERT_TRUE(console::parseSpywareReport(header, &empty));
    EXPECT_TRUE(empty.findings.empty());
}

TEST(SpywareReport, RefusesAnyDamage) {
    auto replaced = [](const std::string& from, const std::string& to) {
        std::string text = kReport;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    const struct {
        const char* what;
        std::string text;
    } kCases[] = {
        {"empty", ""},
        {"cut short", kReport.substr(0, kReport.size() - 1)},
        {"cut in a header", kReport.substr(0, kReport.find("started") + 9)},
        {"another format", replaced("report 1", "report 2")},
        {"no first line", kReport.substr(kReport.find('\n') + 1)},
        {"two blanks", replaced("status done", "status  done")},
        {"no value", replaced("status done", "status")},
        {"repeated field", replaced("cleaned 2\n", "cleaned 2\nfound 3\n")},
        {"missing field", replaced("finished 1772446512\n", "")},
        {"unknown status", replaced("status done", "status ok")},
        {"unknown type", replaced("type\tquick", "type\tfast")},
        {"clean not 0 or 1", replaced("clean 1", "clean yes")},
        {"negative count", replaced("found 3", "found -3")},
        {"count with exponent", replaced("found 3", "found 3e2")},
        {"count beyond 64 bits", replaced("found 3", "found 18446744073709551616")},
        {"time with a sign", replaced("started 1772446500", "started +1772446500")},
        {"CR before the line end", replaced("status done\n", "status done\r\n")},
        {"blank line", replaced("type\tquick\n", "type\tquick\n\n")},
        {"item without location", replaced("\tHKLM\\SOFTWARE\\Demo\\Run\\Updater", "")},
        {"item with empty location", replaced("HKLM\\SOFTWARE\\Demo\\Run\\Updater", "")},
        {"item with empty threat", replaced("Spyware.KeyDemo", "")},
        {"item of scanner 0", replaced("item\t10", "item\t0")},
        {"item state unknown", replaced("\tfailed\t", "\tdeleted\t")},
        {"NUL in a location", replaced("viewer", std::string("vi\0ewer", 7))},
        {"key of other characters", replaced("note-from-a-later-command", "Note.From")},
    };
    for (const auto& c : kCases) {
        SpywareReport report;
        EXPECT_FALSE(console::parseSpywareReport(c.text, &report)) << c.what;
    }
}

class SpywareFiles : public ::testing::Test {
  protected:
    std::string path(const std::string& name) const { return env_.root() + "/" + name; }
    std::string write(const std::string& name, const std::string& text) const {
        return env_.writeFile(name, text);
    }
    void touch(const std::string& name, time_t seconds) const {
        struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path(name).c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
    }
    nvl::test::TestEnv env_;
};

TEST_F(SpywareFiles, ReportIsReadWholeFromARegularFileOnly) {
    SpywareReport report;
    EXPECT_EQ(console::readSpywareReport(path("none.txt"), &report), console::ReportRead::Missing);
    EXPECT_EQ(console::fileStamp(path("none.txt")), "");

    std::string good = write("good.txt", kReport);
    EXPECT_EQ(console::readSpywareReport(good, &report), console::ReportRead::Read);
    EXPECT_EQ(report.findings.size(), 3u);

    ASSERT_EQ(::symlink(good.c_str(), path("link.txt").c_str()), 0);
    std::string oversized = kReport + "x-padding\t" +
                            std::string(console::kSpywareReportLimit - kReport.size(), 'x') + "\n";
    for (const std::string& bad : {path("link.txt"), env_.root(), write("damaged.txt", "status\n"),
                                   write("oversized.txt", oversized)})
        EXPECT_EQ(console::readSpywareReport(bad, &report), console::ReportRead::Unreadable) << bad;

    // A report replaced by a newer one, even of the same size within the same second, is seen.
    std::string before = console::fileStamp(good);
    ASSERT_FALSE(before.empty());
    write("good.new", kReport);
    ASSERT_EQ(::rename(path("good.new").c_str(), good.c_str()), 0);
    EXPECT_NE(console::fileStamp(good), before);
}

TEST_F(SpywareFiles, BackupSetsAreThePlainSetFilesNewestFirst) {
    write("sets/a.tbk", "a");
    write("sets/b.tbk", "b");
    write("sets/c-2.tbk", "c");
    write("sets/.hidden.tbk", "h");
    write("sets/with blank.tbk", "w");
    write("sets/notes.txt", "n");
    ASSERT_EQ(::mkdir(path("sets/dir.tbk").c_str(), 0700), 0);
    ASSERT_EQ(::symlink("a.tbk", path("sets/link.tbk").c_str()), 0);
    touch("sets/a.tbk", 1000);
    touch("sets/b.tbk", 3000);
    touch("sets/c-2.tbk", 2000);
    std::string sets = path("sets");

    bool more = true;
    std::vector<console::BackupSetFile> listed = console::listBackupSets(sets, 10, &more);
    std::vector<std::string> names;
    for (const auto& set : listed)
        names.push_back(set.name);
    EXPECT_EQ(names, (std::vector<std::string>{"b.tbk", "c-2.tbk", "a.tbk"}));
    EXPECT_FALSE(more);
    EXPECT_EQ(console::listBackupSets(sets, 2, &more).size(), 2u);
    EXPECT_TRUE(more);
    EXPECT_TRUE(console::listBackupSets(path("missing"), 10, &more).empty());

    EXPECT_TRUE(console::backupSetExists(sets, "a.tbk"));
    for (const char* refused : {"link.tbk", "dir.tbk", "missing.tbk", "../sets/a.tbk",
                                ".hidden.tbk", "with blank.tbk", "notes.txt"})
        EXPECT_FALSE(console::backupSetExists(sets, refused)) << refused;
}

TEST(SpywareNames, BackupSetNames) {
    for (const char* name : {"a.tbk", "20260302-101500-77-1.tbk", "A_b.c-d.tbk", "x..tbk"})
        EXPECT_TRUE(console::isBackupSetName(name)) << name;
    for (std::string name :
         {std::string(), std::string(".tbk"), std::string(".a.tbk"), std::string("a.TBK"),
          std::string("a.tbk.txt"), std::string("../a.tbk"), std::string("a/b.tbk"),
          std::string("a b.tbk"), std::string("caf\xC3\xA9.tbk"), std::string("a\0b.tbk", 7),
          std::string("a.tbk\n"), std::string(252, 'a') + ".tbk"})
        EXPECT_FALSE(console::isBackupSetName(name)) << name;
    EXPECT_TRUE(console::isBackupSetName(std::string(251, 'a') + ".tbk"));
}

TEST_F(SpywareFiles, RecordPresence) {
    using console::Presence;
    std::string file = write("tree/free.exe", "x");
    ASSERT_EQ(::mkdir(path("tree/Toolbar").c_str(), 0700), 0);
    // A path with a colon of its own, and a line with colons and tabs.
    std::string hosts = write("tree/a:b/hosts", "127.0.0.1\tlocalhost\r\n0.0.0.0\tads:example\n");
    std::string line = hosts + ":0.0.0.0\tads:example";

    EXPECT_EQ(console::recordPresence(1, file), Presence::Present);
    EXPECT_EQ(console::recordPresence(1, file + ".gone"), Presence::Absent);
    EXPECT_EQ(console::recordPresence(2, path("tree/Toolbar")), Presence::Present);
    EXPECT_EQ(console::recordPresence(3, line), Presence::Present);
    EXPECT_EQ(console::recordPresence(3, hosts + ":127.0.0.1\tlocalhost"), Presence::Present);
    EXPECT_EQ(console::recordPresence(3, hosts + ":0.0.0.0\tads"), Presence::Absent);
    EXPECT_EQ(console::recordPresence(3, "no colon"), Presence::Absent);
    write("tree/a:b/hosts", "127.0.0.1\tlocalhost\n");
    EXPECT_EQ(console::recordPresence(3, line), Presence::Absent);
    EXPECT_EQ(console::recordPresence(4, "HKLM\\SOFTWARE\\Demo\\Run\\Updater"), Presence::Unknown);
}

std::string byteMark(const char* what) {
    return std::string("<span class=\"byte\">") + what + "</span>";
}

TEST(SpywareDisplay, AnyBytesBecomeAsciiMarkup) {
    const struct {
        std::string bytes;
        std::string html;
    } kCases[] = {
        {"a<b>&\"'c", "a&lt;b&gt;&amp;&quot;&#39;c"},
        {"C:\\dir\tx", "C:\\dir\tx"},
        {"caf\xC3\xA9 \xE3\x83\x87", "caf&#xE9; &#x30C7;"},
        {"\xF0\x9F\x98\x80", "&#x1F600;"},
        {"r\xE9s", "r" + byteMark("\\xE9") + "s"},
        {"\xC0\xAF", byteMark("\\xC0") + byteMark("\\xAF")},                          // overlong
        {"\xED\xA0\x80", byteMark("\\xED") + byteMark("\\xA0") + byteMark("\\x80")},  // surrogate
        {"\xE3\x83", byteMark("\\xE3") + byteMark("\\x83")},                          // cut short
        {"\xF4\x90\x80\x80", byteMark("\\xF4") + byteMark("\\x90") + byteMark("\\x80") +
                                 byteMark("\\x80")},  // past U+10FFFF
        {"a\x01\x7F", "a" + byteMark("U+0001") + byteMark("U+007F")},
        {"\xC2\x85", byteMark("U+0085")},
        {"txt\xE2\x80\xAE"
         "exe",
         "txt" + byteMark("U+202E") + "exe"},
    };
    for (const auto& c : kCases) {
        std::string html = console::htmlFromBytes(c.bytes);
        EXPECT_EQ(html, c.html) << c.bytes;
        // The same name through the facade's UTF-16 shows the same, and comes back the same.
        std::u16string wide = console::utf16FromBytes(c.bytes);
        EXPECT_EQ(console::htmlFromUtf16(wide), html) << c.bytes;
        EXPECT_EQ(console::bytesFromUtf16(wide), c.bytes);
    }
}

TEST(SpywareDisplay, Utf16FromTheFacade) {
    // A byte that is not UTF-8 travels as U+DC00 + byte.
    EXPECT_EQ(console::utf16FromBytes("r\xE9"), u"r\xDCE9");
    std::u16string odd = u"a";
    odd += char16_t(0xD800);  // a lone high surrogate
    odd += u"b";
    odd += char16_t(0xDC05);  // a lone low surrogate that carries no byte
    EXPECT_EQ(console::htmlFromUtf16(odd), "a" + byteMark("U+D800") + "b" + byteMark("U+DC05"));

    std::u16string text = u"a\"b\\c\t<\u00e9\U0001F600";
    text += char16_t(0xDCE9);
    EXPECT_EQ(console::jsonFromUtf16(text),
              "\"a\\\"b\\\\c\\t\\u003c\\u00e9\\ud83d\\ude00\\\\xE9\"");
    EXPECT_EQ(console::jsonFromUtf16(u"\u202E\u0001"), "\"U+202EU+0001\"");
}

TEST(SpywareDisplay, EveryTwoByteNameComesBackFromUtf16) {
    for (int first = 1; first < 256; ++first) {
        for (int second = 1; second < 256; ++second) {
            std::string bytes = {static_cast<char>(first), static_cast<char>(second)};
            ASSERT_EQ(console::bytesFromUtf16(console::utf16FromBytes(bytes)), bytes)
                << first << " " << second;
        }
    }
}

}  // namespace
