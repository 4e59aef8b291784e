// The frame every page behind the log-on is drawn in: the header with the product's name and
// the administrator's session, the menu, the page's body, the copyright footer.
//
// A page joins the menu by one entry in kMenu (frame.cpp): its title's resource number, its
// program and its place. Only pages whose program is installed beside the running one are
// shown, so a console without a component's pages simply lacks their entries.
//
// A page is written like this:
//
//   int main() {
//       console::Page page(console::kLogsTitle, "logs");
//       if (!page.admitted())
//           return page.finish();          // time-out page or 403, already decided
//       if (page.isPost()) { ...change something, it was checked... }
//       page.body() << "<p>...</p>";      // HTML inside the frame
//       return page.finish();
//   }
//
// What Page does before the page sees the request:
//   - loads the resource library and reads the form once (console::Form: UTF-8 only, no
//     uploads unless asked);
//   - verifies the session (VerifyLoginCookie); a refused session gets the time-out page and
//     an audit record;
//   - for a POST, checks the form token and the origin (security.h); a forged POST gets the
//     403 page and the page's code never runs on it. An upload's form is one file field (the
//     multipart reader keeps the first part alone, and everything after its headers is the
//     file), so it carries the token as the field's name: <input type="file" name="TOKEN">.
// The body is collected in memory; finish() writes the header lines (with the CSP hashes of
// the library's inline scripts) and then the whole page, in the page's encoding. A page whose
// work takes a while calls flush() to send what it has written so far: the first call sends
// the header lines and the frame down to the page's body, each later one the body written
// since (the web server passes a page's output on as it comes), and finish() the rest.
#pragma once

#include <cgishare/cgishare.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "page.h"

namespace console {

struct MenuEntry {
    int titleId;          // resource number of the page's title
    const char* program;  // e.g. "logs.cgi"
    int place;            // order in the menu, smallest first
};

// The menu's pages installed beside the running program, in their places.
std::vector<MenuEntry> installedPages();

// The administrator's user name ([INI_CONSOLE_SECTION] Admin_User, "admin" by default).
std::string administrator();

class Page {
  public:
    // `helpKey`: the key of the page's help file in [INI_HELP_FILE_SECTION], or null for no
    // help link. `takesUploads`: the page's form may carry a file.
    explicit Page(int titleId, const char* helpKey = nullptr, bool takesUploads = false);
    ~Page();
    Page(const Page&) = delete;
    Page& operator=(const Page&) = delete;

    // False when the request was answered already (time-out page, 403): call finish() and
    // stop.
    bool admitted() const { return admitted_; }
    bool isPost() const { return post_; }
    const Form& form() const { return *form_; }
    // The value of the hidden field "token" for the page's forms.
    const std::string& token() const { return token_; }
    // `<input type="hidden" name="token" value="...">`
    std::string tokenField() const;

    // The page's own HTML, written inside the frame.
    OutputStreamConverter& body() { return body_; }

    // A line for the page's header block, ending in CR LF (e.g. Content-Disposition).
    void addHeader(std::string line) { extraHeaders_ += line; }

    // Replaces the frame by a download: writes the header lines for `contentType` with
    // Content-Disposition naming `fileName`, and returns the stream for the file's bytes,
    // written as they are. finish() then only flushes.
    std::ostream& download(const char* contentType, const char* fileName);

    // Sends the response so far, as described above.
    void flush();

    // Writes the response; returns main's exit code.
    int finish();

  private:
    bool admitted_ = false;
    bool post_ = false;
    bool downloading_ = false;
    bool started_ = false;  // flush() has sent the header lines and the frame's top
    int titleId_;
    const char* helpKey_;
    std::unique_ptr<Form> form_;
    std::string token_;
    std::string extraHeaders_;
    std::string sessionHtml_;  // what VerifyLoginCookie wrote
    int status_ = 200;
    std::ostringstream buffer_;
    OutputStreamConverter body_;

    // Writes the header lines and the frame down to the page's body.
    void writeTop(OutputStreamConverter& out);
    // Writes what the body holds and empties it.
    void writeBody(OutputStreamConverter& out);
};

}  // namespace console
