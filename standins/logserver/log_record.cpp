#include "log_record.h"

#include <charconv>
#include <cstdio>

namespace nvl::logserver {

namespace {

constexpr size_t kFieldCount = 8;

// A view of the message's UTF-16LE units (the final NUL excluded).
class Units {
  public:
    Units(const uint8_t* data, size_t count) : data_(data), count_(count) {}
    size_t size() const { return count_; }
    char16_t operator[](size_t i) const {
        return static_cast<char16_t>(data_[2 * i] | (data_[2 * i + 1] << 8));
    }

  private:
    const uint8_t* data_;
    size_t count_;
};

void appendUtf8(char32_t c, std::string* out) {
    if (c < 0x80) {
        out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (c >> 6)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (c >> 12)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (c >> 18)));
        out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Units [begin, end) as escaped UTF-8.
std::string decodeText(const Units& units, size_t begin, size_t end) {
    std::string out;
    out.reserve(end - begin);
    for (size_t i = begin; i < end; ++i) {
        char32_t c = units[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < end && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if ((c < 0x20 && c != '\t') || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(c));
            out += escaped;
        } else {
            appendUtf8(c, &out);
        }
    }
    return out;
}

// A decimal field: an optional '-' (when `T` is signed) and 1 to 20 digits, in range.
template <typename T>
bool parseNumber(const Units& units, size_t begin, size_t end, T* value) {
    char digits[24];
    size_t n = end - begin;
    if (n == 0 || n >= sizeof digits)
        return false;
    for (size_t i = 0; i < n; ++i) {
        char16_t c = units[begin + i];
        bool sign = i == 0 && c == u'-' && n > 1;
        if (!(c >= u'0' && c <= u'9') && !sign)
            return false;
        digits[i] = static_cast<char>(c);
    }
    auto result = std::from_chars(digits, digits + n, *value);
    return result.ec == std::errc() && result.ptr == digits + n;
}

}  // namespace

const char* parseLogCommand(const uint8_t* data, size_t size, LogRecord* out) {
    if (size < 2 || size % 2 != 0)
        return "not a whole number of UTF-16 units";
    Units all(data, size / 2);
    if (all[all.size() - 1] != u'\0')
        return "no terminating NUL unit";
    Units units(data, all.size() - 1);

    size_t starts[kFieldCount + 1];
    size_t fields = 1;
    starts[0] = 0;
    for (size_t i = 0; i < units.size(); ++i) {
        if (units[i] == u'\0')
            return "NUL unit inside the message";
        if (units[i] == u'\t' && fields < kFieldCount)
            starts[fields++] = i + 1;
    }
    if (fields < kFieldCount)
        return "fewer than eight fields";
    starts[kFieldCount] = units.size() + 1;
    auto end = [&](size_t field) { return starts[field + 1] - 1; };

    constexpr std::u16string_view kCommand = u"LOG_WRITE";
    if (end(0) - starts[0] != kCommand.size())
        return "not a LOG_WRITE command";
    for (size_t i = 0; i < kCommand.size(); ++i) {
        if (units[i] != kCommand[i])
            return "not a LOG_WRITE command";
    }
    LogRecord record;
    if (!parseNumber(units, starts[1], end(1), &record.time))
        return "bad time";
    if (!parseNumber(units, starts[2], end(2), &record.processId))
        return "bad process id";
    if (!parseNumber(units, starts[3], end(3), &record.threadId))
        return "bad thread id";
    if (!parseNumber(units, starts[4], end(4), &record.level))
        return "bad level";
    if (!parseNumber(units, starts[6], end(6), &record.line))
        return "bad line number";
    record.source = decodeText(units, starts[5], end(5));
    record.text = decodeText(units, starts[7], units.size());
    *out = std::move(record);
    return nullptr;
}

const std::string& LineFormatter::timeText(int64_t time) {
    if (time != cachedTime_) {
        cachedTime_ = time;
        time_t seconds = static_cast<time_t>(time);
        tm local{};
        char text[64];
        if (::localtime_r(&seconds, &local) != nullptr &&
            std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) > 0) {
            cachedText_ = text;
        } else {
            cachedText_ = "@" + std::to_string(time);
        }
    }
    return cachedText_;
}

void LineFormatter::appendRecord(const LogRecord& record, std::string* out) {
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, " pid=%u tid=%u level=%d ", record.processId,
                  record.threadId, record.level);
    *out += timeText(record.time);
    *out += numbers;
    *out += record.source;
    *out += ':';
    *out += std::to_string(record.line);
    *out += ' ';
    *out += record.text;
    *out += '\n';
}

void LineFormatter::appendNote(int64_t time, std::string_view note, std::string* out) {
    *out += timeText(time);
    *out += " logserver: ";
    *out += note;
    *out += '\n';
}

}  // namespace nvl::logserver
