// The log server's decoder of LOG_WRITE commands, fed arbitrary messages.
#include <cstddef>
#include <cstdint>
#include <string>

#include "log_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nvl::logserver::LogRecord record;
    nvl::logserver::LineFormatter formatter;
    std::string line;
    if (nvl::logserver::parseLogCommand(data, size, &record) == nullptr) {
        formatter.appendRecord(record, &line);
    }
    return 0;
}
