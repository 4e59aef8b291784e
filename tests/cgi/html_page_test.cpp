// Message pages, footer, help script and error texts, compared byte for byte with the page
// as the console writes it, including where the stream is flushed.
//
// Expected pages are written below with "⏎" for a line end that also flushes (endl); every
// other "\n" is written without a flush.
#include <cgishare/html_page.h>
#include <cgishare/output_stream.h>
#include <cgishare/resource.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "config/resource_testing.h"
#include "support/test_env.h"

namespace {

// A string buffer that records the length of the output at every flush.
class RecordingBuffer : public std::stringbuf {
  public:
    std::vector<size_t> flushes;

  protected:
    int sync() override {
        flushes.push_back(str().size());
        return 0;
    }
};

struct Page {
    std::string text;
    std::vector<size_t> flushes;
};

// "⏎" becomes "\n" followed by a flush.
Page expected(const std::string& marked) {
    static const std::string kMark = "⏎";
    Page page;
    for (size_t pos = 0; pos < marked.size();) {
        if (marked.compare(pos, kMark.size(), kMark) == 0) {
            page.text += '\n';
            page.flushes.push_back(page.text.size());
            pos += kMark.size();
        } else {
            page.text += marked[pos++];
        }
    }
    return page;
}

template <typename Write>
Page written(Write write) {
    RecordingBuffer buffer;
    std::ostream stream(&buffer);
    OutputStreamConverter out(ISO_8859_1, &stream);
    write(out);
    return Page{buffer.str(), buffer.flushes};
}

void expectPage(const Page& actual, const std::string& marked) {
    Page want = expected(marked);
    EXPECT_EQ(actual.text, want.text);
    EXPECT_EQ(actual.flushes, want.flushes);
}

char* text(const char* literal) {
    return const_cast<char*>(literal);
}

const std::string kFooter =
    "<hr align=\"left\" width=\"500\">⏎"
    "<TABLE BORDER=0 CELLPADDING=0 WIDTH=500>\n<TR>\n"
    "<td width=\"500\" height=\"34\" align=\"center\"><span class=\"copyright\">"
    "<a href=\"../html/copyright.htm\" target=\"new\">Copyright \xA9 Halden Labs. All rights "
    "reserved.</a>|⏎"
    "<a href=\"http://www.haldenlabs.example/\" target=\"new\">Halden Labs</a>|⏎"
    "<a href=\"http://support.haldenlabs.example/\" target=\"new\">Support</a>|⏎"
    "<a href=\"../html/contact.htm\" target=\"new\">Contact Us</a>⏎"
    "</span></td>⏎"
    "<td width=\"130\">⏎"
    "<img src=\"/norvel/html/images/haldenlogo.gif\" width=\"80\" height=\"30\">⏎"
    "</td>⏎"
    "</TR>\n</TABLE>\n";

class HtmlPageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        nvl::config::setResourceLibraryForTesting(CGIRES_EN);
        ASSERT_TRUE(loadResource());
    }
    void TearDown() override {
        freeResource();
        nvl::config::setResourceLibraryForTesting(nullptr);
    }
};

TEST_F(HtmlPageTest, MessagePageWithItsButtonsInFixedOrder) {
    const std::string back = "<INPUT TYPE=\"button\" VALUE=\"Back\" onClick=\"history.back()\">\n";
    const std::string frameBack =
        "<INPUT TYPE=\"button\" VALUE=\"Back\" "
        "onClick=\"parent.frames[2].history.back(-1)\">\n";
    const std::string close = "<INPUT TYPE=\"button\" VALUE=\"Close\" onClick=\"self.close()\">\n";
    const std::string secondClose =
        "<INPUT TYPE=\"button\" VALUE=\"OK\" onClick=\"self.close()\">\n";
    const struct {
        unsigned char close, back, frameBack, secondClose;
        std::string buttons;
    } cases[] = {
        {0, 0, 0, 0, ""},
        {1, 1, 1, 1, back + frameBack + close + secondClose},
        {1, 0, 0, 0, close},
        {0, 0, 0, 1, secondClose},
        {1, 0, 1, 0, frameBack + close},
        {0, 1, 0, 1, back + secondClose},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << int(c.close) << int(c.back) << int(c.frameBack) << int(c.secondClose));
        Page page = written([&](OutputStreamConverter& out) {
            ShowHTMLMsg(out, text("Saved"), text("The settings were saved."), c.close, c.back,
                        c.frameBack, c.secondClose);
        });
        expectPage(page,
                   "<HTML>\n<HEAD>\n<META HTTP-EQUIV=\"Pragma\" CONTENT=\"no-cache\">\n"
                   "<TITLE>Saved</TITLE>\n"
                   "<link rel=\"stylesheet\" href=\"..\\html\\Page.css\" type=\"text/css\">\n"
                   "<link rel=\"stylesheet\" href=\"..\\html\\content.css\" type=\"text/css\">\n"
                   "</HEAD>\n"
                   "<BODY BGCOLOR=\"#FFFFFF\" LEFTMARGIN=15>\n"
                   "<form>⏎"
                   "<TABLE BORDER=0 CELLPADDING=0 WIDTH=480>\n"
                   "<TR><TD BGCOLOR=\"#F4E5DD\"><FONT SIZE=2><STRONG>&nbsp;</FONT></TD></TR>\n"
                   "</TABLE>\n<BR>\n"
                   "<TABLE BORDER=0 CELLPADDING=0 WIDTH=480>\n⏎"
                   "<FONT SIZE=4><STRONG>The settings were saved.</STRONG></FONT>\n⏎"
                   "</TABLE>\n⏎"
                   "<P><BR>\n" +
                       c.buttons + "</FORM>\n" + kFooter + "</BODY>\n</HTML>\n");
    }
}

