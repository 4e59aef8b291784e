// The log-on page: GET shows the form, POST checks the administrator's password and starts a
// session (its cookies go out with the redirect to the home page).
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "page.h"

namespace {

void showForm(OutputStreamConverter& out, int notice) {
    console::writeContentType(out);
    out << "\r\n";
    out << "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\""
        << OutputStreamConverter::getCharEncodingName(out.getCharEncoding()) << "\">\n"
        << "<title>" << console::text(console::kLoginTitle).c_str() << "</title>\n"
        << "<link rel=\"stylesheet\" href=\"../html/Page.css\" type=\"text/css\">\n"
        << "</head>\n<body>\n"
        << "<h1>" << console::text(console::kLoginTitle).c_str() << "</h1>\n";
    if (notice != 0) {
        out << "<p class=\"notice\" id=\"notice\">" << console::text(notice).c_str() << "</p>\n";
    }
    out << "<form method=\"POST\" action=\"login.cgi\" id=\"login\" accept-charset=\"UTF-8\">\n"
        << "<p><label>" << console::text(console::kUserLabel).c_str()
        << " <input type=\"text\" name=\"user\" value=\"admin\" "
           "autocomplete=\"username\"></label></p>\n"
        << "<p><label>" << console::text(console::kPasswordLabel).c_str()
        << " <input type=\"password\" name=\"password\" "
           "autocomplete=\"current-password\"></label></p>\n"
        << "<p><input type=\"submit\" value=\"" << console::text(console::kLoginButton).c_str()
        << "\"></p>\n</form>\n";
    showCopyright(out, 0);
    out << "</body>\n</html>\n";
    out.flush();
}

}  // namespace

int main() {
    loadResource();
    OutputStreamConverter out(console::pageEncoding(), &std::cout);
    const char* method = std::getenv("REQUEST_METHOD");
    if (method != nullptr && std::strcmp(method, "POST") == 0) {
        // The log-on page takes no file: an upload sent here is refused unread.
        console::Form form;
        if (form.error() != 0) {
            showForm(out, form.error());
            freeResource();
            return 0;
        }
        if (!console::checkAdministrator(form.value("user"), form.value("password"))) {
            showForm(out, console::kLoginFailed);
            freeResource();
            return 0;
        }
        out << "Status: 303 See Other\r\n"
            << "Location: home.cgi\r\n";
        ShowSetCookeHeader(out);
        console::writeContentType(out);
        out << "\r\n<!DOCTYPE html>\n<a href=\"home.cgi\">"
            << console::text(console::kHomeTitle).c_str() << "</a>\n";
        out.flush();
        freeResource();
        return 0;
    }
    showForm(out, CookieExist() ? console::kSessionTimedOut : 0);
    freeResource();
    return 0;
}
