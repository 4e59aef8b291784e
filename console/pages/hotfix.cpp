// Hot fix: an administrator uploads a new pattern, cleaner or spyware file; the page checks
// it, puts it where the server keeps that component's source and has the library rebuild the
// component's download package (rebuildPtnZip), so agents are offered it at their next update.
//
// The upload is a POST of one file field (the library's multipart reader keeps the first part
// alone) whose name is the session's form token (console/lib/frame.h). What happens to it:
//   1. received: the reader stored it in the home's TEMP directory;
//   2. its name must name the source of a kind (console/lib/hotfix_kinds.h: "sig$vpf.NNN",
//      "QXC.exe", ..., without regard to case); any other name is refused;
//   3. it moves, by rename, into a directory of its own under TEMP, under the kind's spelling,
//      where the kind's reader checks it (console/lib/hotfix_check.h); a file the reader
//      refuses goes no further. A generation older than the newest one on the server is
//      refused too: the rebuild packs the newest, so it would change nothing but leave a file.
//      A fixed file (the cleaner and its patterns, the spyware engine's pattern) replaces the
//      server's whatever its version: that is how one goes back to an earlier one;
//   4. placed: renamed over its place in the home (Admin/ for the cleaner and its patterns),
//      with the mode of the file it replaces (0644 for a new one). TEMP is below the home, so
//      the rename never copies, and a reader of the place sees the old file or the new one;
//   5. rebuilding: rebuildPtnZip for the kind, which waits while another rebuild runs;
//   6. the result: rebuilt (with the version's display text), the same version as the package
//      already holds, or failed (the trace, prefix "Hotfix>", tells why).
// Whatever is refused places nothing: the upload is removed with its directory. Each stage's
// line is sent as it passes (Page::flush; lighttpd streams a page's output), so a slow rebuild
// shows where it is. Every upload is audited ("hot fix"), a success when a file was placed.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include "audit.h"
#include "connection_test.h"
#include "frame.h"
#include "hotfix_check.h"
#include "hotfix_kinds.h"
#include "hotfix_texts.h"
#include "spyware_view.h"

namespace {

using console::text;

constexpr char kProgram[] = "hotfix.cgi";

// `message` with its "%s" marks replaced by `values` in order; a value is never searched for
// marks itself (an uploaded name may hold "%s").
std::string filled(std::string message, std::initializer_list<std::string> values) {
    std::string::size_type from = 0;
    for (const std::string& value : values) {
        std::string::size_type at = message.find("%s", from);
        if (at == std::string::npos)
            break;
        message.replace(at, 2, value);
        from = at + value.size();
    }
    return message;
}

std::string homeDirectory() {
    std::vector<char> home(4096, '\0');
    std::string path = getHomeDir(home.data(), home.size()) != 0 ? home.data() : "";
    if (!path.empty() && path.back() != '/')
        path += '/';
    return path;
}

std::string codeHtml(const std::string& bytes) {
    return "<code>" + console::htmlFromBytes(bytes) + "</code>";
}

// A directory of its own under TEMP for the upload while it is checked; removed with whatever
// is still in it.
class Scratch {
  public:
    explicit Scratch(const std::string& temp) {
        std::string pattern = temp + "/hotfix-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr)
            path_ = pattern;
    }
    ~Scratch() {
        if (path_.empty())
            return;
        if (!file_.empty())
            ::unlink((path_ + "/" + file_).c_str());
        ::rmdir(path_.c_str());
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    // Moves `from` in as `name`.
    bool take(const std::string& from, const std::string& name) {
        if (::rename(from.c_str(), (path_ + "/" + name).c_str()) != 0)
            return false;
        file_ = name;
        return true;
    }
    // Moves the file out to `to`, with mode `mode`.
    bool place(const std::string& to, mode_t mode) {
        std::string from = path_ + "/" + file_;
        if (::chmod(from.c_str(), mode) != 0 || ::rename(from.c_str(), to.c_str()) != 0)
            return false;
        file_.clear();
        return true;
    }

  private:
    std::string path_;
    std::string file_;
};

class Upload {
  public:
    Upload(console::Page& page, std::string home) : page_(page), home_(std::move(home)) {}

    // Runs the stages; true when a file was placed.
    bool run();

  private:
    void stage(const char* name, const std::string& html) {
        page_.body() << "<li id=\"stage-" << name << "\" data-stage=\"" << name << "\">"
                     << html.c_str() << "</li>\n";
        page_.flush();
    }
    void result(const char* kind, bool ok, const std::string& html) {
        page_.body() << "</ol>\n<p id=\"result\" class=\"notice " << (ok ? "ok" : "error")
                     << "\" role=\"" << (ok ? "status" : "alert") << "\" data-result=\"" << kind
                     << "\">" << html.c_str() << "</p>\n";
        if (ok)
            page_.body() << "<p><a href=\"components.cgi#packages\" id=\"show-packages\">"
                         << text(console::kShowPackages).c_str() << "</a></p>\n";
        page_.body() << "</section>\n";
        page_.flush();
    }
    bool refuse(int message, const std::string& value = {}, const std::string& second = {}) {
        std::string html = filled(text(message), {value, second});
        result("refused", false, html);
        return false;
    }

