// The event log writer; what it promises is set out in <cgishare/event_log.h>.
#include "cgishare/event_log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "logs/log_file.h"
#include "platform/process.h"

namespace {

constexpr unsigned kAlwaysWritten = 0;  // the class of events 69 to 78
constexpr size_t kDirectoryBuffer = 256;
constexpr size_t kMaxPath = 255;

struct EventInfo {
    const char* text;
    unsigned flag;
};

// Indexed by NvlEventID; entry 0 is no event.
constexpr EventInfo kEvents[] = {
    {nullptr, 0},
    {"client start up", 0x001},
    {"client shutdown", 0x001},
    {"pattern updated", 0x002},
    {"program updated", 0x002},
    {"engine updated", 0x002},
    {"HotFix updated", 0x002},
    {"client installed", 0x004},
    {"client uninstalled", 0x004},
    {"client purged", 0x004},
    {"manual scan", 0x008},
    {"realtime scan", 0x008},
    {"scheduled scan", 0x008},
    {"scan now", 0x008},
    {"INI requested", 0x010},
    {"manual scan cfg requested", 0x010},
    {"realtime scan cfg requested", 0x010},
    {"scheduled scan cfg requested", 0x010},
    {"scan now cfg requested", 0x010},
    {"exclusive file cfg requested", 0x010},
    {"all scan cfg requested", 0x010},
    {"alert msg requested", 0x010},
    {"manual scan cfg changed", 0x020},
    {"realtime scan cfg changed", 0x020},
    {"schedule scan cfg changed", 0x020},
    {"scan now cfg changed", 0x020},
    {"exclusive file cfg changed", 0x020},
    {"alert msg changed", 0x020},
    {"manual scan cfg reported", 0x040},
    {"realtime scan cfg reported", 0x040},
    {"scheduled scan cfg reported", 0x040},
    {"exclusive file cfg reported", 0x040},
    {"manual pattern downloading", 0x080},
    {"manual pattern downloaded", 0x080},
    {"manual program downloading", 0x080},
    {"manual program downloaded", 0x080},
    {"manual engine downloading", 0x080},
    {"manual engine downloaded", 0x080},
    {"scheduled pattern downloading", 0x080},
    {"scheduled pattern downloaded", 0x080},
    {"scheduled program downloading", 0x080},
    {"scheduled program downloaded", 0x080},
    {"scheduled engine downloading", 0x080},
    {"scheduled engine downloaded", 0x080},
    {"virus detected", 0x100},
    {"outbreak alert", 0x100},
    {"virus log purged", 0x100},
    {"manual scan cfg notified", 0x200},
    {"realtime scan cfg notified", 0x200},
    {"scheduled scan cfg notified", 0x200},
    {"remote scan cfg notified", 0x200},
    {"exclusive file cfg notified", 0x200},
    {"scan now notified", 0x200},
    {"stop scan now notified", 0x200},
    {"uninstall notified", 0x200},
    {"expire notified", 0x200},
    {"rollback notified", 0x200},
    {"alert msg notified", 0x200},
    {"proxy notified", 0x200},
    {"privilege notified", 0x200},
    {"protocol notified", 0x200},
    {"server setting notified", 0x200},
    {"update notified", 0x200},
    {"config change notfied", 0x200},
    {"stop realtime service", 0x200},
    {"start realtime service", 0x200},
    {"restart service", 0x200},
    {"change new guid", 0x200},
    {"new startup", 0x200},
    {"unknown event1", kAlwaysWritten},
    {"unknown event2", kAlwaysWritten},
    {"unknown event3", kAlwaysWritten},
    {"unknown event4", kAlwaysWritten},
    {"unknown event5", kAlwaysWritten},
    {"unknown event6", kAlwaysWritten},
    {"unknown event7", kAlwaysWritten},
    {"unknown event8", kAlwaysWritten},
    {"unknown event9", kAlwaysWritten},
    {"unknown event10", kAlwaysWritten},
};
static_assert(std::size(kEvents) == 79, "one entry per event value 1..78");

unsigned g_flags = 0;
char g_directory[kDirectoryBuffer] = "";

// Appends `value` in decimal with at least `digits` digits, as "%.<digits>d" does.
void appendNumber(std::string* out, long value, int digits) {
    char buffer[24];
    char* end = buffer + sizeof buffer;
    char* p = end;
    unsigned long magnitude =
        value < 0 ? 0ul - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
        *--p = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (end - p < digits)
        *--p = '0';
    if (value < 0)
        *--p = '-';
    out->append(p, static_cast<size_t>(end - p));
}

// Collects the caller's texts of one record up to a fixed size. Line breaks inside them
// become spaces: they would split the record into two lines.
class BoundedText {
  public:
    BoundedText(std::string* out, size_t limit) : out_(out), limit_(limit) {}

    size_t room() const { return limit_ > out_->size() ? limit_ - out_->size() : 0; }

    void append(const char* text, size_t length) {
        length = std::min(length, room());
        for (size_t i = 0; i < length; ++i) {
            char c = text[i];
            out_->push_back(c == '\r' || c == '\n' ? ' ' : c);
        }
    }
    void pad(size_t count) { out_->append(std::min(count, room()), ' '); }

