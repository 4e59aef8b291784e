// The server's event log: one comma-separated line per event in a file of the day.
//
// A caller names the event by its NvlEventID and adds a description, a success flag and an
// optional detail; EventLog appends
//
//   2006/08/31, 09:41:07, 3, pattern updated, -, success, -,
//
// to <directory>nvlYYYYMMDD.log (local date of the moment of writing), provided the event's
// class is switched on in the flag mask. Events 69 to 78 belong to no class and are always
// written. Nothing is reported to the caller: a filtered event, a file that cannot be opened
// or a failed write leave no trace.
//
// Several processes append to the same file at once. Each record is formed completely in
// memory and reaches the file with one write(2) on a descriptor opened with O_APPEND, so
// records never interleave: every record is one whole line. What the module promises beyond
// the original format:
//   - A record is at most kEventLogMaxRecord (4096) bytes, PIPE_BUF: the largest write that
//     POSIX promises to keep whole anywhere (local Linux file systems keep any single append
//     whole; network file systems may not keep more). A longer record keeps its leading
//     fields and is cut at the end of its description or detail text; it still ends ",\n".
//   - A carriage return or line feed inside the description or the detail becomes a space, so
//     one event is always one line.
//   - The detail format takes text conversions only: "%s" with optional '-' flag, width and
//     precision, and "%%". Each "%s" takes the next of the three detail texts (a null text
//     prints "(null)"); any other conversion, and a fourth "%s", is copied as it stands. The
//     caller's format can therefore never read past the three texts or write memory.
//   - An id outside 1..78 has no event text and writes nothing.
//   - The whole file path must fit in 255 characters; a longer one writes nothing.
//
// The settings are process-wide plain data without a lock: set them before logging, and do
// not change them while another thread logs.
#pragma once

#include <cgishare/export.h>