    console::Page& page_;
    std::string home_;
};

bool Upload::run() {
    const console::Form& form = page_.form();
    std::string stored = form.value("TempFileName");
    std::string sent = form.value("filename");
    // Browsers of old sent the whole path on the client; the file's name is its last part.
    std::string::size_type slash = sent.find_last_of("/\\");
    std::string name = slash == std::string::npos ? sent : sent.substr(slash + 1);
    std::string nameHtml = "<code>" + console::asciiHtml(name) + "</code>";

    page_.body() << "<section class=\"panel\" id=\"stages\">\n<h2>"
                 << text(console::kStagesHeading).c_str() << "</h2>\n<ol id=\"stage-list\">\n";
    if (stored.empty() || name.empty() || home_.empty())
        return refuse(console::kNoUpload);
    stage("received", filled(text(console::kStageReceived),
                             {nameHtml, console::asciiHtml(form.value("NewFileSize"))}));

    std::string placedName;
    const console::HotfixKind* kind = console::kindOfName(name, &placedName);
    if (kind == nullptr)
        return refuse(console::kForeignName, nameHtml);
    std::string kindName = text(kind->nameText);
    std::string manifest = console::manifestPath(home_);
    struct stat st {};
    if (::stat(manifest.c_str(), &st) != 0)
        return refuse(console::kNoManifestHere, codeHtml(manifest));

    std::string temp = stored.substr(0, stored.rfind('/'));
    Scratch scratch(temp);
    if (!scratch.ok() || !scratch.take(stored, placedName))
        return refuse(console::kNotPlaced);
    stage("checking", text(console::kStageChecking));
    console::HotfixCheck check = console::checkHotfixFile(*kind, scratch.path(), placedName, home_);
    if (check.verdict == console::HotfixCheck::Verdict::Unavailable)
        return refuse(console::kCheckUnavailable, kindName);
    if (check.verdict == console::HotfixCheck::Verdict::Invalid)
        return refuse(console::kNotValid, nameHtml, kindName);
    std::string versionHtml =
        "<span class=\"version\">" + console::asciiHtml(check.version) + "</span>";
    stage("checked", filled(text(console::kStageChecked), {kindName, versionHtml}));
    if (kind->stem != nullptr) {
        std::string newestName;
        uint32_t newest = console::newestGeneration(*kind, home_, &newestName);
        if (check.number < newest)
            return refuse(console::kOlderThanServer, nameHtml, codeHtml(newestName));
    }

    std::string relative =
        *kind->directory != '\0' ? std::string(kind->directory) + "/" + placedName : placedName;
    std::string target = console::homePath(home_, relative);
    mode_t mode =
        ::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? st.st_mode & 0777 : 0644;
    if (!scratch.place(target, mode))
        return refuse(console::kNotPlaced);
    stage("placed", filled(text(console::kStagePlaced), {codeHtml(target)}));

    stage("rebuilding", text(console::kStageRebuilding));
    char version[256] = {};
    int rebuilt = rebuildPtnZip(kind->kind, version, sizeof version);
    std::string shown = version[0] != '\0' ? version : check.version;
    std::string shownHtml = "<span class=\"version\">" + console::asciiHtml(shown) + "</span>";
    if (rebuilt == 1) {
        result("rebuilt", true, filled(text(console::kRebuilt), {shownHtml}));
        return true;
    }
    // Nothing rebuilt: the package holds this version already when the manifest says so, and
    // the rebuild failed otherwise.
    std::string expected =
        kind->kind == 2 ? std::string(version) : console::manifestNumber(*kind, check.version);
    std::string announced = console::manifestVersion(manifest, *kind);
    if (!expected.empty() && announced == expected)
        result("same", true, filled(text(console::kSameVersion), {shownHtml}));
    else
        result("failed", false, text(console::kRebuildFailed));
    return true;
}

void uploadForm(OutputStreamConverter& out, const console::Page& page) {
    out << "<section class=\"panel\" id=\"upload\">\n<h2>" << text(console::kUploadHeading).c_str()
        << "</h2>\n<form method=\"POST\" action=\"" << kProgram
        << "\" id=\"hotfix-form\" enctype=\"multipart/form-data\" accept-charset=\"UTF-8\">\n"
        << "<p><label for=\"hotfix-file\">" << text(console::kFileLabel).c_str()
        << "</label> <input type=\"file\" id=\"hotfix-file\" name=\"" << page.token().c_str()
        << "\" required></p>\n<p><button type=\"submit\" id=\"upload-button\">"
        << text(console::kUploadButton).c_str() << "</button> <span class=\"note\">"
        << text(console::kUploadHint).c_str() << "</span></p>\n</form>\n</section>\n";
}

void acceptedNames(OutputStreamConverter& out) {
    out << "<section class=\"panel\" id=\"accepted\">\n<h2>"
        << text(console::kAcceptedHeading).c_str()
        << "</h2>\n<div class=\"scroll\"><table id=\"accepted-list\">\n<thead><tr>";
    for (int column :
         {console::kColumnHotfixComponent, console::kColumnFileName, console::kColumnPackage})
        out << "<th scope=\"col\">" << text(column).c_str() << "</th>";
    out << "</tr></thead>\n<tbody>\n";
    for (const console::HotfixKind& kind : console::hotfixKinds()) {
        out << "<tr data-kind=\"" << kind.kind << "\"><th scope=\"row\">"
            << text(kind.nameText).c_str() << "</th><td><code>"
            << console::asciiHtml(console::sourceLabel(kind)).c_str() << "</code></td><td><code>"
            << kind.packageDirectory << "/" << kind.package << "</code></td></tr>\n";
    }
    out << "</tbody>\n</table></div>\n<p class=\"note\">" << text(console::kNamesHint).c_str()
        << "</p>\n</section>\n";
}

}  // namespace

int main() {
    console::Page page(console::kHotfixTitle, nullptr, true);
    if (!page.admitted())
        return page.finish();
    if (page.isPost()) {
        Upload upload(page, homeDirectory());
        bool placed = upload.run();
        console::writeAudit(console::kAuditHotfix, console::administrator().c_str(), placed);
    }
    uploadForm(page.body(), page);
    acceptedNames(page.body());
    return page.finish();
}