  private:
    std::string* out_;
    size_t limit_;
};

// Applies the caller's detail format to its three texts. Only text conversions are
// understood ("%s" with '-', width and precision, and "%%"); everything else, and any "%s"
// after the third, is copied as it stands, so no format can reach past the three texts.
void appendDetail(BoundedText* out, const char* format, const char* const texts[3]) {
    size_t next = 0;
    const char* p = format;
    while (*p != '\0' && out->room() > 0) {
        if (*p != '%') {
            const char* end = std::strchr(p, '%');
            size_t length = end != nullptr ? static_cast<size_t>(end - p) : std::strlen(p);
            out->append(p, length);
            p += length;
            continue;
        }
        if (p[1] == '%') {
            out->append("%", 1);
            p += 2;
            continue;
        }
        const char* q = p + 1;
        bool left = false;
        while (*q == '-' || *q == ' ' || *q == '+' || *q == '#' || *q == '0') {
            left = left || *q == '-';
            ++q;
        }
        // Widths and precisions beyond a record's size mean the same as the record's size.
        size_t width = 0;
        for (; *q >= '0' && *q <= '9'; ++q)
            width =
                std::min<size_t>(width * 10 + static_cast<size_t>(*q - '0'), kEventLogMaxRecord);
        bool hasPrecision = false;
        size_t precision = 0;
        if (*q == '.') {
            hasPrecision = true;
            for (++q; *q >= '0' && *q <= '9'; ++q)
                precision = std::min<size_t>(precision * 10 + static_cast<size_t>(*q - '0'),
                                             kEventLogMaxRecord);
        }
        if (*q != 's' || next == 3) {
            out->append("%", 1);
            ++p;
            continue;
        }
        const char* text = texts[next++];
        if (text == nullptr)
            text = "(null)";
        size_t length = strnlen(text, hasPrecision ? precision : kEventLogMaxRecord);
        size_t padding = width > length ? width - length : 0;
        if (!left)
            out->pad(padding);
        out->append(text, length);
        if (left)
            out->pad(padding);
        p = q + 1;
    }
}

}  // namespace

void SetEventLogFlag(unsigned int flags) {
    g_flags = flags;
}

void SetEventLogDir(char* directory) {
    if (directory == nullptr || directory[0] == '\0') {
        g_directory[0] = '\0';
        return;
    }
    size_t length = strnlen(directory, kDirectoryBuffer);
    bool needsSlash = directory[length - 1] != '/';
    if (length + (needsSlash ? 1 : 0) >= kDirectoryBuffer)
        return;
    std::memcpy(g_directory, directory, length);
    if (needsSlash)
        g_directory[length++] = '/';
    g_directory[length] = '\0';
}

char* GetEventLogDir() {
    return g_directory;
}

void EventLog(NvlEventID id, char* description, bool success, char* detailFormat, char* detail1,
              char* detail2, char* detail3) {
    if (id < 1 || id >= static_cast<int>(std::size(kEvents)))
        return;
    const EventInfo& event = kEvents[id];
    if (event.flag != kAlwaysWritten && (g_flags & event.flag) == 0)
        return;

    time_t now = nvl::sys::currentTime();
    struct tm local {};
    if (::localtime_r(&now, &local) == nullptr)
        return;
    int year = local.tm_year + 1900;
    int month = local.tm_mon + 1;

    // The fields are formed by hand rather than by printf: a record costs little beyond its
    // open, write and close, and the format would be most of that little.
    std::string path = g_directory;
    path += "nvl";
    appendNumber(&path, year, 4);
    appendNumber(&path, month, 2);
    appendNumber(&path, local.tm_mday, 2);
    path += ".log";
    if (path.size() > kMaxPath)
        return;

    // Everything but the closing ",\n" must fit in the record limit; the caller's texts give
    // way, the fixed fields never do.
    const char* result = success ? ", success, " : ", fail, ";
    const size_t resultLength = std::strlen(result);
    std::string record;
    record.reserve(256);
    appendNumber(&record, year, 4);
    record += '/';
    appendNumber(&record, month, 2);
    record += '/';
    appendNumber(&record, local.tm_mday, 2);
    record += ", ";
    appendNumber(&record, local.tm_hour, 2);
    record += ':';
    appendNumber(&record, local.tm_min, 2);
    record += ':';
    appendNumber(&record, local.tm_sec, 2);
    record += ", ";
    appendNumber(&record, id, 1);
    record += ", ";
    record += event.text;
    record += ", ";
    const size_t limit = kEventLogMaxRecord - 2;
    if (description == nullptr || description[0] == '\0') {
        record += '-';
    } else {
        // One character stays free for the detail, "-" when there is none.
        BoundedText text(&record, limit - resultLength - 1);
        text.append(description, strnlen(description, kEventLogMaxRecord));
    }
    record += result;
    if (detailFormat == nullptr) {
        record += '-';
    } else {
        BoundedText text(&record, limit);
        const char* const texts[3] = {detail1, detail2, detail3};
        appendDetail(&text, detailFormat, texts);
    }
    record += ",\n";

    nvl::sys::UniqueFd fd = nvl::logs::openForAppend(path);
    if (!fd)
        return;
    (void)nvl::logs::appendRecord(fd.get(), record);
}
