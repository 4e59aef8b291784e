// Log-off: a POST from the console's own pages with the session's form token empties the
// session's cookies and removes its key file. Anything else changes nothing: a GET goes back
// to the home page, a forged POST gets the 403 page.
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "audit.h"
#include "frame.h"
#include "security.h"

int main() {
    loadResource();
    OutputStreamConverter out(console::pageEncoding(), &std::cout);
    const char* method = std::getenv("REQUEST_METHOD");
    if (method == nullptr || std::strcmp(method, "POST") != 0) {
        console::writeHeaders(out, 303, {}, "Location: home.cgi\r\n");
        out << "\r\n";
        out.flush();
        freeResource();
        return 0;
    }
    console::Form form;
    if (form.error() != 0 || !console::tokenAccepted(form.value("token"))) {
        console::refuseRequest(out);
        freeResource();
        return 0;
    }
    std::ostringstream cookies;
    OutputStreamConverter cookieOut(out.getCharEncoding(), &cookies);
    ShowResetCookeHeader(cookieOut);
    cookieOut.flush();
    console::writeAudit(console::kAuditLogOff, console::administrator().c_str(), true);

    console::writeHeaders(out, 200, {}, cookies.str());
    out << "\r\n<!DOCTYPE html>\n<html lang=\"" << console::languageTag() << "\">\n<head>\n"
        << "<meta charset=\"" << OutputStreamConverter::getCharEncodingName(out.getCharEncoding())
        << "\">\n<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        << "<title>" << console::text(console::kHomeTitle).c_str() << "</title>\n"
        << "<link rel=\"stylesheet\" href=\"../html/console.css\">\n</head>\n<body>\n"
        << "<main class=\"message\">\n<h1>" << console::text(console::kHomeTitle).c_str()
        << "</h1>\n<p id=\"logged-off\">" << console::text(console::kLoggedOut).c_str()
        << "</p>\n<p><a id=\"login\" href=\"login.cgi\">"
        << console::text(console::kLoginButton).c_str() << "</a></p>\n</main>\n<footer>\n";
    showCopyright(out, 0);
    out << "</footer>\n</body>\n</html>\n";
    out.flush();
    freeResource();
    return 0;
}
