// The console's readers of query values (integers, dates, log positions) and the page links
// built from values: any text is accepted whole or refused, an accepted value is in range and
// reads back the same, and a link never carries a byte that could leave its attribute.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "event_reader.h"
#include "log_view.h"
#include "query.h"

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The text sits at the end of its own allocation, so a read past it shows.
    std::string owned(reinterpret_cast<const char*>(data), size);
    std::string_view text = owned;

    static constexpr long kRanges[][2] = {
        {1, 100}, {1, 9999}, {0, 999999999999999999L}, {-5, 5}, {-999999999999999999L, 0}};
    for (const auto& range : kRanges) {
        long value = 12345;
        if (console::parseInteger(text, range[0], range[1], &value)) {
            check(value >= range[0] && value <= range[1]);
            check(std::to_string(value).size() <= text.size());
        } else {
            check(value == 12345);
        }
    }

    int date = 0;
    if (console::parseDate(text, &date)) {
        char back[11];
        console::formatDate(date, back);
        check(text == back);
        check(console::isCalendarDate(date));
    }
    if (console::parseCompactDate(text, &date))
        check(std::to_string(date) == text);

    int day = 7;
    long offset = 7;
    if (console::parseLogPosition(text, &day, &offset)) {
        check(console::isCalendarDate(day) && offset >= 0);
        console::EventPosition position{day, offset};
        int day2 = 0;
        long offset2 = 0;
        check(console::parseLogPosition(position.text(), &day2, &offset2));
        check(day2 == day && offset2 == offset);
    } else {
        check(day == 7 && offset == 7);
    }

    std::string link = console::pageLink("logs.cgi", {{"kind", owned}, {"at", "1"}});
    for (char c : link)
        check(c > ' ' && c < 0x7f && c != '"' && c != '<' && c != '>' && c != '\'');
    return 0;
}
