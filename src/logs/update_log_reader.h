// Reading the update log back: lines out of the file, fields out of a line.
//
// UpdateLogLineReader hands out the file's physical lines one at a time in a buffer of
// kUpdateLogLineBuffer bytes, the size of the original reader's line buffer. A longer line is
// cut to what the buffer holds and the rest of it skipped, so it stays one record instead of
// turning its tail into a false record of its own. CR LF at the end of a line reads as LF.
//
// splitUpdateLogLine cuts such a line, in place, into the five fields of a record.
#pragma once

#include <cstddef>

namespace nvl::logs {

// The line buffer: at most 1044 characters, the line feed and the terminating NUL.
inline constexpr size_t kUpdateLogLineBuffer = 1046;

class UpdateLogLineReader {
  public:
    enum class Status { kLine, kEnd, kError };

    // Reads from `fd`, which stays owned by the caller.
    explicit UpdateLogLineReader(int fd) : fd_(fd) {}
    UpdateLogLineReader(const UpdateLogLineReader&) = delete;
    UpdateLogLineReader& operator=(const UpdateLogLineReader&) = delete;

    // The next line: kLine with line() holding it (its line feed kept when it had one), kEnd
    // at the end of the file, kError when the file cannot be read.
    Status next();
    char* line() { return line_; }
    size_t length() const { return length_; }

  private:
    bool fill();

    int fd_;
    bool end_ = false;
    bool error_ = false;
    size_t pos_ = 0;
    size_t filled_ = 0;
    size_t length_ = 0;
    char chunk_[8192];
    char line_[kUpdateLogLineBuffer];
};

// The fields of one record. Fields the line does not reach stay null or 0.
struct UpdateLogFields {
    char* timeStamp = nullptr;
    char* kind = nullptr;
    int number1 = 0;
    int number2 = 0;
    char* message = nullptr;
};

// Splits the NUL-terminated `line` (at most `capacity` bytes, NUL included) in place: a
// final line feed is removed, the first four commas end the first four fields and the rest
// of the line, commas and all, is the message. Numbers read as atoi reads them, clamped to
// the int range. Returns false, after tracing the line, when a separator is missing.
bool splitUpdateLogLine(char* line, size_t capacity, UpdateLogFields* fields);

}  // namespace nvl::logs
