// The server update log; what it promises is set out in <cgishare/update_log.h>.
#include "cgishare/update_log.h"

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "cgishare/config.h"
#include "cgishare/trace.h"
#include "logs/log_file.h"
#include "logs/update_log_internal.h"
#include "logs/update_log_reader.h"
#include "platform/error.h"
#include "platform/file.h"

#define UPDATE_LOG_TRACE(...) DebugTraceA(6, __FILE__, __LINE__, __VA_ARGS__)

namespace nvl::logs {

namespace {

constexpr int kOpenAttempts = 3;
constexpr unsigned kRetryWaitMilliseconds = 500;
constexpr size_t kPathBuffer = 260;
constexpr size_t kTimeStampLength = 14;
constexpr size_t kKindLength = 1;
constexpr size_t kMaxMessage = 1023;
constexpr char kLogName[] = "Log/update.log";

void sleepMilliseconds(unsigned milliseconds) {
    timespec delay{static_cast<time_t>(milliseconds / 1000),
                   static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
}

std::atomic<void (*)(unsigned)> g_wait{sleepMilliseconds};

// The log's path under `baseDirectory`, or under the home directory when that is null or
// empty. False, with the error recorded as the last error, when there is no home directory
// or the path does not fit the path buffer.
bool logPath(const char* baseDirectory, std::string* path) {
    if (baseDirectory != nullptr && baseDirectory[0] != '\0') {
        *path = baseDirectory;
        if (path->back() != '/')
            *path += '/';
    } else {
        char home[kPathBuffer];
        if (getHomeDir(home, sizeof home) == 0) {
            *path = kLogName;
            sys::setLastError(sys::kErrPathNotFound);
            return false;
        }
        *path = home;
    }
    *path += kLogName;
    if (path->size() >= kPathBuffer) {
        sys::setLastError(sys::kErrFilenameTooLong);
        return false;
    }
    return true;
}

// Opens the log up to three times, waiting between attempts when `wait` is set. On failure
// the last error holds the reason of the last attempt.
sys::UniqueFd openWithRetries(const std::string& path, int flags, bool wait) {
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        sys::UniqueFd fd = openServerFile(path, flags);
        if (fd)
            return fd;
        sys::setLastError(sys::errnoToError(errno));
        if (wait)
            g_wait.load(std::memory_order_relaxed)(kRetryWaitMilliseconds);
    }
    return sys::UniqueFd();
}

// Clamps to the int range where atoi's behaviour would be undefined.
int toInt(const char* text) {
    long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

}  // namespace

void setUpdateLogWaitForTesting(void (*wait)(unsigned milliseconds)) {
    g_wait.store(wait != nullptr ? wait : sleepMilliseconds);
}

bool UpdateLogLineReader::fill() {
    pos_ = 0;
    filled_ = 0;
    for (;;) {
        ssize_t n = sys::fileOps().read(fd_, chunk_, sizeof chunk_);
        if (n > 0) {
            filled_ = static_cast<size_t>(n);
            return true;
        }
        if (n == 0) {
            end_ = true;
            return false;
        }
        if (errno != EINTR) {
            error_ = true;
            return false;
        }
    }
}

UpdateLogLineReader::Status UpdateLogLineReader::next() {
    // Room for the characters of a line: the buffer less its line feed and NUL.
    constexpr size_t kCapacity = kUpdateLogLineBuffer - 2;
    length_ = 0;
    line_[0] = '\0';
    bool started = false;
    bool cut = false;
    for (;;) {
        if (pos_ == filled_) {
            if (error_ || end_ || !fill()) {
                if (error_)
                    return Status::kError;
                if (!started)
                    return Status::kEnd;
                line_[length_] = '\0';
                return Status::kLine;
            }
        }
        started = true;
        const char* begin = chunk_ + pos_;
        size_t available = filled_ - pos_;
        const char* newline = static_cast<const char*>(std::memchr(begin, '\n', available));
        size_t take = newline != nullptr ? static_cast<size_t>(newline - begin) : available;
        size_t copy = take <= kCapacity - length_ ? take : kCapacity - length_;
        cut = cut || copy < take;
        std::memcpy(line_ + length_, begin, copy);
        length_ += copy;
        if (newline == nullptr) {
            pos_ = filled_;
            continue;
        }
        pos_ += take + 1;
        if (!cut && length_ > 0 && line_[length_ - 1] == '\r')
            --length_;
        line_[length_++] = '\n';
        line_[length_] = '\0';
        return Status::kLine;
    }
}

bool splitUpdateLogLine(char* line, size_t capacity, UpdateLogFields* fields) {
    *fields = UpdateLogFields();
    size_t length = strnlen(line, capacity);
    if (length == capacity)
        return false;  // not a NUL-terminated line of this buffer
    if (length >= 2 && line[length - 1] == '\n')
        line[--length] = '\0';

    // Find all four separators before cutting, so that a trace shows the line whole.
    char* separators[4] = {};
    int found = 0;
    for (char* p = line; found < 4; ++p) {
        p = static_cast<char*>(std::memchr(p, ',', length - static_cast<size_t>(p - line)));
        if (p == nullptr)
            break;
        separators[found++] = p;
    }
    if (found < 4)
        UPDATE_LOG_TRACE("[ServerUpdateLog] can't find separater.(%s)", line);
    for (int i = 0; i < found; ++i)
        *separators[i] = '\0';

    if (found >= 1)
        fields->timeStamp = line;
    if (found >= 2)
        fields->kind = separators[0] + 1;
    if (found >= 3)
        fields->number1 = toInt(separators[1] + 1);
    if (found >= 4) {
        fields->number2 = toInt(separators[2] + 1);
        fields->message = separators[3] + 1;
    }
    return found == 4;
}

}  // namespace nvl::logs

using nvl::logs::kKindLength;
using nvl::logs::kMaxMessage;
using nvl::logs::kTimeStampLength;
using nvl::logs::kUpdateLogLineBuffer;
using nvl::logs::UpdateLogFields;
using nvl::logs::UpdateLogLineReader;

void writeUpdateLog(char* timeStamp, char* kind, int number1, int number2, char* message,
                    char* baseDirectory) {
    if (timeStamp == nullptr || strnlen(timeStamp, kTimeStampLength + 1) != kTimeStampLength) {
        UPDATE_LOG_TRACE("[ServerUpdateLog] parameter error:%s",
                         timeStamp != nullptr ? timeStamp : "(null)");
        return;
    }
    if (kind == nullptr || strnlen(kind, kKindLength + 1) != kKindLength) {
        UPDATE_LOG_TRACE("[ServerUpdateLog] parameter error:%s", kind != nullptr ? kind : "(null)");
        return;
    }
    if (message == nullptr) {
        UPDATE_LOG_TRACE("[ServerUpdateLog] parameter error:%s", "(null)");
        return;
    }
    if (strnlen(message, kMaxMessage + 1) > kMaxMessage) {
        UPDATE_LOG_TRACE("[ServerUpdateLog] parameter error: message is too long.");
        return;
    }

    char record[kUpdateLogLineBuffer];
    int length = std::snprintf(record, sizeof record, "%s,%s,%d,%d,%s\n", timeStamp, kind, number1,
                               number2, message);
    // Numbers of several digits beside a long message make a line that no reader's buffer
    // holds whole; its tail would read back as a record of its own.
    if (length < 0 || length > kUpdateLogMaxRecord) {
        UPDATE_LOG_TRACE("[ServerUpdateLog] parameter error: message is too long.");
        return;
    }
    for (int i = 0; i < length - 1; ++i) {
        if (record[i] == '\r' || record[i] == '\n')
            record[i] = ' ';
    }

    std::string path;
    nvl::sys::UniqueFd fd;
    if (nvl::logs::logPath(baseDirectory, &path))
        fd = nvl::logs::openWithRetries(path, O_WRONLY | O_CREAT | O_APPEND, true);
    if (!fd) {
        UPDATE_LOG_TRACE("[ServerUpdateLog] can't open log file.(%s,%d)", path.c_str(),
                         static_cast<int>(nvl::sys::lastError()));
        return;
    }
    ssize_t written = nvl::logs::appendRecord(fd.get(), std::string_view(record, length));
    if (written != length) {
        UPDATE_LOG_TRACE("[ServerUpdateLog] can't write log.(%s,%d)", path.c_str(),
                         static_cast<int>(written));
    }
}

void deleteUpdateLog() {
    std::string path;
    if (nvl::logs::logPath(nullptr, &path)) {
        nvl::sys::UniqueFd fd =
            nvl::logs::openWithRetries(path, O_WRONLY | O_CREAT | O_TRUNC, true);
        if (fd) {
            UPDATE_LOG_TRACE("[ServerUpdateLog] deleted log file.(%s)", path.c_str());
            return;
        }
    }
    UPDATE_LOG_TRACE("[ServerUpdateLog] failed to remove log file.(%s,%d)", path.c_str(),
                     static_cast<int>(nvl::sys::lastError()));
}

int getRecordCountUpdateLog() {
    std::string path;
    nvl::sys::UniqueFd fd;
    if (nvl::logs::logPath(nullptr, &path))
        fd = nvl::logs::openWithRetries(path, O_RDONLY, false);
    if (!fd) {
        UPDATE_LOG_TRACE("[ServerUpdateLog] can't open log file.(%s,%d)", path.c_str(),
                         static_cast<int>(nvl::sys::lastError()));
        return UPDATE_LOG_FAILED;
    }
    UpdateLogLineReader reader(fd.get());
    int count = 0;
    for (;;) {
        switch (reader.next()) {
            case UpdateLogLineReader::Status::kLine:
                if (count < INT_MAX)
                    ++count;
                break;
            case UpdateLogLineReader::Status::kEnd:
                return count;
            case UpdateLogLineReader::Status::kError:
                UPDATE_LOG_TRACE("[ServerUpdateLog] read error.(%s)", path.c_str());
                return UPDATE_LOG_READ_ERROR;
        }
    }
}

int readUpdateLog(int startPage, UpdateLogCallback callback, void* context) {
    if (startPage < 0) {
        UPDATE_LOG_TRACE("[ServerUpdateLog] parameter error.(Start Page=%d)", startPage);
        return UPDATE_LOG_FAILED;
    }
    if (callback == nullptr) {
        UPDATE_LOG_TRACE("[ServerUpdateLog] parameter error.(callback=null)");
        return UPDATE_LOG_FAILED;
    }
    std::string path;
    nvl::sys::UniqueFd fd;
    if (nvl::logs::logPath(nullptr, &path))
        fd = nvl::logs::openWithRetries(path, O_RDONLY, true);
    if (!fd) {
        UPDATE_LOG_TRACE("[ServerUpdateLog] can't open log file.(%s,%d)", path.c_str(),
                         static_cast<int>(nvl::sys::lastError()));
        return UPDATE_LOG_OPEN_FAILED;
    }

    UpdateLogLineReader reader(fd.get());
    if (startPage >= 1) {
        const long long toSkip = static_cast<long long>(kUpdateLogPageSize) * (startPage - 1);
        for (long long skipped = 0; skipped < toSkip; ++skipped) {
            UpdateLogLineReader::Status status = reader.next();
            if (status == UpdateLogLineReader::Status::kLine)
                continue;
            if (status == UpdateLogLineReader::Status::kError)
                UPDATE_LOG_TRACE("[ServerUpdateLog] read error.");
            UPDATE_LOG_TRACE("[ServerUpdateLog] can't find the record.(Page=%d, Record=%d)",
                             startPage, static_cast<int>(std::min<long long>(skipped, INT_MAX)));
            return UPDATE_LOG_FAILED;
        }
    }

    int result = UPDATE_LOG_OK;
    for (int delivered = 0; startPage == 0 || delivered < kUpdateLogPageSize; ++delivered) {
        UpdateLogLineReader::Status status = reader.next();
        if (status == UpdateLogLineReader::Status::kEnd)
            break;
        if (status == UpdateLogLineReader::Status::kError) {
            UPDATE_LOG_TRACE("[ServerUpdateLog] read error.(%s)", path.c_str());
            result = UPDATE_LOG_READ_ERROR;
            break;
        }
        UpdateLogFields fields;
        nvl::logs::splitUpdateLogLine(reader.line(), kUpdateLogLineBuffer, &fields);
        callback(fields.timeStamp, fields.kind, fields.number1, fields.number2, fields.message,
                 context);
    }
    return result;
}
