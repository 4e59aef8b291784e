// Connection test: fetches a page from an HTTP server the way the server's own components do,
// through the HTTP loader (httpAccess), directly or through an HTTP proxy with Basic
// authentication, and shows the outcome in the resource library's words, the size of the body
// and its start.
//
// The test is a POST with the session's form token, like every request that makes the server
// act. The proxy's password goes from the form to httpAccess and nowhere else: it is never
// stored, traced or logged (the library traces host and port only), never written back into
// the form, and its copies are wiped once the fetch is done. What the form and the response
// hold reaches the page through console/lib/connection_test.h, which turns any byte into ASCII
// markup.
//
// The body's size is what httpAccess hands over: the body up to its first NUL byte.
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "connection_test.h"
#include "connection_texts.h"
#include "frame.h"

namespace {

using console::text;

constexpr char kProgram[] = "connection.cgi";

std::string filled(std::string message, const char* mark, const std::string& value) {
    std::string::size_type at = message.find(mark);
    if (at != std::string::npos)
        message.replace(at, std::char_traits<char>::length(mark), value);
    return message;
}

// A copy of a secret that is wiped when it goes.
class Secret {
  public:
    explicit Secret(const std::string& value) : value_(value) {}
    ~Secret() { ::explicit_bzero(value_.data(), value_.size()); }
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    char* data() { return value_.data(); }