enum NvlEventID : int {
    // 0x001
    NVL_EVENT_CLIENT_START_UP = 1,
    NVL_EVENT_CLIENT_SHUTDOWN = 2,
    // 0x002
    NVL_EVENT_PATTERN_UPDATED = 3,
    NVL_EVENT_PROGRAM_UPDATED = 4,
    NVL_EVENT_ENGINE_UPDATED = 5,
    NVL_EVENT_HOTFIX_UPDATED = 6,
    // 0x004
    NVL_EVENT_CLIENT_INSTALLED = 7,
    NVL_EVENT_CLIENT_UNINSTALLED = 8,
    NVL_EVENT_CLIENT_PURGED = 9,
    // 0x008
    NVL_EVENT_MANUAL_SCAN = 10,
    NVL_EVENT_REALTIME_SCAN = 11,
    NVL_EVENT_SCHEDULED_SCAN = 12,
    NVL_EVENT_SCAN_NOW = 13,
    // 0x010
    NVL_EVENT_INI_REQUESTED = 14,
    NVL_EVENT_MANUAL_SCAN_CFG_REQUESTED = 15,
    NVL_EVENT_REALTIME_SCAN_CFG_REQUESTED = 16,
    NVL_EVENT_SCHEDULED_SCAN_CFG_REQUESTED = 17,
    NVL_EVENT_SCAN_NOW_CFG_REQUESTED = 18,
    NVL_EVENT_EXCLUSIVE_FILE_CFG_REQUESTED = 19,
    NVL_EVENT_ALL_SCAN_CFG_REQUESTED = 20,
    NVL_EVENT_ALERT_MSG_REQUESTED = 21,
    // 0x020
    NVL_EVENT_MANUAL_SCAN_CFG_CHANGED = 22,
    NVL_EVENT_REALTIME_SCAN_CFG_CHANGED = 23,
    NVL_EVENT_SCHEDULED_SCAN_CFG_CHANGED = 24,
    NVL_EVENT_SCAN_NOW_CFG_CHANGED = 25,
    NVL_EVENT_EXCLUSIVE_FILE_CFG_CHANGED = 26,
    NVL_EVENT_ALERT_MSG_CHANGED = 27,
    // 0x040
    NVL_EVENT_MANUAL_SCAN_CFG_REPORTED = 28,
    NVL_EVENT_REALTIME_SCAN_CFG_REPORTED = 29,
    NVL_EVENT_SCHEDULED_SCAN_CFG_REPORTED = 30,
    NVL_EVENT_EXCLUSIVE_FILE_CFG_REPORTED = 31,
    // 0x080
    NVL_EVENT_MANUAL_PATTERN_DOWNLOADING = 32,
    NVL_EVENT_MANUAL_PATTERN_DOWNLOADED = 33,
    NVL_EVENT_MANUAL_PROGRAM_DOWNLOADING = 34,
    NVL_EVENT_MANUAL_PROGRAM_DOWNLOADED = 35,
    NVL_EVENT_MANUAL_ENGINE_DOWNLOADING = 36,
    NVL_EVENT_MANUAL_ENGINE_DOWNLOADED = 37,
    NVL_EVENT_SCHEDULED_PATTERN_DOWNLOADING = 38,
    NVL_EVENT_SCHEDULED_PATTERN_DOWNLOADED = 39,
    NVL_EVENT_SCHEDULED_PROGRAM_DOWNLOADING = 40,
    NVL_EVENT_SCHEDULED_PROGRAM_DOWNLOADED = 41,
    NVL_EVENT_SCHEDULED_ENGINE_DOWNLOADING = 42,
    NVL_EVENT_SCHEDULED_ENGINE_DOWNLOADED = 43,
    // 0x100
    NVL_EVENT_VIRUS_DETECTED = 44,
    NVL_EVENT_OUTBREAK_ALERT = 45,
    NVL_EVENT_VIRUS_LOG_PURGED = 46,
    // 0x200
    NVL_EVENT_MANUAL_SCAN_CFG_NOTIFIED = 47,
    NVL_EVENT_REALTIME_SCAN_CFG_NOTIFIED = 48,
    NVL_EVENT_SCHEDULED_SCAN_CFG_NOTIFIED = 49,
    NVL_EVENT_REMOTE_SCAN_CFG_NOTIFIED = 50,
    NVL_EVENT_EXCLUSIVE_FILE_CFG_NOTIFIED = 51,
    NVL_EVENT_SCAN_NOW_NOTIFIED = 52,
    NVL_EVENT_STOP_SCAN_NOW_NOTIFIED = 53,
    NVL_EVENT_UNINSTALL_NOTIFIED = 54,
    NVL_EVENT_EXPIRE_NOTIFIED = 55,
    NVL_EVENT_ROLLBACK_NOTIFIED = 56,
    NVL_EVENT_ALERT_MSG_NOTIFIED = 57,
    NVL_EVENT_PROXY_NOTIFIED = 58,
    NVL_EVENT_PRIVILEGE_NOTIFIED = 59,
    NVL_EVENT_PROTOCOL_NOTIFIED = 60,
    NVL_EVENT_SERVER_SETTING_NOTIFIED = 61,
    NVL_EVENT_UPDATE_NOTIFIED = 62,
    NVL_EVENT_CONFIG_CHANGE_NOTIFIED = 63,
    NVL_EVENT_STOP_REALTIME_SERVICE = 64,
    NVL_EVENT_START_REALTIME_SERVICE = 65,
    NVL_EVENT_RESTART_SERVICE = 66,
    NVL_EVENT_CHANGE_NEW_GUID = 67,
    NVL_EVENT_NEW_STARTUP = 68,
    // Always written.
    NVL_EVENT_UNKNOWN_EVENT1 = 69,
    NVL_EVENT_UNKNOWN_EVENT2 = 70,
    NVL_EVENT_UNKNOWN_EVENT3 = 71,
    NVL_EVENT_UNKNOWN_EVENT4 = 72,
    NVL_EVENT_UNKNOWN_EVENT5 = 73,
    NVL_EVENT_UNKNOWN_EVENT6 = 74,
    NVL_EVENT_UNKNOWN_EVENT7 = 75,
    NVL_EVENT_UNKNOWN_EVENT8 = 76,
    NVL_EVENT_UNKNOWN_EVENT9 = 77,
    NVL_EVENT_UNKNOWN_EVENT10 = 78,
};

// The longest record, line feed included, that EventLog writes.
inline constexpr unsigned kEventLogMaxRecord = 4096;

// Replaces the flag mask (initially 0: no event of values 1 to 68 is written).
CGISHARE_API void SetEventLogFlag(unsigned int flags);

// Sets the log directory. Null or "" makes it empty: files go to the current directory.
// Otherwise the text is copied and a '/' appended when it does not end in one. A directory
// that does not fit in 255 characters with its '/' leaves the setting unchanged.
CGISHARE_API void SetEventLogDir(char* directory);

// The log directory buffer itself (256 bytes, the library's own storage).
CGISHARE_API char* GetEventLogDir();

// Appends one record when the event's class is on. `description` null or "" is written as
// "-"; a null `detailFormat` as "-".
CGISHARE_API void EventLog(NvlEventID id, char* description, bool success, char* detailFormat,
                           char* detail1, char* detail2, char* detail3);
