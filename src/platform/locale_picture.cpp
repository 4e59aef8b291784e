#include "platform/locale_picture.h"

#include <cstring>

#include "platform/locale.h"

namespace nvl::sys::picture {

void Text::grow(size_t needed) {
    size_t capacity = capacity_ * 2;
    while (capacity < needed)
        capacity *= 2;
    auto bigger = std::make_unique<char16_t[]>(capacity);
    std::memcpy(bigger.get(), data_, size_ * sizeof(char16_t));
    heap_ = std::move(bigger);
    data_ = heap_.get();
    capacity_ = capacity;
}

char16_t* Text::reserve(size_t units) {
    if (capacity_ - size_ < units)
        grow(size_ + units);
    return data_ + size_;
}

void Text::append(std::u16string_view text) {
    char16_t* to = reserve(text.size());
    if (!text.empty())
        std::memcpy(to, text.data(), text.size() * sizeof(char16_t));
    size_ += text.size();
}

void Text::appendNumber(unsigned value, int minDigits) {
    if (value < 100 && minDigits <= 2) {  // days, months, hours, minutes, seconds
        char16_t* to = reserve(2);
        if (value >= 10 || minDigits == 2) {
            to[0] = static_cast<char16_t>(u'0' + value / 10);
            to[1] = static_cast<char16_t>(u'0' + value % 10);
            size_ += 2;
        } else {
            to[0] = static_cast<char16_t>(u'0' + value);
            size_ += 1;
        }
        return;
    }
    char16_t digits[12];
    int n = 0;
    do {
        digits[n++] = static_cast<char16_t>(u'0' + value % 10);
        value /= 10;
    } while (value != 0 && n < 12);
    while (n < minDigits && n < 12)
        digits[n++] = u'0';
    char16_t* to = reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        to[i] = digits[n - 1 - i];
    size_ += static_cast<size_t>(n);
}

namespace {

bool isDateField(char16_t c) {
    return c == u'd' || c == u'M' || c == u'y' || c == u'g';
}

bool isTimeField(char16_t c) {
    return c == u'h' || c == u'H' || c == u'm' || c == u's' || c == u't';
}

// Whether the full month name at `at` takes the genitive form: the nearest day field before
// or after it is a day number (d or dd), not a weekday name.
bool genitiveAt(const Tokens& tokens, size_t at) {
    for (size_t i = at; i-- > 0;) {
        if (tokens[i].count != 0 && tokens[i].ch == u'd') {
            if (tokens[i].count <= 2)
                return true;
            break;
        }
    }
    for (size_t i = at + 1; i < tokens.size(); ++i) {
        if (tokens[i].count != 0 && tokens[i].ch == u'd')
            return tokens[i].count <= 2;
    }
    return false;
}

}  // namespace

Tokens::Tokens(std::u16string_view picture, Kind kind) {
    if (picture.size() > 128) {
        heap_ = std::make_unique<Token[]>(picture.size());
        data_ = heap_.get();
    }
    bool quoted = false;
    size_t n = picture.size();
    auto add = [this](char16_t c, uint16_t count) { data_[size_++] = Token{c, count, false}; };
    for (size_t i = 0; i < n;) {
        char16_t c = picture[i];
        if (c == u'\'') {
            if (quoted && i + 1 < n && picture[i + 1] == u'\'') {
                add(c, 0);  // '' inside quotes: one quote
                i += 2;
            } else {
                quoted = !quoted;  // outside quotes '' opens and closes: nothing
                ++i;
            }
            continue;
        }
        if (quoted || !(kind == kDate ? isDateField(c) : isTimeField(c))) {
            add(c, 0);
            ++i;
            continue;
        }
        size_t run = i + 1;
        while (run < n && picture[run] == c)
            ++run;
        size_t count = run - i;
        add(c, static_cast<uint16_t>(count > 0xFFFF ? 0xFFFF : count));
        i = run;
    }
}

DatePicture::DatePicture(std::u16string_view picture) : tokens_(picture, Tokens::kDate) {}

unsigned DatePicture::needs() const {
    const Tokens& tokens = tokens_;
    unsigned needs = 0;
    for (size_t i = 0; i < tokens.size(); ++i) {
        const Token& t = tokens[i];
        if (t.count == 0)
            continue;
        if (t.ch == u'y')
            needs |= kNeedsYear;
        else if (t.ch == u'g')
            needs |= kNeedsEra;
        else if (t.count >= 3)
            needs |= kNeedsNames;
    }
    return needs;
}

void DatePicture::format(const DateParts& date, NameSource& source, Text* out) const {
    const Tokens& tokens = tokens_;
    const icu::NameSet* names = nullptr;
    bool namesAsked = false;
    auto lookUp = [&]() -> const icu::NameSet* {
        if (!namesAsked) {
            names = source.names();
            namesAsked = true;
        }
        return names;
    };
    for (size_t i = 0; i < tokens.size(); ++i) {
        const Token& t = tokens[i];
        if (t.count == 0) {
            out->push(t.ch);
            continue;
        }
        switch (t.ch) {
            case u'd':
                if (t.count <= 2) {
                    out->appendNumber(static_cast<unsigned>(date.day), t.count);
                } else if (const icu::NameSet* n = lookUp()) {
                    out->append(t.count == 3 ? n->abbrevDay[date.dayOfWeek]
                                             : n->day[date.dayOfWeek]);
                }
                break;
            case u'M':
                if (t.count <= 2) {
                    out->appendNumber(static_cast<unsigned>(date.month), t.count);
                } else if (const icu::NameSet* n = lookUp()) {
                    int m = date.month - 1;
                    if (t.count == 3)
                        out->append(n->abbrevMonth[m]);
                    else
                        out->append(genitiveAt(tokens, i) ? n->monthGenitive[m] : n->month[m]);
                }
                break;
            case u'y': {
                unsigned year = date.year > 0 ? static_cast<unsigned>(date.year) : 0;
                if (date.eraYears) {
                    out->appendNumber(year, t.count == 1 ? 1 : 2);
                } else if (t.count == 1) {
                    out->appendNumber(year % 100, 1);
                } else if (t.count == 2) {
                    out->appendNumber(year % 100, 2);
                } else {
                    out->appendNumber(year, 4);
                }
                break;
            }
            case u'g':
                out->append(date.era);
                break;
            default:
                break;
        }
    }
}

std::u16string_view dateSeparator(std::u16string_view picture, char16_t* buffer, size_t capacity) {
    Tokens tokens(picture, Tokens::kDate);
    size_t length = 0;
    int fields = 0;
    for (size_t i = 0; i < tokens.size() && fields < 2; ++i) {
        const Token& t = tokens[i];
        if (t.count != 0) {
            if (t.ch != u'g' && ++fields == 2)
                break;
            continue;
        }
        bool mark = t.ch == 0x200E || t.ch == 0x200F || t.ch == 0x061C;
        if (fields == 1 && !mark && length < capacity)
            buffer[length++] = t.ch;
    }
    return fields == 2 ? std::u16string_view(buffer, length) : std::u16string_view();
}

void formatTime(std::u16string_view picture, uint32_t flags, int hour, int minute, int second,
                std::u16string_view am, std::u16string_view pm, Text* out) {
    Tokens tokens(picture, Tokens::kTime);
    size_t n = tokens.size();

    // Fields the flags take away, with the literal text that belongs to them: the text back
    // to the previous field, and after a marker the text up to the next field, after minutes
    // or seconds the text up to a space or the next field.
    bool dropMinutes = (flags & kTimeNoMinutesOrSeconds) != 0;
    bool dropSeconds = dropMinutes || (flags & kTimeNoSeconds) != 0;
    bool dropMarker = (flags & kTimeNoTimeMarker) != 0;
    if (dropMinutes || dropSeconds || dropMarker) {
        for (size_t i = 0; i < n; ++i) {
            Token& t = tokens[i];
            if (t.count == 0)
                continue;
            bool marker = t.ch == u't';
            if (!((marker && dropMarker) || (t.ch == u'm' && dropMinutes) ||
                  (t.ch == u's' && dropSeconds)))
                continue;
            t.dropped = true;
            for (size_t j = i; j-- > 0 && tokens[j].count == 0;)
                tokens[j].dropped = true;
            for (size_t j = i + 1; j < n && tokens[j].count == 0; ++j) {
                if (!marker && tokens[j].ch == u' ')
                    break;
                tokens[j].dropped = true;
            }
        }
    }

    bool force24 = (flags & kTimeForce24HourFormat) != 0;
    std::u16string_view marker = hour < 12 ? am : pm;
    for (size_t i = 0; i < n; ++i) {
        const Token& t = tokens[i];
        if (t.dropped)
            continue;
        if (t.count == 0) {
            out->push(t.ch);
            continue;
        }
        int digits = t.count >= 2 ? 2 : 1;
        switch (t.ch) {
            case u'h':
                if (!force24) {
                    int h12 = hour % 12 == 0 ? 12 : hour % 12;
                    out->appendNumber(static_cast<unsigned>(h12), digits);
                    break;
                }
                [[fallthrough]];
            case u'H':
                out->appendNumber(static_cast<unsigned>(hour), digits);
                break;
            case u'm':
                out->appendNumber(static_cast<unsigned>(minute), digits);
                break;
            case u's':
                out->appendNumber(static_cast<unsigned>(second), digits);
                break;
            case u't':
                if (t.count == 1) {
                    if (!marker.empty()) {
                        bool pair = marker.size() >= 2 && marker[0] >= 0xD800 &&
                                    marker[0] < 0xDC00 && marker[1] >= 0xDC00 && marker[1] < 0xE000;
                        out->append(marker.substr(0, pair ? 2 : 1));
                    }
                } else {
                    out->append(marker);
                }
                break;
            default:
                break;
        }
    }
}

}  // namespace nvl::sys::picture
