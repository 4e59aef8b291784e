#include "trace/log_command.h"

#include <charconv>

namespace nvl::trace {

namespace {
constexpr size_t kInitialCapacity = 1024;

template <typename T>
int decimal(T value, char16_t (&out)[24]) {
    char digits[24];
    char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    int n = 0;
    for (char* p = digits; p != end; ++p)
        out[n++] = static_cast<char16_t>(*p);
    return n;
}

}  // namespace

LogCommand::LogCommand() : separator_(u"\t") {
    text_.reserve(kInitialCapacity);
}

void LogCommand::add(const char16_t* field, int length) {
    size_t count = 0;
    if (field != nullptr) {
        if (length < 0) {
            while (field[count] != u'\0')
                ++count;
        } else {
            count = static_cast<size_t>(length);
        }
    }
    // The capacity doubles until the field fits, however long the field is.
    const size_t needed = text_.size() + separator_.size() + count;
    size_t capacity = text_.capacity();
    while (capacity < needed)
        capacity *= 2;
    text_.reserve(capacity);
    if (!first_)
        text_ += separator_;
    first_ = false;
    text_.append(field != nullptr ? field : u"", count);
}

void LogCommand::addSigned(long long value) {
    char16_t digits[24];
    add(digits, decimal(value, digits));
}

void LogCommand::addUnsigned(unsigned long long value) {
    char16_t digits[24];
    add(digits, decimal(value, digits));
}

}  // namespace nvl::trace
