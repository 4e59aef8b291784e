#include "event_reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cgishare/event_log.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "query.h"

namespace console {

namespace {

// The longest line, line feed included: what the writer ever writes.
constexpr long kMaxLine = kEventLogMaxRecord;
// Reads start small (a page of the newest records is a few kilobytes) and grow for long scans.
constexpr size_t kFirstBlock = 8u << 10;
constexpr size_t kLargestBlock = 256u << 10;
constexpr uint64_t kMinimumScan = 64u << 10;

// A record's fields as views into its line; only the records a page shows become strings.
struct RecordView {
    std::string_view date, time, event, description, detail;
    int day = 0;  // YYYYMMDD
    int id = 0;
    bool success = false;
};

bool digits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int number(std::string_view text) {
    int value = 0;
    for (char c : text)
        value = value * 10 + (c - '0');
    return value;
}

// Takes the field up to the next ", " off the front of `rest`.
bool takeField(std::string_view* rest, std::string_view* field) {
    size_t end = rest->find(", ");
    if (end == std::string_view::npos)
        return false;
    *field = rest->substr(0, end);
    rest->remove_prefix(end + 2);
    return true;
}

bool parseView(std::string_view line, RecordView* out) {
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    if (line.empty() || line.back() != ',' || line.find('\0') != std::string_view::npos)
        return false;
    line.remove_suffix(1);  // the closing ","

    std::string_view rest = line, id;
    if (!takeField(&rest, &out->date) || !takeField(&rest, &out->time) || !takeField(&rest, &id) ||
        !takeField(&rest, &out->event) || out->event.empty())
        return false;
    const std::string_view& d = out->date;
    if (d.size() != 10 || d[4] != '/' || d[7] != '/' || !digits(d.substr(0, 4)) ||
        !digits(d.substr(5, 2)) || !digits(d.substr(8, 2)))
        return false;
    out->day =
        number(d.substr(0, 4)) * 10000 + number(d.substr(5, 2)) * 100 + number(d.substr(8, 2));
    if (!isCalendarDate(out->day))
        return false;
    const std::string_view& t = out->time;
    if (t.size() != 8 || t[2] != ':' || t[5] != ':' || !digits(t.substr(0, 2)) ||
        !digits(t.substr(3, 2)) || !digits(t.substr(6, 2)) || number(t.substr(0, 2)) > 23 ||
        number(t.substr(3, 2)) > 59 || number(t.substr(6, 2)) > 60)  // 60: a leap second
        return false;
    if (!digits(id) || id.size() > 9)
        return false;
    out->id = number(id);

    // The first result text after the event's text ends the description.
    static constexpr std::string_view kSuccess = ", success, ";
    static constexpr std::string_view kFail = ", fail, ";
    size_t success = rest.find(kSuccess);
    size_t fail = rest.find(kFail);
    if (success == std::string_view::npos && fail == std::string_view::npos)
        return false;
    out->success = success < fail;
    size_t at = std::min(success, fail);
    out->description = rest.substr(0, at);
    out->detail = rest.substr(at + (out->success ? kSuccess : kFail).size());
    return true;
}

bool matches(const RecordView& record, const EventFilter& filter) {
    return (filter.kind == 0 || record.id == filter.kind) &&
           (filter.from == 0 || record.day >= filter.from) &&
           (filter.to == 0 || record.day <= filter.to);
}

EventRecord toRecord(const RecordView& view) {
    EventRecord record;
    record.date = view.date;
    record.time = view.time;
    record.id = view.id;
    record.event = view.event;
    record.description = view.description;
    record.success = view.success;
    record.detail = view.detail;
    return record;
}

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

struct DailyFile {
    int date;
    std::string path;
};

// The daily files <prefix>YYYYMMDD.log of the directory whose dates lie in [from, to] (0: no
// bound), newest first.
std::vector<DailyFile> dailyFiles(const std::string& directory, std::string_view prefix, int from,
                                  int to) {
    std::vector<DailyFile> files;
    if (directory.empty())
        return files;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(directory.c_str()), ::closedir);
    if (!dir)
        return files;
    std::string base = directory.back() == '/' ? directory : directory + '/';
    static constexpr std::string_view kSuffix = ".log";
    while (const dirent* entry = ::readdir(dir.get())) {
        std::string_view name = entry->d_name;
        int date = 0;
        if (name.size() != prefix.size() + 8 + kSuffix.size() ||
            name.substr(0, prefix.size()) != prefix || name.substr(prefix.size() + 8) != kSuffix ||
            !parseCompactDate(name.substr(prefix.size(), 8), &date))
            continue;
        if ((from != 0 && date < from) || (to != 0 && date > to))
            continue;
        files.push_back({date, base + entry->d_name});
    }
    std::sort(files.begin(), files.end(),
              [](const DailyFile& a, const DailyFile& b) { return a.date > b.date; });
    return files;
}

// Opens a daily file for reading; its size in `*size`. -1 when it is gone or not a regular
// file (skipped), -2 when it is there but cannot be read.
int openDaily(const std::string& path, long* size) {
    // O_NONBLOCK: a FIFO given a log file's name must not hold the page up.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT ? -1 : -2;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    *size = static_cast<long>(st.st_size);
    return fd;
}

struct Budget {
    uint64_t used = 0;
    uint64_t limit = 0;
    uint64_t* total = nullptr;  // the listing's bytesRead
};

enum class Read { kLine, kBad, kEnd, kLimit, kError };

// Reads `length` bytes at `offset` whole; false on an error or a file that became shorter.
bool readAt(int fd, char* buffer, size_t length, long offset, Budget* budget) {
    while (length > 0) {
        ssize_t n = ::pread(fd, buffer, length, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        buffer += n;
        length -= static_cast<size_t>(n);
        offset += n;
        budget->used += static_cast<uint64_t>(n);
        *budget->total += static_cast<uint64_t>(n);
    }
    return true;
}

// A read buffer that grows with the blocks read into it: a page that reads one small block
// never allocates (or maps) the room a long scan needs.
class ReadBuffer {
  public:
    char* get() const { return data_.get(); }
    char operator[](size_t i) const { return data_[i]; }

    // Room for `size` bytes, the first `keep` kept.
    void reserve(size_t size, size_t keep) {
        if (size <= capacity_)
            return;
        std::unique_ptr<char[]> bigger(new char[size]);
        if (keep > 0)
            std::memcpy(bigger.get(), data_.get(), keep);
        data_ = std::move(bigger);
        capacity_ = size;
    }

  private:
    std::unique_ptr<char[]> data_;
    size_t capacity_ = 0;
};

// The lines of a file from a position towards its start. The buffer holds the file's bytes
// [windowStart_, windowStart_ + held) at its front; everything from the line being read back
// to the window's start stays in it.
class BackwardLines {
  public:
    BackwardLines(int fd, long end, Budget* budget)
        : fd_(fd), budget_(budget), pos_(end), windowStart_(end) {}

    // The line that ends at the current position, which then moves to its start. kEnd at the
    // file's start; kLimit (the position unchanged) when the scan limit is reached.
    Read previous() {
        if (pos_ == 0)
            return Read::kEnd;
        if (windowStart_ == pos_) {
            Read loaded = load(true);
            if (loaded != Read::kLine)
                return loaded;
        }
        end_ = pos_;
        bool terminated = byteAt(pos_ - 1) == '\n';
        long contentEnd = terminated ? pos_ - 1 : pos_;
        long searchEnd = contentEnd;
        for (;;) {
            const void* newline =
                ::memrchr(buffer_.get(), '\n', static_cast<size_t>(searchEnd - windowStart_));
            if (newline != nullptr) {
                start_ = windowStart_ + (static_cast<const char*>(newline) - buffer_.get()) + 1;
                break;
            }
            if (windowStart_ == 0) {
                start_ = 0;
                break;
            }
            if (end_ - windowStart_ > kMaxLine)
                return skipLongLine();
            searchEnd = windowStart_;
            Read loaded = load(true);
            if (loaded != Read::kLine)
                return loaded;
        }
        pos_ = start_;
        line_ = std::string_view(buffer_.get() + (start_ - windowStart_),
                                 static_cast<size_t>(contentEnd - start_));
        return terminated && end_ - start_ <= kMaxLine ? Read::kLine : Read::kBad;
    }

    // At the top of the newest file: a last line without its line feed is a record still being
    // written (no longer than a record); the position moves before it.
    void dropUnfinishedLine() {
        if (pos_ == 0 || (windowStart_ == pos_ && load(true) != Read::kLine) ||
            byteAt(pos_ - 1) == '\n')
            return;
        for (;;) {
            const void* newline =
                ::memrchr(buffer_.get(), '\n', static_cast<size_t>(pos_ - windowStart_));
            if (newline != nullptr) {
                pos_ = windowStart_ + (static_cast<const char*>(newline) - buffer_.get()) + 1;
                return;
            }
            if (windowStart_ == 0) {
                pos_ = 0;
                return;
            }
            if (pos_ - windowStart_ >= kMaxLine || load(true) != Read::kLine)
                return;  // longer than a record: a bad line, not one being written
        }
    }

    long position() const { return pos_; }
    long start() const { return start_; }
    long end() const { return end_; }
    std::string_view line() const { return line_; }

  private:
    char byteAt(long offset) const { return buffer_[static_cast<size_t>(offset - windowStart_)]; }

    // Reads the block before the window; with `keep`, the bytes from the window's start to the
    // position stay after it, otherwise the window is that block alone.
    Read load(bool keep) {
        if (budget_->used >= budget_->limit)
            return Read::kLimit;
        size_t block = std::min<size_t>(nextBlock_, static_cast<size_t>(windowStart_));
        nextBlock_ = std::min(nextBlock_ * 2, kLargestBlock);
        size_t carry = keep ? static_cast<size_t>(pos_ - windowStart_) : 0;
        buffer_.reserve(block + carry, carry);
        if (carry > 0)
            std::memmove(buffer_.get() + block, buffer_.get(), carry);
        windowStart_ -= static_cast<long>(block);
        loaded_ = block;
        return readAt(fd_, buffer_.get(), block, windowStart_, budget_) ? Read::kLine
                                                                        : Read::kError;
    }

    // A line longer than any record: finds its start without keeping its bytes. When the scan
    // limit comes first, the line's "start" is where the scan stopped; reading on from there
    // meets the rest of the line as another bad line.
    Read skipLongLine() {
        line_ = {};
        for (;;) {
            Read loaded = load(false);
            if (loaded == Read::kError)
                return loaded;
            if (loaded == Read::kLimit) {
                start_ = windowStart_;
                break;
            }
            const void* newline = ::memrchr(buffer_.get(), '\n', loaded_);
            if (newline != nullptr) {
                start_ = windowStart_ + (static_cast<const char*>(newline) - buffer_.get()) + 1;
                break;
            }
            if (windowStart_ == 0) {
                start_ = 0;
                break;
            }
        }
        pos_ = start_;
        return Read::kBad;
    }

    int fd_;
    Budget* budget_;
    ReadBuffer buffer_;
    long pos_;
    long windowStart_;
    size_t nextBlock_ = kFirstBlock;
    size_t loaded_ = 0;  // the size of the last block read
    long start_ = 0, end_ = 0;
    std::string_view line_;
};

// The whole lines of a file from a position up to `end`. The buffer holds the file's bytes
// [windowStart_, windowEnd_) from its front.
class ForwardLines {
  public:
    ForwardLines(int fd, long begin, long end, Budget* budget)
        : fd_(fd),
          budget_(budget),
          pos_(begin),
          windowStart_(begin),
          windowEnd_(begin),
          end_(end) {}

    // The next whole line; kBad for a line longer than a record (skipped), kEnd at `end` or
    // before a last line without its line feed.
    Read next() {
        bool skipping = false;
        for (;;) {
            const char* from = buffer_.get() + (pos_ - windowStart_);
            const void* newline =
                windowEnd_ > pos_ ? std::memchr(from, '\n', static_cast<size_t>(windowEnd_ - pos_))
                                  : nullptr;
            if (newline != nullptr) {
                long lineEnd =
                    windowStart_ + (static_cast<const char*>(newline) - buffer_.get()) + 1;
                line_ = std::string_view(from, static_cast<size_t>(lineEnd - 1 - pos_));
                pos_ = lineEnd;
                return skipping || line_.size() + 1 > static_cast<size_t>(kMaxLine) ? Read::kBad
                                                                                    : Read::kLine;
            }
            if (windowEnd_ == end_)
                return Read::kEnd;
            if (windowEnd_ - pos_ > kMaxLine) {
                skipping = true;  // longer than a record: its bytes are not kept
                pos_ = windowEnd_;
            }
            Read loaded = load();
            if (loaded != Read::kLine)
                return loaded;
        }
    }

    long position() const { return pos_; }
    std::string_view line() const { return line_; }

  private:
    Read load() {
        if (budget_->used >= budget_->limit)
            return Read::kLimit;
        size_t kept = static_cast<size_t>(windowEnd_ - pos_);
        if (kept > 0)
            std::memmove(buffer_.get(), buffer_.get() + (pos_ - windowStart_), kept);
        windowStart_ = pos_;
        size_t block = std::min<size_t>(nextBlock_, static_cast<size_t>(end_ - windowEnd_));
        nextBlock_ = std::min(nextBlock_ * 2, kLargestBlock);
        buffer_.reserve(kept + block, kept);
        if (!readAt(fd_, buffer_.get() + kept, block, windowEnd_, budget_))
            return Read::kError;
        windowEnd_ += static_cast<long>(block);
        return Read::kLine;
    }

    int fd_;
    Budget* budget_;
    ReadBuffer buffer_;
    long pos_;
    long windowStart_, windowEnd_, end_;
    size_t nextBlock_ = kFirstBlock;
    std::string_view line_;
};

// The start of the page before `at` (newer records): reads forward from `at` over `count`
// matching records. Only called for a position other than the top.
void findNewer(const std::vector<DailyFile>& files, const EventFilter& filter,
               const EventPosition& at, size_t count, uint64_t scanLimit, EventListing* out) {
    Budget budget{0, scanLimit, &out->bytesRead};
    size_t found = 0;
    for (auto file = files.rbegin(); file != files.rend(); ++file) {
        if (file->date < at.date)
            continue;
        long size = 0;
        int opened = openDaily(file->path, &size);
        if (opened == -1)
            continue;
        if (opened < 0)
            break;
        Fd fd(opened);
        long begin = file->date == at.date ? std::min(at.offset, size) : 0;
        ForwardLines lines(fd.get(), begin, size, &budget);
        for (;;) {
            Read read = lines.next();
            if (read == Read::kEnd || read == Read::kError)
                break;
            if (read == Read::kLimit) {
                out->hasNewer = true;
                out->newer = {file->date, lines.position()};
                return;
            }
            RecordView record;
            if (read != Read::kLine || !parseView(lines.line(), &record) ||
                !matches(record, filter))
                continue;
            if (++found == count) {
                out->hasNewer = true;
                out->newer = {file->date, lines.position()};
                // Nothing after it in the newest file: the previous page is the top.
                if (file + 1 == files.rend() && lines.next() == Read::kEnd)
                    out->newer = EventPosition();
                return;
            }
        }
    }
    // Fewer than a page of newer records: the previous page is the top.
    if (found > 0) {
        out->hasNewer = true;
        out->newer = EventPosition();
    }
}

}  // namespace

bool parseEventRecord(std::string_view line, EventRecord* record) {
    RecordView view;
    if (!parseView(line, &view))
        return false;
    *record = toRecord(view);
    return true;
}

int recordDate(const EventRecord& record) {
    const std::string& d = record.date;
    if (d.size() != 10 || !digits(std::string_view(d).substr(0, 4)) ||
        !digits(std::string_view(d).substr(5, 2)) || !digits(std::string_view(d).substr(8, 2)))
        return 0;
    std::string_view v = d;
    return number(v.substr(0, 4)) * 10000 + number(v.substr(5, 2)) * 100 + number(v.substr(8, 2));
}

std::string EventPosition::text() const {
    if (top())
        return {};
    return std::to_string(date) + "-" + std::to_string(offset);
}

EventListing listEvents(const std::string& directory, std::string_view prefix,
                        const EventFilter& filter, const EventPosition& at, size_t count,
                        uint64_t scanLimit) {
    EventListing out;
    out.start = at;
    if (count == 0)
        return out;
    // Below a few blocks a listing could stop before passing a single line; with this much it
    // always moves on.
    scanLimit = std::max<uint64_t>(scanLimit, kMinimumScan);
    std::vector<DailyFile> files = dailyFiles(directory, prefix, filter.from, filter.to);
    Budget budget{0, scanLimit, &out.bytesRead};
    bool newest = true;
    for (size_t i = 0; i < files.size(); ++i) {
        const DailyFile& file = files[i];
        if (!at.top() && file.date > at.date)
            continue;
        long size = 0;
        int opened = openDaily(file.path, &size);
        if (opened == -1)
            continue;
        if (opened < 0) {
            out.stop = EventListing::kReadError;
            out.stopDate = file.date;
            break;
        }
        Fd fd(opened);
        long end = !at.top() && file.date == at.date ? std::min(at.offset, size) : size;
        BackwardLines lines(fd.get(), end, &budget);
        if (at.top() && newest) {
            lines.dropUnfinishedLine();
            out.start = {file.date, lines.position()};
        }
        newest = false;
        bool more = i + 1 < files.size();
        for (;;) {
            Read read = lines.previous();
            if (read == Read::kEnd)
                break;
            bool full = out.records.size() == count;
            if (read == Read::kError) {
                out.stop = EventListing::kReadError;
                out.stopDate = file.date;
                return out;
            }
            if (read == Read::kLimit) {
                if (!full)
                    out.stop = EventListing::kScanLimit;
                out.hasOlder = true;
                out.older = {file.date, lines.position()};
                break;
            }
            RecordView record;
            if (read == Read::kBad || !parseView(lines.line(), &record)) {
                if (full) {
                    // The next page starts at the bad line and reports it.
                    out.hasOlder = true;
                    out.older = {file.date, lines.end()};
                } else {
                    out.stop = EventListing::kBadLine;
                    out.stopDate = file.date;
                    out.hasOlder = lines.start() > 0 || more;
                    out.older = {file.date, lines.start()};
                }
                break;
            }
            if (!matches(record, filter))
                continue;
            if (full) {
                out.hasOlder = true;
                out.older = {file.date, lines.end()};
                break;
            }
            out.records.push_back(toRecord(record));
        }
        if (out.hasOlder || out.stop != EventListing::kComplete)
            break;
    }
    if (!at.top())
        findNewer(files, filter, at, count, scanLimit, &out);
    return out;
}

std::vector<EventRecord> newestEvents(const std::string& directory, std::string_view prefix,
                                      size_t count) {
    return listEvents(directory, prefix, EventFilter(), EventPosition(), count).records;
}

}  // namespace console
