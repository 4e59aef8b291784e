// Reads arbitrary bytes as an update log: lines out of the file, fields out of each line.
// Checks that every line fits the line buffer and every field lies inside it.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "logs/update_log_reader.h"
#include "platform/file.h"

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

bool inside(const char* field, const char* line, size_t length) {
    return field == nullptr || (field >= line && field <= line + length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int fd = ::memfd_create("update.log", MFD_CLOEXEC);
    check(fd >= 0);
    check(::ftruncate(fd, 0) == 0);
    check(::lseek(fd, 0, SEEK_SET) == 0);
    check(nvl::sys::writeAll(fd, std::string_view(reinterpret_cast<const char*>(data), size)) == 0);
    check(::lseek(fd, 0, SEEK_SET) == 0);

    nvl::logs::UpdateLogLineReader reader(fd);
    size_t lines = 0;
    for (;;) {
        nvl::logs::UpdateLogLineReader::Status status = reader.next();
        if (status != nvl::logs::UpdateLogLineReader::Status::kLine)
            break;
        ++lines;
        check(lines <= size);
        size_t length = reader.length();
        check(length <= nvl::logs::kUpdateLogLineBuffer - 1);  // line feed included
        check(reader.line()[length] == '\0');
        char* line = reader.line();
        nvl::logs::UpdateLogFields fields;
        bool complete =
            nvl::logs::splitUpdateLogLine(line, nvl::logs::kUpdateLogLineBuffer, &fields);
        check(inside(fields.timeStamp, line, length) && inside(fields.kind, line, length) &&
              inside(fields.message, line, length));
        check(!complete || fields.message != nullptr);
        if (fields.message != nullptr)
            check(std::strlen(fields.message) <= length);
    }
    return 0;
}
