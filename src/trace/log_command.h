// LogCommand: one LOG_WRITE command for the log server.
//
// Wire form, as the log server reads it: the fields in UTF-16LE, each but the first preceded
// by one TAB (U+0009), without quoting or escaping, and one U+0000 unit at the end that is
// part of the message. The trace line is the last field, so it may itself hold TABs: a reader
// takes everything after the seventh TAB as the text. Fields in order:
//   LOG_WRITE, time (seconds since 1970 UTC, signed), process id, thread id (unsigned),
//   level (signed), source file, line (signed), text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace nvl::trace {

class LogCommand {
  public:
    LogCommand();
    virtual ~LogCommand() = default;
    LogCommand(const LogCommand&) = delete;
    LogCommand& operator=(const LogCommand&) = delete;

    // Appends a field of `length` units, or up to its NUL when `length` is negative; a null
    // field is empty.
    void add(const char16_t* field, int length = -1);
    void addSigned(long long value);
    void addUnsigned(unsigned long long value);

    // The command; data() is followed by the NUL unit that ends the message.
    const std::u16string& text() const { return text_; }
    // The size of the message on the wire: two bytes per unit and the final NUL unit.
    size_t byteSize() const { return (text_.size() + 1) * sizeof(char16_t); }

  private:
    std::u16string separator_;
    std::u16string text_;
    bool first_ = true;
};

}  // namespace nvl::trace
