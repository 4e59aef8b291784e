#include "support/trace_capture.h"

#include <sys/socket.h>

#include <cstdlib>

#include "platform/error.h"
#include "trace/trace_client.h"

namespace nvl::test {

TraceCapture::TraceCapture() {
    if (sys::PipeServer::create(trace::kLogPipeName, SOMAXCONN, true, &server_) == sys::kSuccess)
        trace::resetClientForTesting();
}

std::vector<TraceRecord> TraceCapture::take() {
    // Each message: LOG_WRITE, time, pid, tid, level, source, line, "[tag][program]text", as
    // UTF-16LE units ended by a NUL unit.
    std::vector<TraceRecord> records;
    sys::PipeConnection peer;
    while (server_.accept(&peer) == sys::kSuccess) {
        std::string bytes(sys::kPipeMaxMessage, '\0');
        size_t size = 0;
        if (peer.receive(bytes.data(), bytes.size(), &size) != sys::kSuccess)
            continue;
        std::string narrow;
        for (size_t i = 0; i + 1 < size; i += 2)
            narrow += bytes[i];
        if (!narrow.empty() && narrow.back() == '\0')
            narrow.pop_back();
        std::vector<std::string> fields;
        size_t start = 0;
        while (fields.size() < 7) {
            size_t tab = narrow.find('\t', start);
            if (tab == std::string::npos)
                break;
            fields.push_back(narrow.substr(start, tab - start));
            start = tab + 1;
        }
        if (fields.size() < 7)
            continue;
        std::string line = narrow.substr(start);
        // "[tag][program]" comes first; the message may itself start with brackets.
        size_t prefix = line.find(']');
        prefix = prefix == std::string::npos ? 0 : line.find(']', prefix + 1);
        records.push_back({std::atoi(fields[4].c_str()), fields[5],
                           prefix == std::string::npos ? line : line.substr(prefix + 1)});
    }
    return records;
}

std::vector<std::string> TraceCapture::texts() {
    std::vector<std::string> out;
    for (TraceRecord& record : take())
        out.push_back(std::move(record.text));
    return out;
}

}  // namespace nvl::test
