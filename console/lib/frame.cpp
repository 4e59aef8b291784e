#include "frame.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>

#include "audit.h"
#include "components_texts.h"
#include "connection_texts.h"
#include "hotfix_texts.h"
#include "log_texts.h"
#include "patterns_texts.h"
#include "security.h"
#include "serverinfo_texts.h"
#include "settings_texts.h"
#include "spyware_texts.h"

namespace console {

namespace {

// The menu: one entry per page, shown in the order of their places when the page's program is
// installed beside the running one.
constexpr MenuEntry kMenu[] = {
    {kMenuHome, "home.cgi", 10},
    {kLogsTitle, "logs.cgi", 20},
    {kUpdateLogTitle, "updatelog.cgi", 30},
    {kServerInfoTitle, "serverinfo.cgi", 40},
    {kPatternsTitle, "patterns.cgi", 50},
    {kComponentsTitle, "components.cgi", 60},
    {kSpywareTitle, "spyware.cgi", 70},
    {kHotfixTitle, "hotfix.cgi", 75},
    {kConnectionTitle, "connection.cgi", 80},
    {kSettingsTitle, "settings.cgi", 90},
};

// Loads the resource library before the body's converter needs the page encoding.
CharEncoding loadResources() {
    loadResource();
    return pageEncoding();
}

// The directory of the running program, with its '/'.
std::string programDirectory() {
    char path[4096];
    ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return {};
    std::string directory(path, static_cast<size_t>(length));
    return directory.substr(0, directory.rfind('/') + 1);
}

std::string currentProgram() {
    const char* script = std::getenv("SCRIPT_NAME");
    if (script == nullptr)
        return {};
    const char* slash = std::strrchr(script, '/');
    return slash != nullptr ? slash + 1 : script;
}

// Writes bytes that are already in the page's encoding.
void writeRaw(OutputStreamConverter& out, const std::string& bytes) {
    out.flush();
    std::cout << bytes;
}

}  // namespace

std::vector<MenuEntry> installedPages() {
    std::vector<MenuEntry> entries;
    std::string directory = programDirectory();
    for (const MenuEntry& entry : kMenu) {
        struct stat st {};
        if (directory.empty() || ::stat((directory + entry.program).c_str(), &st) == 0)
            entries.push_back(entry);
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const MenuEntry& a, const MenuEntry& b) { return a.place < b.place; });
    return entries;
}

std::string administrator() {
    char section[] = "INI_CONSOLE_SECTION";
    char key[] = "Admin_User";
    char fallback[] = "admin";
    char value[256] = {};
    getINIString(value, section, key, fallback, sizeof value, nullptr);
    return value;
}

Page::Page(int titleId, const char* helpKey, bool takesUploads)
    : titleId_(titleId), helpKey_(helpKey), body_(loadResources(), &buffer_) {
    const char* method = std::getenv("REQUEST_METHOD");
    post_ = method != nullptr && std::strcmp(method, "POST") == 0;
    form_ = std::make_unique<Form>(takesUploads);

    std::ostringstream session;
    OutputStreamConverter sessionOut(body_.getCharEncoding(), &session);
    bool verified = VerifyLoginCookie(sessionOut);
    sessionOut.flush();
    sessionHtml_ = session.str();
    if (!verified) {
        // Only a browser that held a session is worth a record; a bare request is not one.
        if (!cookieValue("session").empty())
            writeAudit(kAuditTimedOut, administrator().c_str(), false);
        return;
    }
    token_ = formToken(cookieValue("key"));
    if (post_) {
        // An upload (the reader names the file it stored) carries the token as its field's name.
        const char* sent = form_->value("token");
        if (takesUploads && *sent == '\0' && *form_->value("TempFileName") != '\0')
            sent = form_->value("name");
        if (form_->error() != 0) {
            // The form could not be read, so it changes nothing; the page shows why.
            post_ = false;
        } else if (!tokenAccepted(sent)) {
            status_ = 403;
            return;
        }
    }
    admitted_ = true;
}

Page::~Page() = default;

std::string Page::tokenField() const {
    return "<input type=\"hidden\" name=\"token\" value=\"" + token_ + "\">";
}

std::ostream& Page::download(const char* contentType, const char* fileName) {
    downloading_ = true;
    OutputStreamConverter out(body_.getCharEncoding(), &std::cout);
    std::string name;
    for (const char* p = fileName; *p != '\0'; ++p) {
        if (*p != '"' && *p != '\\' && static_cast<unsigned char>(*p) >= 0x20)
            name += *p;
    }
    out << "Content-Type: " << contentType << "\r\n"
        << "Content-Disposition: attachment; filename=\"" << name.c_str() << "\"\r\n"
        << "Cache-Control: no-store\r\n"
        << "Content-Security-Policy: default-src 'none'; frame-ancestors 'none'\r\n"
        << "X-Content-Type-Options: nosniff\r\n"
        << "Referrer-Policy: same-origin\r\n\r\n";
    out.flush();
    return std::cout;
}