TEST_F(HtmlPageTest, FooterPrefixesOnlyThePageRelativeLinksFromASubdirectory) {
    expectPage(written([](OutputStreamConverter& out) { showCopyright(out, 0); }), kFooter);

    std::string fromSubdirectory = kFooter;
    for (const char* link : {"\"../html/copyright.htm\"", "\"../html/contact.htm\""}) {
        size_t at = fromSubdirectory.find(link);
        fromSubdirectory.insert(at + 1, "../");
    }
    expectPage(written([](OutputStreamConverter& out) { showCopyright(out, 1); }),
               fromSubdirectory);

    expectPage(written([](OutputStreamConverter& out) { showCopyright(out); }), "");
}

TEST(HtmlPageUnboundTest, FooterWithoutResourceLibraryKeepsItsMarkup) {
    expectPage(written([](OutputStreamConverter& out) { showCopyright(out, 1); }),
               "<hr align=\"left\" width=\"500\">⏎"
               "<TABLE BORDER=0 CELLPADDING=0 WIDTH=500>\n<TR>\n"
               "<td width=\"500\" height=\"34\" align=\"center\"><span class=\"copyright\">"
               "<a href=\"../\" target=\"new\"></a>|⏎"
               "<a href=\"\" target=\"new\"></a>|⏎"
               "<a href=\"\" target=\"new\"></a>|⏎"
               "<a href=\"../\" target=\"new\"></a>⏎"
               "</span></td>⏎<td width=\"130\">⏎"
               "<img src=\"/norvel/html/images/haldenlogo.gif\" width=\"80\" height=\"30\">⏎"
               "</td>⏎</TR>\n</TABLE>\n");
}

std::string helpScript(const std::string& address) {
    return "<SCRIPT LANGUAGE=\"JavaScript\">\n<!--\n"
           "function openHelp()⏎"
           "{⏎"
           "window.open(\"" +
           address +
           "\", \"_help_\", \"menubar=no,toolbar=no,directories=no,location=no,status=no,"
           "scrollbars=yes,resizable=yes,copyhistory=no,width=480,height=510\");⏎"
           "}⏎"
           "//-->\n</SCRIPT>\n";
}

TEST(HelpFileTest, AddressJoinsServerUrlHelpPathAndTheKeysFile) {
    nvl::test::TestEnv env;
    auto help = [](const char* key) {
        return written([key](OutputStreamConverter& out) { getHelpFile(out, text(key)); });
    };
    // No nvlscan.ini: the two defaults and an empty file part.
    expectPage(help("login"), helpScript("/norvel/html/help/"));

    env.writeFile("home/nvlscan.ini",
                  "[INI_SERVER_SECTION]\nMaster_URL=https://server:4343/norvel/\n"
                  "[INI_HELP_FILE_SECTION]\nhelp_virtual_path=html/hilfe/\n"
                  "login=login.htm\n");
    expectPage(help("login"), helpScript("https://server:4343/norvel/html/hilfe/login.htm"));
    expectPage(help("missing"), helpScript("https://server:4343/norvel/html/hilfe/"));
}

TEST(HTMLErrorMsgTest, FormatsIntoAHeapBlockTheCallerFrees) {
    const struct {
        const char* format;
        const char* argument;
        const char* expected;
    } cases[] = {
        {"Cannot open %s.", "nvlscan.ini", "Cannot open nvlscan.ini."},
        {"%s", "", ""},
        {"No argument here", "x", "No argument here"},
        // A width that needs more room than the block has is cut at the block's end.
        {"[%12s]", "ab", "[       "},
    };
    for (const auto& c : cases) {
        char* message = getHTMLErrorMsg(text(c.format), text(c.argument));
        ASSERT_NE(message, nullptr);
        EXPECT_STREQ(message, c.expected) << c.format;
        std::free(message);
    }
}

}  // namespace
