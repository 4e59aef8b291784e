// The console's audit log: who logged on, off, failed or timed out, and what they changed.
//
// Records have the event log's form, in a daily file of their own under the server's Log/
// directory, <home>Log/auditYYYYMMDD.log (the event log's numbers have no entry for these):
//
//   2026/12/11, 09:41:07, 1, log on, admin, success, 192.0.2.7,
//
// Fields: local date and time, the audit event's number and text, the user name, success or
// fail, the remote address. Texts from the request are cut to a sane length and cleaned of
// line breaks and commas, so one record is one line that the event-log reader reads back.
// Records are appended whole with one write, so several processes may write at once.
//
// How a text is cleaned (auditText): its first kAuditTextLimit bytes are kept, "..." marks
// that more followed; a comma, '%', a control character and every byte from 0x7F up are
// written as %XX (upper-case hex). The record is plain ASCII whatever the browser sent, so it
// reads the same in every page encoding, and the name a failed log-on tried is kept byte for
// byte up to the limit (a name typed in the wrong encoding or with a line break is still told
// apart). An empty text is "-".
//
// The file is made with mode 0640 (less the umask) and never through a symbolic link; the
// Log/ directory is the installation's and is never made here. Nothing is reported: an audit
// record that cannot be written does not stop the page.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace console {

enum AuditEvent : int {
    kAuditLogOn = 1,
    kAuditLogOff = 2,
    kAuditLogOnFailed = 3,
    kAuditTimedOut = 4,
    kAuditSettingsChanged = 5,
    kAuditPasswordChanged = 6,
    kAuditPatternRead = 7,
    kAuditServicesNotified = 8,
    kAuditSpywareScan = 9,
    kAuditSpywareRestore = 10,
    kAuditHotfix = 11,
};

inline constexpr const char* kAuditFilePrefix = "audit";
// The bytes of a text from the request that a record keeps.
inline constexpr size_t kAuditTextLimit = 64;

// <home>Log/ ("" without a home).
std::string logDirectory();

// A text from the request as a record field: cleaned as above.
std::string auditText(std::string_view raw);

// Appends one record; the remote address comes from REMOTE_ADDR.
void writeAudit(AuditEvent event, const char* user, bool success);

}  // namespace console
