// The console's home page, behind the log-on: the session is verified before anything else
// is written, then a message page with the help link and the footer.
#include <iostream>
#include <string>

#include "page.h"

int main() {
    loadResource();
    OutputStreamConverter out(console::pageEncoding(), &std::cout);
    console::writeContentType(out);
    out << "\r\n";
    if (!VerifyLoginCookie(out))
        return 0;  // the time-out page has been written

    char helpKey[] = "home";
    getHelpFile(out, helpKey);
    std::string title = console::text(console::kHomeTitle);
    std::string message = console::text(console::kWelcome) +
                          "<BR><BR><a id=\"help\" href=\"javascript:openHelp()\">" +
                          console::text(console::kHelpLink) +
                          "</a> | <a id=\"logout\" href=\"logout.cgi\">" +
                          console::text(console::kLogoutLink) + "</a>";
    ShowHTMLMsg(out, title.data(), message.data(), 0, 0, 0, 0);
    out.flush();
    freeResource();
    return 0;
}
