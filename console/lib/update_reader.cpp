#include "update_reader.h"

#include <cgishare/update_log.h>

#include <algorithm>
#include <deque>

#include "query.h"

namespace console {

namespace {

UpdateRecord toRecord(long number, const char* timeStamp, const char* kind, int number1,
                      int number2, const char* message) {
    UpdateRecord record;
    record.number = number;
    record.timeStamp = timeStamp != nullptr ? timeStamp : "";
    record.kind = kind != nullptr ? kind : "";
    record.number1 = number1;
    record.number2 = number2;
    record.message = message != nullptr ? message : "";
    return record;
}

bool matches(const char* timeStamp, const char* kind, const UpdateFilter& filter) {
    if (filter.kind != '\0' && (kind == nullptr || kind[0] != filter.kind || kind[1] != '\0'))
        return false;
    if (filter.from == 0 && filter.to == 0)
        return true;
    int date = updateDate(timeStamp != nullptr ? timeStamp : "");
    return date != 0 && (filter.from == 0 || date >= filter.from) &&
           (filter.to == 0 || date <= filter.to);
}

// One library page's records with their numbers, keeping those in [low, high].
struct PageWindow {
    long next;  // the number of the page's next record
    long low, high;
    std::vector<UpdateRecord>* out;
};

void keepInWindow(char* timeStamp, char* kind, int number1, int number2, char* message,
                  void* context) {
    auto* window = static_cast<PageWindow*>(context);
    long number = window->next++;
    if (number >= window->low && number <= window->high)
        window->out->push_back(toRecord(number, timeStamp, kind, number1, number2, message));
}

// The whole file once: the last count + 1 matching records numbered up to `high`, and the
// matching records after it.
struct FilterPass {
    const UpdateFilter* filter = nullptr;
    long high = 0;  // 0: no bound
    size_t keep = 0;
    size_t count = 0;
    long number = 0;
    std::deque<UpdateRecord> kept;
    size_t after = 0;       // matching records numbered above `high`
    long afterAtCount = 0;  // the number of the count-th of them
};

void filterRecord(char* timeStamp, char* kind, int number1, int number2, char* message,
                  void* context) {
    auto* pass = static_cast<FilterPass*>(context);
    long number = ++pass->number;
    if (!matches(timeStamp, kind, *pass->filter))
        return;
    if (pass->high != 0 && number > pass->high) {
        if (++pass->after == pass->count)
            pass->afterAtCount = number;
        return;
    }
    pass->kept.push_back(toRecord(number, timeStamp, kind, number1, number2, message));
    if (pass->kept.size() > pass->keep)
        pass->kept.pop_front();
}

}  // namespace

int updateDate(const std::string& timeStamp) {
    int date = 0;
    return timeStamp.size() >= 8 &&
                   parseCompactDate(std::string_view(timeStamp).substr(0, 8), &date)
               ? date
               : 0;
}

UpdateListing listUpdates(const UpdateFilter& filter, long at, size_t count) {
    UpdateListing out;
    if (count == 0)
        return out;
    if (filter.kind == '\0' && filter.from == 0 && filter.to == 0) {
        int total = getRecordCountUpdateLog();
        if (total == UPDATE_LOG_READ_ERROR)
            out.readError = true;
        if (total <= 0)
            return out;
        long high = at > 0 && at < total ? at : total;
        long low = std::max(1L, high - static_cast<long>(count) + 1);
        out.start = high;
        std::vector<UpdateRecord> records;
        for (long page = (low - 1) / kUpdateLogPageSize + 1;
             page <= (high - 1) / kUpdateLogPageSize + 1; ++page) {
            PageWindow window{(page - 1) * kUpdateLogPageSize + 1, low, high, &records};
            int result = readUpdateLog(static_cast<int>(page), keepInWindow, &window);
            if (result != UPDATE_LOG_OK) {
                out.readError = result == UPDATE_LOG_READ_ERROR;
                break;
            }
        }
        out.records.assign(records.rbegin(), records.rend());
        out.hasOlder = low > 1;
        out.older = low - 1;
        if (at > 0 && high < total) {
            out.hasNewer = true;
            out.newer =
                high + static_cast<long>(count) < total ? high + static_cast<long>(count) : 0;
        }
        return out;
    }

    FilterPass pass;
    pass.filter = &filter;
    pass.high = at > 0 ? at : 0;
    pass.keep = count + 1;
    pass.count = count;
    int result = readUpdateLog(0, filterRecord, &pass);
    out.readError = result == UPDATE_LOG_READ_ERROR;
    out.start = at > 0 ? std::min(at, pass.number) : pass.number;
    if (pass.kept.size() > count) {
        out.hasOlder = true;
        out.older = pass.kept.front().number;
        pass.kept.pop_front();
    }
    out.records.assign(std::make_move_iterator(pass.kept.rbegin()),
                       std::make_move_iterator(pass.kept.rend()));
    if (at > 0 && pass.after > 0) {
        out.hasNewer = true;
        out.newer = pass.after > count ? pass.afterAtCount : 0;
    }
    return out;
}

}  // namespace console
