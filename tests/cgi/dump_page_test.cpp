// Page templates: loading from the home directory, placeholder replacement, entry storage,
// and copies that own what they hold.
#include <cgishare/dump_page.h>
#include <cgishare/output_stream.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/test_env.h"

namespace {

char* text(const char* literal) {
    return const_cast<char*>(literal);
}

std::string dump(CDumpPage& page) {
    std::ostringstream stream;
    OutputStreamConverter out(ISO_8859_1, &stream);
    page.DumpPage(out);
    return stream.str();
}

class DumpPageTest : public ::testing::Test {
  protected:
    // Writes Web/html/<name> under the home directory.
    void writeTemplate(const std::string& name, const std::string& contents) {
        env_.writeFile("home/Web/html/" + name, contents);
    }

    nvl::test::TestEnv env_;
};

TEST_F(DumpPageTest, ReplacesPlaceholdersThatHaveEntries) {
    using Entries = std::vector<std::pair<const char*, const char*>>;
    const struct {
        const char* page;
        Entries entries;
        const char* expected;
    } cases[] = {
        {"<p>no placeholders</p>\n", {{"USER", "alice"}}, "<p>no placeholders</p>\n"},
        {"Hello %USER%!", {{"USER", "alice"}}, "Hello alice!"},
        {"100% sure", {{"USER", "alice"}}, "100% sure"},
        {"%USER%%USER%", {{"USER", "alice"}}, "alicealice"},
        {"%USER%", {{"USERNAME", "long"}, {"USER", "short"}}, "short"},
        {"%USERNAME%", {{"USER", "short"}, {"USERNAME", "long"}}, "long"},
        {"%USER%", {{"USER", "first"}, {"USER", "second"}}, "first"},
        {"%user%", {{"USER", "alice"}}, "%user%"},  // names are case-sensitive
        {"%NOPE% and %USER", {{"USER", "alice"}}, "%NOPE% and %USER"},
        {"50%%USER%", {{"USER", "alice"}}, "50%alice"},  // a kept '%' does not end a match
        {"%A%B%", {{"A", "x"}, {"B", "y"}}, "xB%"},
        {"%A%B%", {{"B", "y"}}, "%Ay"},  // an unmatched closing '%' may open the next one
        {"%%", {{"", "empty name"}}, "empty name"},
        {"[%V%]", {{"V", ""}}, "[]"},
        {"[%V%]", {{"V", nullptr}}, "[]"},
        {"%", {}, "%"},
        {"a\r\nb\rc\n", {}, "a\nb\rc\n"},  // read in text mode: CR LF is LF
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.page);
        writeTemplate("page.htm", c.page);
        CDumpPage page;
        ASSERT_TRUE(page.LoadPage(text("page.htm")));
        for (const auto& [name, value] : c.entries)
            page.AddReplaceInfo(name, value);
        EXPECT_EQ(dump(page), c.expected);
    }
}

TEST_F(DumpPageTest, LongNamesAreCutTo127Characters) {
    const std::string kept(127, 'N');
    const std::string longer = kept + "XYZ";
    writeTemplate("page.htm", "[%" + kept + "%][%" + longer + "%]");
    CDumpPage page;
    ASSERT_TRUE(page.LoadPage(text("page.htm")));
    page.AddReplaceInfo(longer.c_str(), "value");
    EXPECT_EQ(dump(page), "[value][%" + longer + "%]");
}

TEST_F(DumpPageTest, EntryArrayGrowsPastEachBlock) {
    std::vector<std::string> names, values;
    for (int i = 0; i < 170; ++i) {
        names.push_back("N" + std::to_string(i));
        values.push_back("v" + std::to_string(i));
    }
    writeTemplate("page.htm", "%N0% %N55% %N56% %N111% %N112% %N169%");
    CDumpPage page;
    ASSERT_TRUE(page.LoadPage(text("page.htm")));
    for (size_t i = 0; i < names.size(); ++i)
        page.AddReplaceInfo(names[i].c_str(), values[i].c_str());
    EXPECT_EQ(dump(page), "v0 v55 v56 v111 v112 v169");
}

