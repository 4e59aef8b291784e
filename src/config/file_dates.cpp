// Moments shown to people: converDateString and the creation and modification dates of files.
//
// Every one of them ends in the console's date-and-time text (_hlGetDateTimeStringA with the
// date and the time, in the system locale: localeFlags 129), so a file's date and a stored
// stamp read alike on one page. A file's moment goes through the 14-digit stamp as a stored one
// does, so both follow the same rules (local time, the years 0 to 9999).
//
// GetDownloadFileCreateDate takes a name from a page, which may have it from the browser. The
// original appended it to the Download directory in a fixed buffer as it came; here a name that
// is not one plain file name (a separator, "." or "..") or a path that would not fit the
// original's 260 bytes gives the empty text, so a request can neither overrun the buffer nor
// ask for the date of a file elsewhere on the server.
#include <cstring>
#include <ctime>
#include <string>

#include "cgishare/config.h"
#include "cgishare/datetime.h"
#include "cgishare/validation.h"
#include "config/date_stamp.h"
#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/file_times.h"

namespace {

constexpr int kSystemLocale = 129;      // DTLOC_SYSTEM and a bit without effect
constexpr size_t kHomeSize = 256;       // the home directory, as the original read it
constexpr size_t kMaxPathLength = 259;  // MAX_PATH without its terminator

enum class Moment { kCreated, kModified };

void fileDate(const char* path, char* display, Moment moment) {
    if (display == nullptr)
        return;
    display[0] = '\0';
    if (path == nullptr)
        return;
    nvl::sys::FileTimes times;
    if (nvl::sys::getFileTimes(nvl::sys::serverFilePath(path), &times) != nvl::sys::kSuccess)
        return;
    char stamp[nvl::config::kStampLength + 1];
    time_t t = moment == Moment::kCreated ? times.created : times.modified;
    if (nvl::config::formatStamp(t, true, stamp))
        converDateString(stamp, display, 0);
}

// Whether `name` is one file name: not empty, not "." or "..", no '/' or '\' (whole characters
// of the ANSI code page: the second byte of a double-byte character is no separator).
bool isPlainFileName(const char* name) {
    if (*name == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return false;
    uint32_t codePage = nvl::sys::ansiCodePage();
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p != 0; ++p) {
        if (nvl::sys::isLeadByte(codePage, *p) && p[1] != 0) {
            ++p;
        } else if (*p == '/' || *p == '\\') {
            return false;
        }
    }
    return true;
}

}  // namespace

void converDateString(char* stamp, char* display, int /*flag*/) {
    if (display == nullptr)
        return;
    display[0] = '\0';
    struct tm tm {};
    if (nvl::config::stampToLocalTime(stamp, &tm)) {
        _hlGetDateTimeStringA(&tm, display, static_cast<int>(nvl::config::kDisplaySize),
                              DTFMT_DATE | DTFMT_TIME, kSystemLocale);
    }
}

void GetFileCreateDate(char* path, char* display) {
    fileDate(path, display, Moment::kCreated);
}

void GetFileModifyDate(char* path, char* display) {
    fileDate(path, display, Moment::kModified);
}

void GetDownloadFileCreateDate(const char* name, char* display) {
    if (display == nullptr)
        return;
    display[0] = '\0';
    if (name == nullptr || !isPlainFileName(name))
        return;
    char home[kHomeSize];
    if (getHomeDir(home, sizeof home) == 0)
        return;
    std::string path = std::string(home) + "Download/" + name;
    if (path.size() > kMaxPathLength)
        return;
    fileDate(path.c_str(), display, Moment::kCreated);
}
