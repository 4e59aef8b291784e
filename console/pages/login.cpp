// The log-on page: GET shows the form, POST checks the administrator's password and starts a
// session (its cookies go out with the redirect to the home page).
//
// A POST is taken only from the console's own pages (its Origin or Referer, security.h); a
// log-on form posted from another site gets the 403 page. Failed attempts are counted per user
// name (throttle.h): once a name has failed kFreeFailures times in a row, its next attempt
// waits before the password is checked. Every attempt that was checked goes to the audit log.
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>

#include "audit.h"
#include "page.h"
#include "security.h"
#include "settings_texts.h"
#include "throttle.h"

namespace {

// The name to show again in the form: what the browser sent when it is plain printable ASCII
// (the form's text needs no conversion then), otherwise the usual default.
std::string shownUser(std::string_view sent) {
    for (char c : sent) {
        if (c < 0x20 || c > 0x7E)
            return "admin";
    }
    return sent.empty() ? "admin" : std::string(sent);
}

void showForm(OutputStreamConverter& out, int notice, bool delayed = false,
              std::string_view user = {}) {
    console::writeHeaders(out);
    std::string title = console::text(console::kLoginTitle);
    out << "\r\n<!DOCTYPE html>\n<html lang=\"" << console::languageTag() << "\">\n<head>\n"
        << "<meta charset=\"" << OutputStreamConverter::getCharEncodingName(out.getCharEncoding())
        << "\">\n<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        << "<title>" << title.c_str() << "</title>\n"
        << "<link rel=\"stylesheet\" href=\"../html/console.css\">\n"
        << "</head>\n<body>\n<main class=\"message\">\n<h1>" << title.c_str() << "</h1>\n";
    if (notice != 0) {
        out << "<p class=\"notice\" id=\"notice\" role=\"alert\">" << console::text(notice).c_str()
            << "</p>\n";
    }
    if (delayed) {
        out << "<p class=\"notice\" id=\"delayed\">"
            << console::text(console::kLogOnsDelayed).c_str() << "</p>\n";
    }
    std::string name = console::htmlEscape(shownUser(user).c_str());
    out << "<form method=\"POST\" action=\"login.cgi\" id=\"login\" accept-charset=\"UTF-8\">\n"
        << "<p><label for=\"logon-user\">" << console::text(console::kUserLabel).c_str()
        << "</label> <input type=\"text\" id=\"logon-user\" name=\"user\" value=\"" << name.c_str()
        << "\" autocomplete=\"username\" required></p>\n"
        << "<p><label for=\"logon-password\">" << console::text(console::kPasswordLabel).c_str()
        << "</label> <input type=\"password\" id=\"logon-password\" name=\"password\" "
           "autocomplete=\"current-password\" autofocus></p>\n"
        << "<p><button type=\"submit\">" << console::text(console::kLoginButton).c_str()
        << "</button></p>\n</form>\n</main>\n<footer>\n";
    showCopyright(out, 0);
    out << "</footer>\n</body>\n</html>\n";
    out.flush();
}

void logOn(OutputStreamConverter& out) {
    // The log-on page takes no file: an upload sent here is refused unread.
    console::Form form;
    if (form.error() != 0) {
        showForm(out, form.error());
        return;
    }
    const char* user = form.value("user");
    // The wait comes before the check and is the same for every name: a name that is not the
    // administrator's fails after the same time, and checkAdministrator hashes the password
    // whichever name was given.
    console::waitLogonDelay(user);
    if (!console::checkAdministrator(user, form.value("password"))) {
        console::recordLogonFailure(user);
        console::writeAudit(console::kAuditLogOnFailed, user, false);
        showForm(out, console::kLoginFailed, console::logonFailures(user) >= console::kFreeFailures,
                 user);
        return;
    }
    console::clearLogonFailures(user);
    console::writeAudit(console::kAuditLogOn, user, true);

    std::ostringstream cookies;
    OutputStreamConverter cookieOut(out.getCharEncoding(), &cookies);
    ShowSetCookeHeader(cookieOut);
    cookieOut.flush();
    console::writeHeaders(out, 303, {}, "Location: home.cgi\r\n" + cookies.str());
    out << "\r\n<!DOCTYPE html>\n<a href=\"home.cgi\">"
        << console::text(console::kHomeTitle).c_str() << "</a>\n";
    out.flush();
}

}  // namespace

int main() {
    loadResource();
    OutputStreamConverter out(console::pageEncoding(), &std::cout);
    const char* method = std::getenv("REQUEST_METHOD");
    if (method != nullptr && std::strcmp(method, "POST") == 0) {
        if (console::fromConsole())
            logOn(out);
        else
            console::refuseRequest(out);
    } else {
        showForm(out, CookieExist() ? console::kSessionTimedOut : 0);
    }
    std::cout.flush();
    freeResource();
    return 0;
}
