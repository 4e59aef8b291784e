// Log-off: the session's cookies are emptied and its key file goes with them.
#include <iostream>
#include <string>

#include "page.h"

int main() {
    loadResource();
    OutputStreamConverter out(console::pageEncoding(), &std::cout);
    ShowResetCookeHeader(out);
    console::writeContentType(out);
    out << "\r\n";
    std::string title = console::text(console::kHomeTitle);
    std::string message = console::text(console::kLoggedOut) +
                          "<BR><BR><a id=\"login\" href=\"login.cgi\">" +
                          console::text(console::kLoginButton) + "</a>";
    ShowHTMLMsg(out, title.data(), message.data(), 0, 0, 0, 0);
    out.flush();
    freeResource();
    return 0;
}
