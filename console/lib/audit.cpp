#include "audit.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include <cgishare/cgishare.h>

namespace console {

namespace {

// Index: the audit event's number.
constexpr const char* kEventTexts[] = {
    nullptr,
    "log on",
    "log off",
    "log on failed",
    "session timed out",
    "settings changed",
    "password changed",
    "pattern read",
    "services notified",
    "spyware scan",
    "spyware restored",
    "hot fix",
};

}  // namespace

std::string auditText(std::string_view raw) {
    if (raw.empty())
        return "-";
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string cleaned;
    std::string_view kept = raw.substr(0, kAuditTextLimit);
    for (char c : kept) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F || c == ',' || c == '%') {
            cleaned += '%';
            cleaned += kHex[byte >> 4];
            cleaned += kHex[byte & 0x0F];
        } else {
            cleaned += c;
        }
    }
    if (raw.size() > kept.size())
        cleaned += "...";
    return cleaned;
}

std::string logDirectory() {
    char home[1024] = {};
    if (getHomeDir(home, sizeof home) == 0 || home[0] == '\0')
        return {};
    return std::string(home) + "Log/";
}

void writeAudit(AuditEvent event, const char* user, bool success) {
    if (event < kAuditLogOn || event > kAuditHotfix)
        return;
    std::string directory = logDirectory();
    if (directory.empty())
        return;
    time_t now = std::time(nullptr);
    struct tm local {};
    if (::localtime_r(&now, &local) == nullptr)
        return;

    // The file of the day and the record's fixed fields, in the event log's form.
    char day[16];
    std::snprintf(day, sizeof day, "%04d%02d%02d.log", (local.tm_year + 1900) % 10000,
                  (local.tm_mon + 1) % 100, local.tm_mday % 100);
    std::string path = directory + kAuditFilePrefix + day;
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "%04d/%02d/%02d, %02d:%02d:%02d, %d, ",
                  (local.tm_year + 1900) % 10000, (local.tm_mon + 1) % 100, local.tm_mday % 100,
                  local.tm_hour % 100, local.tm_min % 100, local.tm_sec % 100,
                  static_cast<int>(event));
    std::string record = stamp;
    record += kEventTexts[event];
    record += ", ";
    record += auditText(user != nullptr ? user : "");
    record += success ? ", success, " : ", fail, ";
    const char* address = std::getenv("REMOTE_ADDR");
    record += auditText(address != nullptr ? address : "");
    record += ",\n";

    // The directory belongs to the server's installation: it is never made here, and a
    // symbolic link planted in place of the day's file is not followed.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0640);
    if (fd < 0)
        return;
    ssize_t written;
    do {
        written = ::write(fd, record.data(), record.size());
    } while (written < 0 && errno == EINTR);
    // A short write (disk full) leaves a line without its end; ending it keeps the next record
    // on a line of its own.
    if (written > 0 && static_cast<size_t>(written) < record.size())
        (void)::write(fd, "\n", 1);
    ::close(fd);
}

}  // namespace console
