#include "query.h"

namespace console {

bool parseInteger(std::string_view text, long min, long max, long* out) {
    bool negative = !text.empty() && text[0] == '-' && min < 0;
    if (negative)
        text.remove_prefix(1);
    if (text.empty() || text.size() > 18)
        return false;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    if (negative)
        value = -value;
    if (value < min || value > max)
        return false;
    *out = value;
    return true;
}

bool isCalendarDate(long yyyymmdd) {
    long year = yyyymmdd / 10000, month = yyyymmdd / 100 % 100, day = yyyymmdd % 100;
    if (year < 1970 || year > 9999 || month < 1 || month > 12 || day < 1)
        return false;
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    int last = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
    return day <= last;
}

bool parseDate(std::string_view text, int* yyyymmdd) {
    long year = 0, month = 0, day = 0;
    if (text.size() != 10 || text[4] != '-' || text[7] != '-' ||
        !parseInteger(text.substr(0, 4), 1970, 9999, &year) ||
        !parseInteger(text.substr(5, 2), 1, 12, &month) ||
        !parseInteger(text.substr(8, 2), 1, 31, &day))
        return false;
    long value = year * 10000 + month * 100 + day;
    if (!isCalendarDate(value))
        return false;
    *yyyymmdd = static_cast<int>(value);
    return true;
}

bool parseCompactDate(std::string_view text, int* yyyymmdd) {
    long value = 0;
    if (text.size() != 8 || !parseInteger(text, 19700101, 99991231, &value) ||
        !isCalendarDate(value))
        return false;
    *yyyymmdd = static_cast<int>(value);
    return true;
}

bool parseLogPosition(std::string_view text, int* date, long* offset) {
    int day = 0;
    long position = 0;
    if (text.size() < 10 || text[8] != '-' || !parseCompactDate(text.substr(0, 8), &day) ||
        !parseInteger(text.substr(9), 0, 999999999999999999L, &position))
        return false;
    *date = day;
    *offset = position;
    return true;
}

void formatDate(int yyyymmdd, char (&out)[11]) {
    unsigned value = static_cast<unsigned>(yyyymmdd) % 100000000u;
    unsigned year = value / 10000, month = value / 100 % 100, day = value % 100;
    const unsigned digits[8] = {year / 1000, year / 100 % 10, year / 10 % 10, year % 10,
                                month / 10,  month % 10,      day / 10,       day % 10};
    char* p = out;
    for (int i = 0; i < 8; ++i) {
        if (i == 4 || i == 6)
            *p++ = '-';
        *p++ = static_cast<char>('0' + digits[i]);
    }
    *p = '\0';
}

}  // namespace console
