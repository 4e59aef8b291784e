// The console's event-log reader on any bytes: the record parser (a record it accepts holds
// the line's own texts, cut by the documented rule), its CSV cells (which read back to the
// texts), and the listings of a log made of the input: two daily files of the input repeated
// up to 16 times so that lines fall across the read blocks, paged newest first. Every page
// shows at most its size, every older page starts before its page (so paging ends) and every
// newer page after it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "event_reader.h"
#include "log_view.h"

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

bool before(const console::EventPosition& a, const console::EventPosition& b) {
    return a.date < b.date || (a.date == b.date && a.offset < b.offset);
}

const std::string& directory() {
    static const std::string path = [] {
        char pattern[] = "/tmp/console-event-fuzz.XXXXXX";
        check(::mkdtemp(pattern) != nullptr);
        return std::string(pattern) + "/";
    }();
    return path;
}

void writeFile(const std::string& name, std::string_view bytes) {
    int fd = ::open((directory() + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    check(fd >= 0);
    check(::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

// Reads one CSV cell as appendCsvText wrote it.
std::string unquote(const std::string& cell) {
    check(cell.size() >= 2 && cell.front() == '"' && cell.back() == '"');
    std::string text;
    for (size_t i = 1; i + 1 < cell.size(); ++i) {
        text += cell[i];
        if (cell[i] == '"') {
            check(cell[i + 1] == '"');
            ++i;
        }
    }
    return text;
}

void checkCsv(const std::string& text) {
    std::string cell;
    console::appendCsvText(&cell, text);
    std::string back = unquote(cell);
    if (back != text) {
        // Only a text a spreadsheet would read as a formula gets the apostrophe.
        check(back == "'" + text);
        check(std::string_view("=+-@\t\r").find(text[0]) != std::string_view::npos);
    }
}

void checkRecord(std::string_view line) {
    console::EventRecord record;
    if (!console::parseEventRecord(line, &record))
        return;
    check(line.substr(0, 10) == record.date && line.substr(12, 8) == record.time);
    std::string tail = record.detail + ",";
    check(line.size() >= tail.size());
    std::string_view end = line.substr(line.size() - tail.size());
    check(end == tail || line.substr(line.size() - tail.size() - 1) == tail + "\r");
    // The description ends at the first result text.
    check(record.description.find(", success, ") == std::string::npos);
    check(record.description.find(", fail, ") == std::string::npos);
    check(record.event.find(", ") == std::string::npos && !record.event.empty());
    check(console::recordDate(record) != 0);
    for (const std::string* text : {&record.event, &record.description, &record.detail})
        checkCsv(*text);
}

void checkListings(size_t count, const console::EventFilter& filter, uint64_t limit) {
    // Every older page starts before its page, so paging ends; a few dozen pages show that as
    // well as all of them would.
    console::EventPosition at;
    for (int pages = 0; pages < 40; ++pages) {
        console::EventListing page =
            console::listEvents(directory(), "nvl", filter, at, count, limit);
        check(page.records.size() <= count);
        if (!at.top())
            check(page.start.date == at.date && page.start.offset == at.offset);
        if (page.hasNewer && !page.newer.top())
            check(before(page.start, page.newer));
        if (!page.hasOlder)
            break;
        check(before(page.older, page.start) || page.start.top());
        at = page.older;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    for (size_t i = 0; i <= input.size(); ++i) {
        if (i == input.size() || input[i] == '\n') {
            checkRecord(input.substr(start, i - start));
            start = i + 1;
        }
    }
    if (size < 2)
        return 0;

    // The first byte: repetitions, page size and filter; the second: where the days split.
    unsigned control = data[0];
    size_t repeat = 1 + (control & 15);
    size_t count = 1 + (control >> 4);
    std::string_view body = input.substr(2);
    std::string log;
    for (size_t i = 0; i < repeat; ++i)
        log += body;
    size_t split = log.size() * data[1] / 256;
    writeFile("nvl20060830.log", std::string_view(log).substr(0, split));
    writeFile("nvl20060831.log", std::string_view(log).substr(split));

    checkListings(count, {}, console::kEventScanLimit);
    checkListings(count, {3, 0, 0}, 0);
    checkListings(2, {0, 20060831, 20060831}, 0);
    return 0;
}
