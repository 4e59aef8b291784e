// Components: the system cleaner in Admin (its version and special build, its appended
// signature, its publisher signature, whether the cleaner library accepts it), the versions of
// the cleaner and spyware-cleanup patterns, every other executable under Admin and download
// with the same checks, the trust roots the publisher check ends its chains in, and the
// packages agents are offered: per component of the hot-fix rebuild, the version the update
// manifest (download/server.ini) announces and the package's size and time, read afresh on every
// request so that a hot fix shows at once. Read only; "Check again" examines the files afresh.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "components_texts.h"
#include "frame.h"
#include "hotfix_kinds.h"
#include "hotfix_texts.h"
#include "spyware_view.h"

namespace {

using console::text;

constexpr char kProgram[] = "components.cgi";
constexpr char kCleaner[] = "QXC.EXE";
// The library's standard locale flags: the system locale, without user overrides.
constexpr int kStandardLocale = 129;
// The executables listed at most, and how deep the listing looks below Admin and download.
constexpr size_t kListedAtMost = 200;
constexpr int kDepth = 4;

std::string escaped(const std::string& raw) {
    return console::htmlEscape(raw.c_str());
}

// `message` with its printf-style conversion `mark` replaced by `value`.
std::string filled(std::string message, const char* mark, const std::string& value) {
    std::string::size_type at = message.find(mark);
    if (at != std::string::npos)
        message.replace(at, std::char_traits<char>::length(mark), value);
    return message;
}

std::string hex32(unsigned long value) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08lX", value & 0xFFFFFFFFul);
    return digits;
}

std::string homeDirectory() {
    char home[261] = {};
    std::string path = getHomeDir(home, sizeof home) != 0 ? home : "";
    if (!path.empty() && path.back() != '/')
        path += '/';
    return path;
}

std::string appendedText(int appended) {
    if (appended > 0)
        return "<span class=\"ok\">" + text(console::kAppendedValid) + "</span>";
    if (appended == 0)
        return "<span class=\"bad\">" + text(console::kAppendedInvalid) + "</span>";
    return "<span class=\"bad\">" + text(console::kAppendedUnreadable) + "</span>";
}

std::string publisherText(const ExecutableCheck& check) {
    std::string reason = text(console::kPublisherPassed + check.publisherResult);
    reason = filled(reason, "%08lX", hex32(static_cast<unsigned long>(check.trustResult)));
    return std::string("<span class=\"") + (check.publisher == 0 ? "ok" : "bad") + "\">" + reason +
           "</span>";
}

std::string versionText(const char* version) {
    if (*version == '\0')
        return "<span class=\"empty\">" + text(console::kNoVersion) + "</span>";
    return escaped(version);
}

void item(OutputStreamConverter& out, const char* id, int label, const std::string& html) {
    out << "<dt>" << text(label).c_str() << "</dt><dd id=\"" << id << "\">" << html.c_str()
        << "</dd>\n";
}

void cleaner(OutputStreamConverter& out, const std::string& home) {
    std::string admin = home + "Admin";
    std::string path = admin + "/" + kCleaner;
    ExecutableCheck check;
    checkExecutable(path.c_str(), &check);
    unsigned long library = checkCleanerExecutable(admin.c_str(), kCleaner);

    out << "<section class=\"panel\" id=\"cleaner\">\n<h2>"
        << text(console::kCleanerHeading).c_str() << "</h2>\n<dl class=\"status\">\n";
    item(out, "qxc-file", console::kItemFile, "<code>" + escaped(path) + "</code>");
    item(out, "qxc-version", console::kItemVersion, versionText(check.version));
    item(out, "qxc-special", console::kItemSpecialBuild, escaped(check.specialBuild));
    item(out, "qxc-appended", console::kItemAppended, appendedText(check.appendedSignature));
    item(out, "qxc-publisher", console::kItemPublisher, publisherText(check));
    item(out, "qxc-signer", console::kItemSigner, escaped(check.signer));
    item(out, "qxc-library", console::kItemLibrary,
         library == 0
             ? "<span class=\"ok\">" + text(console::kLibraryAccepts) + "</span>"
             : "<span class=\"bad\">" +
                   filled(text(console::kLibraryRefuses), "%08lX", hex32(library)) + "</span>");
    out << "</dl>\n</section>\n";
}