void Page::writeTop(OutputStreamConverter& out) {
    started_ = true;
    std::string help;
    if (helpKey_ != nullptr) {
        std::ostringstream captured;
        OutputStreamConverter helpOut(body_.getCharEncoding(), &captured);
        std::string key = helpKey_;
        getHelpFile(helpOut, key.data());
        helpOut.flush();
        help = captured.str();
    }
    std::vector<std::string> scripts = inlineScripts(sessionHtml_);
    for (std::string& script : inlineScripts(help))
        scripts.push_back(std::move(script));

    writeHeaders(out, 200, scripts, extraHeaders_);
    std::string title = text(titleId_);
    std::string charset = OutputStreamConverter::getCharEncodingName(out.getCharEncoding());
    out << "\r\n<!DOCTYPE html>\n<html lang=\"" << languageTag() << "\">\n<head>\n"
        << "<meta charset=\"" << charset.c_str() << "\">\n"
        << "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        << "<title>" << title.c_str() << " - " << text(kHomeTitle).c_str() << "</title>\n"
        << "<link rel=\"stylesheet\" href=\"../html/console.css\">\n"
        << "<script src=\"../html/console.js\" defer></script>\n";
    writeRaw(out, sessionHtml_);
    writeRaw(out, help);

    out << "</head>\n<body>\n<a class=\"skip\" href=\"#content\">" << text(kSkipToContent).c_str()
        << "</a>\n<header class=\"top\">\n<a class=\"product\" href=\"home.cgi\">"
        << text(kHomeTitle).c_str() << "</a>\n<div class=\"session\"><span>"
        << text(kSignedInAs).c_str() << " <strong id=\"user\">"
        << htmlEscape(administrator().c_str()).c_str() << "</strong></span>\n"
        << "<form method=\"POST\" action=\"logout.cgi\" id=\"logout-form\">" << tokenField().c_str()
        << "<button type=\"submit\" id=\"logout\">" << text(kLogoutLink).c_str()
        << "</button></form></div>\n</header>\n";

    std::vector<MenuEntry> entries = installedPages();
    std::string current = currentProgram();
    out << "<nav class=\"menu\" aria-label=\"" << text(kMainMenu).c_str() << "\">\n<ul>\n";
    for (const MenuEntry& entry : entries) {
        out << "<li><a href=\"" << entry.program << "\""
            << (current == entry.program ? " aria-current=\"page\"" : "") << ">"
            << text(entry.titleId).c_str() << "</a></li>\n";
    }
    out << "</ul>\n</nav>\n<main id=\"content\">\n<div class=\"title\"><h1>" << title.c_str()
        << "</h1>";
    if (helpKey_ != nullptr) {
        out << "<button type=\"button\" id=\"help\" class=\"help\">" << text(kHelpLink).c_str()
            << "</button>";
    }
    out << "</div>\n";
    if (form_->error() != 0)
        out << "<p class=\"notice error\" id=\"notice\">" << text(form_->error()).c_str()
            << "</p>\n";
}

void Page::writeBody(OutputStreamConverter& out) {
    body_.flush();
    writeRaw(out, buffer_.str());
    buffer_.str(std::string());
    buffer_.clear();
}

void Page::flush() {
    if (!admitted_ || downloading_ || status_ != 200)
        return;
    OutputStreamConverter out(body_.getCharEncoding(), &std::cout);
    if (!started_)
        writeTop(out);
    writeBody(out);
    out.flush();
    std::cout.flush();
}

int Page::finish() {
    if (downloading_) {
        std::cout.flush();
        freeResource();
        return 0;
    }
    OutputStreamConverter out(body_.getCharEncoding(), &std::cout);
    if (status_ == 403) {
        refuseRequest(out);
        std::cout.flush();
        freeResource();
        return 0;
    }
    if (!admitted_) {
        // The time-out page, as the session code wrote it.
        writeHeaders(out, 200, inlineScripts(sessionHtml_));
        out << "\r\n";
        writeRaw(out, sessionHtml_);
        std::cout.flush();
        freeResource();
        return 0;
    }
    if (!started_)
        writeTop(out);
    writeBody(out);
    out << "</main>\n<footer>\n";
    showCopyright(out, 0);
    out << "</footer>\n</body>\n</html>\n";
    out.flush();
    std::cout.flush();
    freeResource();
    return 0;
}

}  // namespace console