TEST_F(DumpPageTest, LoadFailures) {
    CDumpPage page;
    EXPECT_EQ(dump(page), "");  // nothing loaded: nothing written
    EXPECT_FALSE(page.LoadPage(text("missing.htm")));

    writeTemplate("first.htm", "first %X%");
    ASSERT_TRUE(page.LoadPage(text("first.htm")));
    page.AddReplaceInfo("X", "page");
    // A file that does not exist keeps the page loaded before.
    EXPECT_FALSE(page.LoadPage(text("missing.htm")));
    EXPECT_EQ(dump(page), "first page");

    // A file that exists but cannot be read, or is empty, leaves the object without a page.
    writeTemplate("folder.htm/inside", "");
    EXPECT_FALSE(page.LoadPage(text("folder.htm")));
    EXPECT_EQ(dump(page), "");
    ASSERT_TRUE(page.LoadPage(text("first.htm")));
    writeTemplate("empty.htm", "");
    EXPECT_FALSE(page.LoadPage(text("empty.htm")));
    EXPECT_EQ(dump(page), "");
}

TEST_F(DumpPageTest, FindsTemplatesWithoutRegardToCase) {
    env_.writeFile("home/web/HTML/TimeOut.HTM", "timed out");
    CDumpPage page;
    ASSERT_TRUE(page.LoadPage(text("timeout.htm")));
    EXPECT_EQ(dump(page), "timed out");
}

TEST_F(DumpPageTest, PageCanBeWrittenAgain) {
    writeTemplate("page.htm", "a%X%b%Y%c 100%");
    CDumpPage page;
    ASSERT_TRUE(page.LoadPage(text("page.htm")));
    page.AddReplaceInfo("X", "1");
    page.AddReplaceInfo("Y", "2");
    EXPECT_EQ(dump(page), "a1b2c 100%");
    EXPECT_EQ(dump(page), "a1b2c 100%");
}

TEST_F(DumpPageTest, ShowArgListWritesEveryEntryInOrder) {
    CDumpPage page;
    page.AddReplaceInfo("USER", "alice");
    page.AddReplaceInfo("ROLE", "admin");
    std::ostringstream stream;
    OutputStreamConverter out(ISO_8859_1, &stream);
    page.ShowArgList(out);
    EXPECT_EQ(stream.str(), "USER = alice<br>\nROLE = admin<br>\n");
}

// Copies own their text and entries: each side can be changed and destroyed on its own
// (AddressSanitizer reports any block freed twice or used after its owner freed it).
TEST_F(DumpPageTest, CopiesAreIndependent) {
    writeTemplate("a.htm", "A %X% %Y%");
    writeTemplate("b.htm", "B %X%");
    std::vector<std::string> many;
    for (int i = 0; i < 60; ++i)
        many.push_back("M" + std::to_string(i));

    auto* original = new CDumpPage;
    ASSERT_TRUE(original->LoadPage(text("a.htm")));
    original->AddReplaceInfo("X", "1");
    for (const std::string& name : many)
        original->AddReplaceInfo(name.c_str(), "m");

    CDumpPage copy(*original);
    original->AddReplaceInfo("Y", "only in the original");
    EXPECT_EQ(dump(*original), "A 1 only in the original");
    delete original;
    EXPECT_EQ(dump(copy), "A 1 %Y%");

    CDumpPage other;
    ASSERT_TRUE(other.LoadPage(text("b.htm")));
    other.AddReplaceInfo("X", "2");
    copy = other;  // replaces the copy's text and entries
    other.AddReplaceInfo("X", "ignored: the first X wins");
    EXPECT_EQ(dump(copy), "B 2");

    CDumpPage& same = copy;
    copy = same;  // self-assignment keeps everything
    EXPECT_EQ(dump(copy), "B 2");

    CDumpPage empty;
    copy = empty;
    EXPECT_EQ(dump(copy), "");
    copy.AddReplaceInfo("X", "3");
    ASSERT_TRUE(copy.LoadPage(text("b.htm")));
    EXPECT_EQ(dump(copy), "B 3");
}

}  // namespace