// The cleaner's two patterns: the file and its version as the file holds it, and the version
// the cleaner library reads (none while it refuses the cleaner).
void cleanerPatterns(OutputStreamConverter& out, const std::string& home) {
    out << "<section class=\"panel\" id=\"cleaner-patterns\">\n<h2>"
        << text(console::kCleanerPatternsHeading).c_str()
        << "</h2>\n<div class=\"scroll\"><table id=\"cleaner-pattern-list\">\n<thead><tr>";
    for (int column : {console::kColumnPattern, console::kItemFile, console::kItemVersion,
                       console::kItemLibrary})
        out << "<th scope=\"col\">" << text(column).c_str() << "</th>";
    out << "</tr></thead>\n<tbody>\n";
    const struct {
        const char* id;
        int label;
        const char* name;  // null: the name the cleaner's settings give
        int (*read)(unsigned long*);
    } patterns[] = {
        {"qxc-pattern", console::kCleanerPattern, nullptr, getQXCPattern},
        {"kpw-pattern", console::kSpywareCleanupPattern, "hladce.ptn", getKPWSpyPattern}};
    std::string admin = home + "Admin";
    const std::string none = "<span class=\"empty\">" + text(console::kPatternNotFound) + "</span>";
    for (const auto& pattern : patterns) {
        char path[4096] = {};
        unsigned long inFile = 0, read = 0;
        bool found =
            getCleanerPatternFile(admin.c_str(), pattern.name, path, sizeof path, &inFile) == 0;
        bool readByLibrary = pattern.read(&read) != 0;
        out << "<tr id=\"" << pattern.id << "\"><th scope=\"row\">" << text(pattern.label).c_str()
            << "</th><td class=\"file\"><code>" << escaped(path).c_str()
            << "</code></td><td class=\"version\">"
            << (found ? std::to_string(inFile) : none).c_str() << "</td><td class=\"library\">"
            << (readByLibrary ? std::to_string(read) : none).c_str() << "</td></tr>\n";
    }
    out << "</tbody>\n</table></div>\n</section>\n";
}

// Whether `path` is an executable image: it starts with the "MZ" of a DOS header.
bool isExecutable(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return false;
    char magic[2] = {};
    bool executable =
        ::pread(fd, magic, sizeof magic, 0) == 2 && magic[0] == 'M' && magic[1] == 'Z';
    ::close(fd);
    return executable;
}

// Whether two names are the same without regard to case, as the server's paths are matched.
bool sameName(const std::filesystem::path& path, const char* name) {
    return strcasecmp(path.filename().c_str(), name) == 0;
}

// The directories of the home directory named `name`.
std::vector<std::filesystem::path> homeDirectories(const std::string& home, const char* name) {
    namespace fs = std::filesystem;
    std::vector<fs::path> found;
    std::error_code error;
    for (fs::directory_iterator it(home, error), end; !error && it != end; it.increment(error)) {
        if (sameName(it->path(), name) && it->is_directory(error) && !it->is_symlink(error))
            found.push_back(it->path());
    }
    return found;
}

