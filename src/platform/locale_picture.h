// The date and time picture formatter of the locale module: GetDateFormat / GetTimeFormat
// notation (locale.h has the rules) applied to a date or a time, in UTF-16.
//
// It knows nothing of locales: the caller hands it the calendar's year and era text, and the
// names and AM/PM texts. Names are asked for through NameSource only when a picture has a
// name field, so a numeric picture never makes the caller load them. A picture is read once
// into fields and literal characters (quotes resolved); the time flags then drop fields with
// the literal text around them, and what is left is written out. Nothing here allocates for
// pictures and results up to a few hundred characters: the console's pictures are short,
// and this is the path every page that shows a date takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/locale_icu.h"

namespace nvl::sys::picture {

// A growing UTF-16 buffer that lives on the stack up to its first 256 units.
class Text {
  public:
    Text() = default;
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;

    void push(char16_t c) {
        if (size_ == capacity_)
            grow(size_ + 1);
        data_[size_++] = c;
    }
    void append(std::u16string_view text);
    void appendNumber(unsigned value, int minDigits);
    char16_t* reserve(size_t units);  // room for `units` more; commit with setSize
    void setSize(size_t size) { size_ = size; }
    void clear() { size_ = 0; }

    const char16_t* data() const { return data_; }
    size_t size() const { return size_; }
    std::u16string_view view() const { return {data_, size_}; }

  private:
    void grow(size_t needed);

    char16_t local_[256];
    std::unique_ptr<char16_t[]> heap_;
    char16_t* data_ = local_;
    size_t size_ = 0;
    size_t capacity_ = 256;
};

// Supplies the names of the locale and calendar on first need; null when they are unknown
// (the name fields then come out empty).
class NameSource {
  public:
    virtual const icu::NameSet* names() = 0;

  protected:
    ~NameSource() = default;
};

struct DateParts {
    int year;  // in the calendar (era year, Taiwan year, Tangun year, or Gregorian)
    int month;
    int day;
    int dayOfWeek;  // 0 = Sunday
    bool eraYears;  // Japanese or Taiwan calendar: years count from the era, at least 2 digits
                    // for yy and more, and y is the whole year
    std::u16string_view era;
};

// Which calendar-dependent fields a date picture has: the caller needs to know the calendar
// (a registry read) only for these.
enum PictureNeeds : unsigned {
    kNeedsYear = 1,
    kNeedsEra = 2,
    kNeedsNames = 4,
};

// One element of a read picture: a field (a letter and how often it repeats) or one literal
// character (count 0).
struct Token {
    char16_t ch;
    uint16_t count;
    bool dropped;
};

// A picture read into tokens; on the stack for pictures up to 128 elements.
class Tokens {
  public:
    enum Kind { kDate, kTime };  // which letters are fields
    Tokens(std::u16string_view picture, Kind kind);
    Tokens(const Tokens&) = delete;
    Tokens& operator=(const Tokens&) = delete;

    size_t size() const { return size_; }
    Token& operator[](size_t i) { return data_[i]; }
    const Token& operator[](size_t i) const { return data_[i]; }

  private:
    Token local_[128];
    std::unique_ptr<Token[]> heap_;
    Token* data_ = local_;
    size_t size_ = 0;
};

// A date picture, read once: what it needs, then the text for a date.
class DatePicture {
  public:
    explicit DatePicture(std::u16string_view picture);
    unsigned needs() const;  // PictureNeeds bits
    void format(const DateParts& date, NameSource& names, Text* out) const;

  private:
    Tokens tokens_;
};

// The date separator a short-date picture implies: the literal text between its first two day,
// month or year fields, quotes resolved and direction marks left out, at most `capacity`
// units written to `buffer`. Empty when the picture has fewer than two such fields or nothing
// between them.
std::u16string_view dateSeparator(std::u16string_view picture, char16_t* buffer, size_t capacity);

// `flags`: the TIME_* flags of locale.h.
void formatTime(std::u16string_view picture, uint32_t flags, int hour, int minute, int second,
                std::u16string_view am, std::u16string_view pm, Text* out);

}  // namespace nvl::sys::picture
