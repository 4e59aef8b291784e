// The log server's reading of one LOG_WRITE command, and the line it writes for it.
//
// A command is UTF-16LE: "LOG_WRITE", time, process id, thread id, level, source file, line
// and text, separated by single TABs, ended by one NUL unit that is part of the message.
// Everything after the seventh TAB is the text, TABs included. The decoder takes the bytes of
// one message and never reads past them; anything that does not have this form is rejected
// with a short reason, never half-used.
//
// A log line is UTF-8 and holds one trace:
//   2026-12-10 12:00:00 pid=1234 tid=1235 level=6 src/update_log.cpp:10 [CGIShare][page]text
// with the client's time in the server's local time. TABs stay as they are; line breaks and
// other control characters in the source or the text are written as \n, \r or \xNN, so that
// one trace is one line. Invalid UTF-16 becomes U+FFFD.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace nvl::logserver {

struct LogRecord {
    int64_t time = 0;
    uint32_t processId = 0;
    uint32_t threadId = 0;
    int32_t level = 0;
    std::string source;  // UTF-8, escaped
    int32_t line = 0;
    std::string text;  // UTF-8, escaped
};

// Decodes one message. Returns nullptr on success, else why the message was rejected.
const char* parseLogCommand(const uint8_t* data, size_t size, LogRecord* out);

// Formats lines; remembers the last time it turned into text.
class LineFormatter {
  public:
    void appendRecord(const LogRecord& record, std::string* out);
    // A line of the server's own: "<time> logserver: <note>".
    void appendNote(int64_t time, std::string_view note, std::string* out);

  private:
    const std::string& timeText(int64_t time);

    int64_t cachedTime_ = INT64_MIN;
    std::string cachedText_;
};

}  // namespace nvl::logserver