// Executables below the Admin and download directories of the home directory but the cleaner
// itself, relative to the home directory, in name order; symbolic links are not followed.
// `cut` tells whether more were found than are listed.
std::vector<std::string> otherExecutables(const std::string& home, bool* cut) {
    namespace fs = std::filesystem;
    std::vector<std::string> found;
    *cut = false;
    std::vector<fs::path> tops = homeDirectories(home, "Admin");
    for (const fs::path& top : homeDirectories(home, "download"))
        tops.push_back(top);
    for (const fs::path& top : tops) {
        std::error_code error;
        fs::recursive_directory_iterator it(top, fs::directory_options::none, error), end;
        for (; !error && it != end && !*cut; it.increment(error)) {
            if (it.depth() >= kDepth)
                it.disable_recursion_pending();
            if (!it->is_regular_file(error) || it->is_symlink(error) || !isExecutable(it->path()))
                continue;
            bool isCleaner =
                it.depth() == 0 && sameName(top, "Admin") && sameName(it->path(), kCleaner);
            if (isCleaner)
                continue;
            std::string file = it->path().string().substr(home.size());
            if (found.size() == kListedAtMost)
                *cut = true;
            else
                found.push_back(std::move(file));
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

void executables(OutputStreamConverter& out, const std::string& home) {
    out << "<section class=\"panel\" id=\"executables\">\n<h2>"
        << text(console::kExecutablesHeading).c_str() << "</h2>\n";
    bool cut = false;
    std::vector<std::string> files = otherExecutables(home, &cut);
    if (files.empty()) {
        out << "<p class=\"empty\" id=\"no-executables\">" << text(console::kNoExecutables).c_str()
            << "</p>\n</section>\n";
        return;
    }
    out << "<div class=\"scroll\"><table id=\"executable-list\">\n<thead><tr>";
    for (int column :
         {console::kColumnExecutable, console::kItemVersion, console::kItemSpecialBuild,
          console::kItemAppended, console::kItemPublisher, console::kItemSigner})
        out << "<th scope=\"col\">" << text(column).c_str() << "</th>";
    out << "</tr></thead>\n<tbody>\n";
    for (const std::string& file : files) {
        ExecutableCheck check;
        checkExecutable((home + file).c_str(), &check);
        out << "<tr data-file=\"" << escaped(file).c_str() << "\"><th scope=\"row\" class=\"file\">"
            << "<code>" << escaped(file).c_str() << "</code></th><td class=\"version\">"
            << versionText(check.version).c_str() << "</td><td class=\"special\">"
            << escaped(check.specialBuild).c_str() << "</td><td class=\"appended\">"
            << appendedText(check.appendedSignature).c_str() << "</td><td class=\"publisher\">"
            << publisherText(check).c_str() << "</td><td class=\"signer\">"
            << escaped(check.signer).c_str() << "</td></tr>\n";
    }
    out << "</tbody>\n</table></div>\n";
    if (cut)
        out << "<p class=\"note\">"
            << filled(text(console::kExecutablesCut), "%d", std::to_string(kListedAtMost)).c_str()
            << "</p>\n";
    out << "</section>\n";
}

void trustRoots(OutputStreamConverter& out) {
    char path[4096] = {};
    int count = getTrustRootsFile(path, sizeof path);
    out << "<section class=\"panel\" id=\"trust-roots\">\n<h2>"
        << text(console::kRootsHeading).c_str() << "</h2>\n<dl class=\"status\">\n";
    item(out, "roots-file", console::kRootsFile, "<code>" + escaped(path) + "</code>");
    item(out, "roots-count", console::kRootsCount,
         count < 0 ? "<span class=\"bad\">" + text(console::kRootsUnreadable) + "</span>"
                   : std::to_string(count));
    out << "</dl>\n</section>\n";
}

std::string dateTime(int64_t seconds) {
    char value[128] = {};
    _hlGetDateTimeStringA(static_cast<long>(seconds), value, sizeof value,
                          DTFMT_DATE | DTFMT_TIME | DTFMT_CUSTOM, kStandardLocale);
    return escaped(value);
}

// The packages agents are offered, one row per component the hot-fix rebuild makes.
void packages(OutputStreamConverter& out, const std::string& home) {
    std::string manifest = console::manifestPath(home);
    struct stat st {};
    bool manifestThere = !home.empty() && ::stat(manifest.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    out << "<section class=\"panel\" id=\"packages\">\n<h2>"
        << text(console::kPackagesHeading).c_str() << "</h2>\n<dl class=\"status\">\n";
    item(out, "manifest-file", console::kManifestLabel,
         "<code>" + console::htmlFromBytes(manifest) + "</code>");
    out << "</dl>\n";
    if (!manifestThere)
        out << "<p class=\"bad\" id=\"no-manifest\">" << text(console::kNoManifest).c_str()
            << "</p>\n";
    out << "<div class=\"scroll\"><table id=\"package-list\">\n<thead><tr>";
    for (int column :
         {console::kColumnHotfixComponent, console::kColumnManifestVersion, console::kColumnPackage,
          console::kColumnSize, console::kColumnPackageModified})
        out << "<th scope=\"col\">" << text(column).c_str() << "</th>";
    out << "</tr></thead>\n<tbody>\n";
    const std::string none = "<span class=\"empty\">" + text(console::kNotInManifest) + "</span>";
    const std::string missing = "<span class=\"bad\">" + text(console::kPackageMissing) + "</span>";
    for (const console::HotfixKind& kind : console::hotfixKinds()) {
        std::string version = manifestThere ? console::manifestVersion(manifest, kind) : "";
        std::string relative = std::string(kind.packageDirectory) + "/" + kind.package;
        std::string package = console::homePath(home, relative);
        bool there = !home.empty() && ::stat(package.c_str(), &st) == 0 && S_ISREG(st.st_mode);
        out << "<tr data-kind=\"" << kind.kind << "\"><th scope=\"row\">"
            << text(kind.nameText).c_str() << "</th><td class=\"version\">"
            << (version.empty() ? none : console::htmlFromBytes(version)).c_str()
            << "</td><td class=\"package\"><code>"
            << console::htmlFromBytes(package.substr(std::min(home.size(), package.size()))).c_str()
            << "</code></td><td class=\"size\">"
            << (there ? std::to_string(st.st_size) : missing).c_str()
            << "</td><td class=\"modified\">"
            << (there ? dateTime(st.st_mtim.tv_sec) : std::string()).c_str() << "</td></tr>\n";
    }
    out << "</tbody>\n</table></div>\n<p class=\"note\">" << text(console::kPackagesHint).c_str()
        << "</p>\n</section>\n";
}

}  // namespace

int main() {
    console::Page page(console::kComponentsTitle);
    if (!page.admitted())
        return page.finish();
    OutputStreamConverter& out = page.body();
    std::string home = homeDirectory();
    out << "<div class=\"panels\">\n";
    cleaner(out, home);
    trustRoots(out);
    out << "</div>\n";
    cleanerPatterns(out, home);
    hlGetCustomFormatFromServerRegistry();
    packages(out, home);
    executables(out, home);
    out << "<form method=\"GET\" action=\"" << kProgram << "\" id=\"check-form\">\n"
        << "<p><button type=\"submit\" id=\"check-again\">" << text(console::kCheckAgain).c_str()
        << "</button> <span class=\"note\">" << text(console::kCheckHint).c_str()
        << "</span></p>\n</form>\n";
    return page.finish();
}