  private:
    std::string value_;
};

struct Outcome {
    int result = 0;
    size_t size = 0;
    std::string preview;  // markup
    bool cut = false;
};

Outcome fetch(console::ConnectionRequest& request) {
    std::string host = request.host, path = request.path, proxyHost = request.proxyHost;
    std::string user = request.useProxy ? request.user : std::string();
    Secret password(request.useProxy ? request.password : std::string());
    ::explicit_bzero(request.password.data(), request.password.size());
    request.password.clear();
    char* body = nullptr;
    Outcome outcome;
    outcome.result = httpAccess(host.data(), request.port, path.data(), request.useProxy ? 1 : 0,
                                proxyHost.data(), request.proxyPort, user.data(), password.data(),
                                0, body, request.useProxy && !user.empty() ? 1 : 0);
    if (body != nullptr) {
        outcome.size = std::strlen(body);
        outcome.preview = console::previewHtml(std::string_view(body, outcome.size),
                                               console::kPreviewLimit, &outcome.cut);
        httpAccess_free(body);
    }
    return outcome;
}

void field(OutputStreamConverter& out, const char* name, int label, const std::string& value,
           const char* type = "text", const char* extra = "") {
    out << "<p><label for=\"" << name << "\">" << text(label).c_str() << "</label> <input type=\""
        << type << "\" id=\"" << name << "\" name=\"" << name << "\" value=\""
        << console::asciiHtml(value).c_str() << "\"" << extra << "></p>\n";
}

std::string portText(int port, const char* sent, bool posted) {
    return posted ? std::string(sent) : std::to_string(port);
}

void form(OutputStreamConverter& out, const console::Page& page,
          const console::ConnectionRequest& request) {
    bool posted = page.isPost();
    out << "<form method=\"POST\" action=\"" << kProgram
        << "\" id=\"connection-form\" accept-charset=\"UTF-8\" autocomplete=\"off\">\n"
        << page.tokenField().c_str() << "\n<fieldset><legend>"
        << text(console::kServerLegend).c_str() << "</legend>\n";
    field(out, "host", console::kHostLabel, request.host, "text", " size=\"30\" required");
    field(out, "port", console::kPortLabel,
          portText(request.port, page.form().value("port"), posted), "text",
          " inputmode=\"numeric\" size=\"6\" required");
    field(out, "path", console::kPathLabel, request.path, "text", " size=\"40\"");
    out << "</fieldset>\n<fieldset><legend>" << text(console::kProxyLegend).c_str()
        << "</legend>\n<p><label><input type=\"checkbox\" id=\"proxy\" name=\"proxy\" value=\"1\""
        << (request.useProxy ? " checked" : "") << "> " << text(console::kUseProxy).c_str()
        << "</label></p>\n";
    field(out, "proxy-host", console::kProxyHostLabel, request.proxyHost);
    field(out, "proxy-port", console::kProxyPortLabel,
          portText(request.proxyPort, page.form().value("proxy-port"), posted), "text",
          " inputmode=\"numeric\" size=\"6\"");
    field(out, "proxy-user", console::kProxyUserLabel, request.user);
    // The password is never written back: the field is empty on every answer.
    field(out, "proxy-password", console::kProxyPasswordLabel, std::string(), "password",
          " autocomplete=\"new-password\"");
    out << "<p class=\"note\">" << text(console::kProxyPasswordHint).c_str()
        << "</p>\n</fieldset>\n"
        << "<p><button type=\"submit\" id=\"test\">" << text(console::kTestButton).c_str()
        << "</button></p>\n</form>\n";
}

void item(OutputStreamConverter& out, const char* id, int label, const std::string& html,
          const std::string& attributes = {}) {
    out << "<dt>" << text(label).c_str() << "</dt><dd id=\"" << id << "\"" << attributes.c_str()
        << ">" << html.c_str() << "</dd>\n";
}

void result(OutputStreamConverter& out, const console::ConnectionRequest& request,
            const Outcome& outcome) {
    std::string target =
        "http://" + request.host + ":" + std::to_string(request.port) + request.path;
    std::string route = request.useProxy
                            ? filled(text(console::kThroughProxy), "%s",
                                     "<code>" +
                                         console::asciiHtml(request.proxyHost + ":" +
                                                            std::to_string(request.proxyPort)) +
                                         "</code>")
                            : text(console::kDirectly);
    std::string outcomeText =
        filled(text(console::outcomeText(outcome.result)), "%d", std::to_string(outcome.result));
    out << "<section class=\"panel\" id=\"result\">\n<h2>" << text(console::kResultHeading).c_str()
        << "</h2>\n<dl class=\"status\">\n";
    item(out, "tested", console::kTestedLabel,
         "<code>" + console::asciiHtml(target) + "</code> " + route);
    item(out, "outcome", console::kOutcomeLabel,
         std::string("<span class=\"") + (outcome.result == 1 ? "ok" : "bad") + "\">" +
             outcomeText + "</span>",
         " data-result=\"" + std::to_string(outcome.result) + "\"");
    if (outcome.result == 1)
        item(out, "body-size", console::kBodySizeLabel,
             filled(text(console::kBytes), "%s", std::to_string(outcome.size)));
    out << "</dl>\n";
    if (outcome.result == 1) {
        out << "<h3>" << text(console::kBodyLabel).c_str() << "</h3>\n";
        if (outcome.size == 0)
            out << "<p class=\"empty\" id=\"body-empty\">" << text(console::kBodyEmpty).c_str()
                << "</p>\n";
        else
            out << "<pre id=\"body\" class=\"body\">" << outcome.preview.c_str() << "</pre>\n";
        if (outcome.cut)
            out << "<p class=\"note\" id=\"body-cut\">"
                << filled(text(console::kBodyCut), "%d", std::to_string(console::kPreviewLimit))
                       .c_str()
                << "</p>\n";
    }
    out << "</section>\n";
}

}  // namespace

int main() {
    console::Page page(console::kConnectionTitle);
    if (!page.admitted())
        return page.finish();
    OutputStreamConverter& out = page.body();
    console::ConnectionRequest request;
    if (page.isPost()) {
        const console::Form& values = page.form();
        int fault = console::readConnectionForm(
            [&values](const char* name) { return values.value(name); }, &request);
        if (fault != 0) {
            ::explicit_bzero(request.password.data(), request.password.size());
            out << "<p id=\"message\" class=\"notice error\" role=\"alert\">" << text(fault).c_str()
                << "</p>\n";
            form(out, page, request);
            return page.finish();
        }
        Outcome outcome = fetch(request);
        result(out, request, outcome);
    }
    form(out, page, request);
    return page.finish();
}
