// Message pages, the page footer, the help script and error texts.
//
// The markup is written piece by piece exactly as the console's pages and style sheets expect
// it, including its oddities (the colour bar's STRONG element is never closed, the message
// stands in a table without a row, the style sheet addresses use backslashes): browsers and
// stored pages were made against these bytes. Line ends written with endl also flush, so a
// page that stops half way has shown everything up to that line.
//
// Decisions of this port:
//   - Footer addresses are formatted into a fixed buffer of 260 bytes; a longer resource text
//     is cut rather than written past the buffer.
//   - getHTMLErrorMsg never writes past its block: a format that would need more room than
//     strlen(format) + strlen(argument) + 1 (a width such as "%40s") is cut at the block's end.
#include <cgishare/config.h>
#include <cgishare/html_page.h>
#include <cgishare/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kLinkBufferSize = 260;
constexpr size_t kINIValueSize = 256;
constexpr int kMessageTableWidth = 480;
constexpr int kFooterWidth = 500;
constexpr int kBodyLeftMargin = 15;

char* literal(const char* text) {
    // The INI accessors take char* for the original's signature; they do not write to it.
    return const_cast<char*>(text);
}

void writeButton(OutputStreamConverter& out, int labelId, const char* onClick) {
    out << "<INPUT TYPE=\"button\" VALUE=\"" << getResourceString(labelId) << onClick;
}

// One footer link; the first three are followed by a separator.
void writeFooterLink(OutputStreamConverter& out, const char* address, int labelId, bool last) {
    out << "<a href=\"" << address << "\" target=\"new\">" << getResourceString(labelId) << "</a>";
    if (!last)
        out << "|";
    out << endl;
}

}  // namespace

void ShowHTMLMsg(OutputStreamConverter& out, char* title, char* message, unsigned char closeButton,
                 unsigned char backButton, unsigned char frameBackButton,
                 unsigned char secondCloseButton) {
    out << "<HTML>\n"
        << "<HEAD>\n"
        << "<META HTTP-EQUIV=\"Pragma\" CONTENT=\"no-cache\">\n";
    out << "<TITLE>" << title << "</TITLE>\n";
    out << "<link rel=\"stylesheet\" href=\"..\\html\\Page.css\" type=\"text/css\">\n"
           "<link rel=\"stylesheet\" href=\"..\\html\\content.css\" type=\"text/css\">\n"
           "</HEAD>\n";
    out << "<BODY BGCOLOR=\"#FFFFFF\" LEFTMARGIN=" << kBodyLeftMargin << ">\n";
    out << "<form>" << endl;

    out << "<TABLE BORDER=0 CELLPADDING=0 WIDTH=" << kMessageTableWidth << ">\n";
    out << "<TR><TD BGCOLOR=\"#F4E5DD\"><FONT SIZE=2><STRONG>"
        << "&nbsp;"
        << "</FONT></TD></TR>\n";
    out << "</TABLE>\n"
        << "<BR>\n";

    out << "<TABLE BORDER=0 CELLPADDING=0 WIDTH=" << kMessageTableWidth << ">\n" << endl;
    out << "<FONT SIZE=4><STRONG>" << message << "</STRONG></FONT>\n" << endl;
    out << "</TABLE>\n" << endl;

    out << "<P>"
        << "<BR>\n";

    if (backButton)
        writeButton(out, 1005, "\" onClick=\"history.back()\">\n");
    if (frameBackButton)
        writeButton(out, 1005, "\" onClick=\"parent.frames[2].history.back(-1)\">\n");
    if (closeButton)
        writeButton(out, 1004, "\" onClick=\"self.close()\">\n");
    if (secondCloseButton)
        writeButton(out, 1003, "\" onClick=\"self.close()\">\n");

    out << "</FORM>\n";
    showCopyright(out, 0);
    out << "</BODY>\n"
        << "</HTML>\n";
}

void showCopyright(OutputStreamConverter& out, int fromSubdirectory) {
    // Links 1 and 4 are relative to the page, so a page one directory down climbs out first;
    // links 2 and 3 are absolute.
    auto pageLink = [fromSubdirectory](char(&buffer)[kLinkBufferSize], int addressId) {
        std::snprintf(buffer, sizeof buffer, fromSubdirectory != 0 ? "../%s" : "%s",
                      getResourceString(addressId));
        return buffer;
    };
    char link[kLinkBufferSize];

    out << "<hr align=\"left\" width=\"" << kFooterWidth << "\">" << endl;
    out << "<TABLE BORDER=0 CELLPADDING=0 WIDTH=" << kFooterWidth << ">\n"
        << "<TR>\n";
    out << "<td width=\"500\" height=\"34\" align=\"center\">"
        << "<span class=\"copyright\">";
    writeFooterLink(out, pageLink(link, 5345), 5341, false);
    writeFooterLink(out, getResourceString(5346), 5342, false);
    writeFooterLink(out, getResourceString(5347), 5343, false);
    writeFooterLink(out, pageLink(link, 5348), 5344, true);
    out << "</span></td>" << endl;
    out << "<td width=\"130\">" << endl;
    out << "<img src=\"/norvel/html/images/haldenlogo.gif"
        << "\" width=\"80\" height=\"30\">" << endl;
    out << "</td>" << endl;
    out << "</TR>\n"
        << "</TABLE>\n";
}

void showCopyright(OutputStreamConverter&) {}

void getHelpFile(OutputStreamConverter& out, char* helpKey) {
    char base[kINIValueSize] = {};
    char path[kINIValueSize] = {};
    char file[kINIValueSize] = {};
    getINIString(base, literal("INI_SERVER_SECTION"), literal("Master_URL"), literal("/norvel/"),
                 sizeof base, nullptr);
    getINIString(path, literal("INI_HELP_FILE_SECTION"), literal("help_virtual_path"),
                 literal("html/help/"), sizeof path, nullptr);
    getINIString(file, literal("INI_HELP_FILE_SECTION"), helpKey, literal(""), sizeof file,
                 nullptr);

    out << "<SCRIPT LANGUAGE=\"JavaScript\">\n<!--\n";
    out << "function openHelp()" << endl;
    out << "{" << endl;
    out << "window.open(\"" << base << path << file << "\", \""
        << "_help_"
        << "\", \"menubar=no,toolbar=no,directories=no,location=no,status=no,scrollbars=yes,"
           "resizable=yes,copyhistory=no,width=480,height=510\");"
        << endl;
    out << "}" << endl;
    out << "//-->\n</SCRIPT>\n";
}

char* getHTMLErrorMsg(char* format, char* argument) {
    size_t size = std::strlen(format) + std::strlen(argument) + 1;
    auto* block = static_cast<char*>(std::malloc(size));
    if (block == nullptr)
        return nullptr;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::snprintf(block, size, format, argument);
#pragma GCC diagnostic pop
    return block;
}
