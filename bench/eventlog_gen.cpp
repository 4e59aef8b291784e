// Writes a large event log for the benchmarks of the pages that read it: daily files
// DIR/<prefix>YYYYMMDD.log for the DAYS days up to today, BYTES in all spread evenly over them,
// each one records of the event log's form in time order
//
//   2006/08/31, 09:41:07, 3, pattern updated, -, success, -,
//
// Usage: eventlog_gen DIR BYTES DAYS [PREFIX]   (PREFIX "nvl" unless given; BYTES may end in
// K, M or G for KiB, MiB, GiB)
//
// A file ends with a whole record, so it may run a few dozen bytes short of its share. Existing
// files of those dates are replaced. Records are formatted by hand into a large buffer, so a
// gigabyte takes a few seconds, most of it the disk's.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

struct Event {
    int id;
    const char* text;
};

// A mix of what a server writes most: scans, updates, clients coming and going.
constexpr Event kEvents[] = {
    {1, "client start up"},  {2, "client shutdown"},
    {3, "pattern updated"},  {5, "engine updated"},
    {11, "realtime scan"},   {12, "scheduled scan"},
    {7, "client installed"}, {23, "realtime scan cfg changed"},
};
constexpr const char* kDescriptions[] = {
    "-", "-", "version 4.217.00", "C:/Users/Public/report.doc", "-", "EICAR test file"};
constexpr const char* kDetails[] = {"-", "192.0.2.17", "-", "198.51.100.4", "-"};

bool parseBytes(const char* text, uint64_t* bytes) {
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text)
        return false;
    uint64_t scale = 1;
    if (*end == 'K' || *end == 'k')
        scale = 1ull << 10;
    else if (*end == 'M' || *end == 'm')
        scale = 1ull << 20;
    else if (*end == 'G' || *end == 'g')
        scale = 1ull << 30;
    if (scale != 1)
        ++end;
    if (*end != '\0')
        return false;
    *bytes = value * scale;
    return true;
}

void putDigits(std::string* out, int value, int digits) {
    char buffer[16];
    for (int i = digits - 1; i >= 0; --i) {
        buffer[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    out->append(buffer, static_cast<size_t>(digits));
}

void putNumber(std::string* out, int value) {
    char buffer[16];
    int n = std::snprintf(buffer, sizeof buffer, "%d", value);
    out->append(buffer, static_cast<size_t>(n));
}

// One record at `second` of the day; `n` picks the event and its texts.
void putRecord(std::string* out, const std::string& date, int second, uint64_t n) {
    const Event& event = kEvents[n % (sizeof kEvents / sizeof kEvents[0])];
    *out += date;
    *out += ", ";
    putDigits(out, second / 3600, 2);
    *out += ':';
    putDigits(out, second / 60 % 60, 2);
    *out += ':';
    putDigits(out, second % 60, 2);
    *out += ", ";
    putNumber(out, event.id);
    *out += ", ";
    *out += event.text;
    *out += ", ";
    *out += kDescriptions[n % (sizeof kDescriptions / sizeof kDescriptions[0])];
    *out += n % 17 == 0 ? ", fail, " : ", success, ";
    *out += kDetails[n % (sizeof kDetails / sizeof kDetails[0])];
    *out += ",\n";
}

// Writes one daily file of about `bytes`; false when it cannot be written.
bool writeDay(const std::string& path, const std::string& date, uint64_t bytes, uint64_t* n) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::perror(path.c_str());
        return false;
    }
    // A full cycle of the texts gives the mean size of a record, and with it the spacing in
    // time that spreads the records over the whole day.
    constexpr uint64_t kCycle = 2040;  // a multiple of the lengths of the text tables and of 17
    std::string sample;
    for (uint64_t i = 0; i < kCycle; ++i)
        putRecord(&sample, date, 0, i);
    const uint64_t records = bytes * kCycle / sample.size() + 1;
    constexpr size_t kFlush = 8u << 20;
    std::string buffer;
    buffer.reserve(kFlush + 256);
    uint64_t written = 0;
    for (uint64_t i = 0; i < records; ++i) {
        size_t before = buffer.size();
        putRecord(&buffer, date, static_cast<int>(i * 86400 / records), (*n)++);
        if (written + buffer.size() > bytes) {
            buffer.resize(before);
            break;
        }
        if (buffer.size() >= kFlush) {
            if (std::fwrite(buffer.data(), 1, buffer.size(), file) != buffer.size())
                break;
            written += buffer.size();
            buffer.clear();
        }
    }
    bool ok = std::fwrite(buffer.data(), 1, buffer.size(), file) == buffer.size();
    ok = std::fclose(file) == 0 && ok;
    if (!ok)
        std::perror(path.c_str());
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t total = 0;
    const int days = argc >= 4 ? std::atoi(argv[3]) : 0;
    if (argc < 4 || argc > 5 || !parseBytes(argv[2], &total) || days < 1) {
        std::fprintf(stderr, "usage: eventlog_gen DIR BYTES DAYS [PREFIX]\n");
        return 2;
    }
    const std::string directory = std::string(argv[1]) + "/";
    const std::string prefix = argc == 5 ? argv[4] : "nvl";

    const time_t now = std::time(nullptr);
    uint64_t n = 0;
    for (int day = days - 1; day >= 0; --day) {
        // The calendar day `day` days back, counted at noon so that a change of daylight
        // saving time cannot skip or repeat a date.
        std::tm local{};
        localtime_r(&now, &local);
        local.tm_hour = 12;
        local.tm_min = 0;
        local.tm_sec = 0;
        local.tm_mday -= day;
        local.tm_isdst = -1;
        std::mktime(&local);
        std::string date;
        putDigits(&date, local.tm_year + 1900, 4);
        date += '/';
        putDigits(&date, local.tm_mon + 1, 2);
        date += '/';
        putDigits(&date, local.tm_mday, 2);
        std::string name = prefix;
        putDigits(&name, local.tm_year + 1900, 4);
        putDigits(&name, local.tm_mon + 1, 2);
        putDigits(&name, local.tm_mday, 2);
        if (!writeDay(directory + name + ".log", date, total / static_cast<uint64_t>(days), &n))
            return 1;
    }
    return 0;
}
