#include "platform/wide_format.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/codepage.h"

namespace nvl::sys {

namespace {

// Widths and precisions beyond this change nothing a caller's buffer could show.
constexpr int kMaxField = 1 << 16;

class Output {
  public:
    Output(char16_t* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}

    void put(char16_t c) {
        if (length_ + 1 < capacity_)
            buffer_[length_] = c;
        ++length_;
    }
    void put(const char16_t* text, size_t count) {
        for (size_t i = 0; i < count; ++i)
            put(text[i]);
    }
    void putAscii(const char* text, size_t count) {
        for (size_t i = 0; i < count; ++i)
            put(static_cast<char16_t>(static_cast<unsigned char>(text[i])));
    }
    void pad(size_t count) {
        for (size_t i = 0; i < count; ++i)
            put(u' ');
    }
    size_t finish() {
        if (capacity_ > 0)
            buffer_[length_ < capacity_ ? length_ : capacity_ - 1] = u'\0';
        return length_;
    }

  private:
    char16_t* buffer_;
    size_t capacity_;
    size_t length_ = 0;
};

enum class Size {
    Default,
    Char,
    Short,
    Long,
    LongLong,
    Int64,
    Int32,
    SizeT,
    IntMax,
    PtrDiff,
    LongDouble,
    Wide
};

struct FieldFormat {
    char flags[6] = {};
    int flagCount = 0;
    bool leftAlign = false;
    int width = -1;
    int precision = -1;
    Size size = Size::Default;
};

int readNumber(const char16_t*& p) {
    int value = 0;
    while (*p >= u'0' && *p <= u'9') {
        if (value < kMaxField)
            value = value * 10 + (*p - u'0');
        ++p;
    }
    return value < kMaxField ? value : kMaxField;
}

void putField(Output& out, const FieldFormat& field, const char16_t* text, size_t count) {
    size_t width = field.width > 0 ? static_cast<size_t>(field.width) : 0;
    size_t padding = width > count ? width - count : 0;
    if (!field.leftAlign)
        out.pad(padding);
    out.put(text, count);
    if (field.leftAlign)
        out.pad(padding);
}

void putNarrowField(Output& out, const FieldFormat& field, const char* text, size_t count) {
    std::u16string wide(count, u'\0');
    wide.resize(widenAnsi(text, count, wide.data(), wide.size()));
    putField(out, field, wide.data(), wide.size());
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
// One numeric conversion through snprintf: `conversion` is the C conversion letter and
// `length` the C size prefix matching `value`'s type.
template <typename T>
void putNumber(Output& out, const FieldFormat& field, const char* length, char conversion,
               T value) {
    char format[32];
    size_t n = 0;
    format[n++] = '%';
    for (int i = 0; i < field.flagCount; ++i)
        format[n++] = field.flags[i];
    format[n++] = '*';
    format[n++] = '.';
    format[n++] = '*';
    for (const char* l = length; *l != '\0'; ++l)
        format[n++] = *l;
    format[n++] = conversion;
    format[n] = '\0';
    const int width = field.width < 0 ? 0 : field.width;
    char small[128];
    int produced = std::snprintf(small, sizeof small, format, width, field.precision, value);
    if (produced < 0)
        return;
    if (static_cast<size_t>(produced) < sizeof small) {
        out.putAscii(small, static_cast<size_t>(produced));
        return;
    }
    std::string large(static_cast<size_t>(produced) + 1, '\0');
    std::snprintf(large.data(), large.size(), format, width, field.precision, value);
    out.putAscii(large.data(), static_cast<size_t>(produced));
}
#pragma GCC diagnostic pop

void putInteger(Output& out, const FieldFormat& field, char conversion, va_list& args) {
    const bool isSigned = conversion == 'd' || conversion == 'i';
    if (isSigned) {
        long long value;
        switch (field.size) {
            case Size::Char:
                value = static_cast<signed char>(va_arg(args, int));
                break;
            case Size::Short:
                value = static_cast<short>(va_arg(args, int));
                break;
            case Size::Long:
                value = va_arg(args, long);
                break;
            case Size::LongLong:
                value = va_arg(args, long long);
                break;
            case Size::Int64:
                value = va_arg(args, int64_t);
                break;
            case Size::Int32:
                value = va_arg(args, int32_t);
                break;
            case Size::SizeT:
                value = static_cast<long long>(va_arg(args, ptrdiff_t));
                break;
            case Size::IntMax:
                value = va_arg(args, intmax_t);
                break;
            case Size::PtrDiff:
                value = va_arg(args, ptrdiff_t);
                break;
            default:
                value = va_arg(args, int);
                break;
        }
        putNumber(out, field, "ll", conversion, value);
        return;
    }
    unsigned long long value;
    switch (field.size) {
        case Size::Char:
            value = static_cast<unsigned char>(va_arg(args, unsigned));
            break;
        case Size::Short:
            value = static_cast<unsigned short>(va_arg(args, unsigned));
            break;
        case Size::Long:
            value = va_arg(args, unsigned long);
            break;
        case Size::LongLong:
            value = va_arg(args, unsigned long long);
            break;
        case Size::Int64:
            value = va_arg(args, uint64_t);
            break;
        case Size::Int32:
            value = va_arg(args, uint32_t);
            break;
        case Size::SizeT:
            value = va_arg(args, size_t);
            break;
        case Size::IntMax:
            value = va_arg(args, uintmax_t);
            break;
        case Size::PtrDiff:
            value = static_cast<unsigned long long>(va_arg(args, ptrdiff_t));
            break;
        default:
            value = va_arg(args, unsigned);
            break;
    }
    putNumber(out, field, "ll", conversion, value);
}

}  // namespace

size_t widenAnsi(const char* src, size_t length, char16_t* dst, size_t capacity) {
    if (length == 0)
        return 0;
    size_t i = 0;
    while (i < length && static_cast<unsigned char>(src[i]) < 0x80)
        ++i;
    if (i == length) {
        size_t count = length < capacity ? length : capacity;
        for (size_t k = 0; k < count; ++k)
            dst[k] = static_cast<char16_t>(src[k]);
        return count;
    }
    int written = multiByteToWideChar(kCodePageAnsi, src, static_cast<int>(length), dst,
                                      static_cast<int>(capacity));
    return written > 0 ? static_cast<size_t>(written) : 0;
}

size_t formatWide(char16_t* buffer, size_t capacity, const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    size_t length = formatWideV(buffer, capacity, format, args);
    va_end(args);
    return length;
}

size_t formatWideV(char16_t* buffer, size_t capacity, const char16_t* format, va_list argsIn) {
    Output out(buffer, capacity);
    if (format == nullptr)
        return out.finish();
    va_list args;
    va_copy(args, argsIn);
    const char16_t* p = format;
    while (*p != u'\0') {
        if (*p != u'%') {
            out.put(*p++);
            continue;
        }
        const char16_t* start = p++;
        FieldFormat field;
        for (;; ++p) {
            char flag;
            switch (*p) {
                case u'-':
                    flag = '-';
                    field.leftAlign = true;
                    break;
                case u'+':
                    flag = '+';
                    break;
                case u' ':
                    flag = ' ';
                    break;
                case u'#':
                    flag = '#';
                    break;
                case u'0':
                    flag = '0';
                    break;
                default:
                    flag = '\0';
                    break;
            }
            if (flag == '\0')
                break;
            if (field.flagCount < 5 && std::strchr(field.flags, flag) == nullptr) {
                field.flags[field.flagCount++] = flag;
            }
        }
        if (*p == u'*') {
            ++p;
            field.width = va_arg(args, int);
            if (field.width < 0) {
                field.leftAlign = true;
                if (field.flagCount < 5 && std::strchr(field.flags, '-') == nullptr) {
                    field.flags[field.flagCount++] = '-';
                }
                field.width = field.width == INT32_MIN ? kMaxField : -field.width;
            }
            if (field.width > kMaxField)
                field.width = kMaxField;
        } else if (*p >= u'1' && *p <= u'9') {
            field.width = readNumber(p);
        }
        if (*p == u'.') {
            ++p;
            if (*p == u'*') {
                ++p;
                field.precision = va_arg(args, int);
                if (field.precision < 0)
                    field.precision = -1;
                if (field.precision > kMaxField)
                    field.precision = kMaxField;
            } else {
                field.precision = readNumber(p);
            }
        }
        switch (*p) {
            case u'h':
                ++p;
                field.size = Size::Short;
                if (*p == u'h')
                    ++p, field.size = Size::Char;
                break;
            case u'l':
                ++p;
                field.size = Size::Long;
                if (*p == u'l')
                    ++p, field.size = Size::LongLong;
                break;
            case u'q':
                ++p;
                field.size = Size::LongLong;
                break;
            case u'L':
                ++p;
                field.size = Size::LongDouble;
                break;
            case u'j':
                ++p;
                field.size = Size::IntMax;
                break;
            case u'z':
                ++p;
                field.size = Size::SizeT;
                break;
            case u't':
                ++p;
                field.size = Size::PtrDiff;
                break;
            case u'w':
                ++p;
                field.size = Size::Wide;
                break;
            case u'I':
                if (p[1] == u'6' && p[2] == u'4') {
                    p += 3;
                    field.size = Size::Int64;
                } else if (p[1] == u'3' && p[2] == u'2') {
                    p += 3;
                    field.size = Size::Int32;
                } else {
                    ++p;
                    field.size = Size::SizeT;
                }
                break;
            default:
                break;
        }
        const char16_t conversion = *p;
        if (conversion != u'\0')
            ++p;
        switch (conversion) {
            case u'%':
                out.put(u'%');
                break;
            case u'd':
            case u'i':
            case u'u':
            case u'o':
            case u'x':
            case u'X':
                putInteger(out, field, static_cast<char>(conversion), args);
                break;
            case u'e':
            case u'E':
            case u'f':
            case u'F':
            case u'g':
            case u'G':
            case u'a':
            case u'A':
                if (field.size == Size::LongDouble) {
                    putNumber(out, field, "L", static_cast<char>(conversion),
                              va_arg(args, long double));
                } else {
                    putNumber(out, field, "", static_cast<char>(conversion), va_arg(args, double));
                }
                break;
            case u'p':
                putNumber(out, field, "", 'p', va_arg(args, void*));
                break;
            case u'n':
                (void)va_arg(args, void*);
                break;
            case u'c':
            case u'C': {
                const bool narrow =
                    field.size == Size::Short ||
                    (conversion == u'C' && field.size != Size::Long && field.size != Size::Wide);
                if (narrow) {
                    char c = static_cast<char>(va_arg(args, int));
                    putNarrowField(out, field, &c, 1);
                } else {
                    char16_t c = static_cast<char16_t>(va_arg(args, int));
                    putField(out, field, &c, 1);
                }
                break;
            }
            case u's':
            case u'S': {
                const bool narrow =
                    field.size == Size::Short ||
                    (conversion == u'S' && field.size != Size::Long && field.size != Size::Wide);
                const size_t limit =
                    field.precision < 0 ? SIZE_MAX : static_cast<size_t>(field.precision);
                if (narrow) {
                    const char* text = va_arg(args, const char*);
                    if (text == nullptr)
                        text = "(null)";
                    putNarrowField(out, field, text, ::strnlen(text, limit));
                } else {
                    const char16_t* text = va_arg(args, const char16_t*);
                    if (text == nullptr)
                        text = u"(null)";
                    size_t count = 0;
                    while (count < limit && text[count] != u'\0')
                        ++count;
                    putField(out, field, text, count);
                }
                break;
            }
            default:
                // Not a conversion: shown as written.
                out.put(start, static_cast<size_t>(p - start));
                break;
        }
    }
    va_end(args);
    return out.finish();
}

}  // namespace nvl::sys
