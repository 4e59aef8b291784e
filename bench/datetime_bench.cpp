// Date and time texts: _hlGetDateTimeStringA(time_t, out, 129, 3, 129), the call behind every
// date a console page shows, on 1,000 moments spread over 47 years and every season (summer
// and winter time in Europe/Berlin), in en-US and ja-JP (the system locale of a private
// registry). Baselines, timed in the same run on the same moments:
//   - localtime_r + strftime with a format that gives the same text ("%-m/%-d/%Y %-H:%M:%S",
//     "%Y/%m/%d %-H:%M:%S"): the floor for a time_t turned into local text;
//   - ICU's icu::SimpleDateFormat::format with the same pattern, built once, the result converted
//     to the ANSI code page: what a general-purpose formatter costs.
// Counters: x_strftime (target at most 3) and x_icu (target at most 1/3), the subject's time
// over each baseline's. Each benchmark first checks that all three give the same texts.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unistd.h>

#include <cgishare/datetime.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "platform/codepage.h"
#include "platform/file.h"
#include "platform/locale.h"
#include "platform/registry.h"

namespace {

constexpr int kMoments = 1000;

// A private registry with the system locale and code page of one language.
class World {
  public:
    World(const char* lcid, const char* codePage) {
        char dir[] = "/tmp/datetime-bench.XXXXXX";
        if (::mkdtemp(dir) == nullptr)
            std::abort();
        dir_ = dir;
        path_ = dir_ + "/registry.reg";
        std::string text =
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\Locale]\r\n"
            "@=\"" +
            std::string(lcid) +
            "\"\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage]\r\n"
            "\"ACP\"=\"" +
            codePage + "\"\r\n";
        if (nvl::sys::replaceFileAtomically(path_, text) != 0)
            std::abort();
        ::setenv("NVL_REGISTRY", path_.c_str(), 1);
        ::setenv("TZ", "Europe/Berlin", 1);
        ::tzset();
        nvl::sys::forgetRegistryCache();
        nvl::sys::resetLocalesForTesting();
        nvl::sys::resetAnsiCodePageForTesting();
    }
    ~World() {
        ::unlink(path_.c_str());
        ::unlink((path_ + ".gen").c_str());
        ::unlink((path_ + ".lock").c_str());
        ::rmdir(dir_.c_str());
    }

  private:
    std::string dir_, path_;
};

// 1990 to 2037, about 17 days apart, at times of day that move through the hours.
const std::vector<time_t>& moments() {
    static const std::vector<time_t> all = [] {
        std::vector<time_t> v;
        for (int i = 0; i < kMoments; ++i)
            v.push_back(631152000 + static_cast<time_t>(i) * 1482000 + i * 3607 % 86400);
        return v;
    }();
    return all;
}

// glibc's '-' flag (no padding) is what gives the locales' unpadded fields; -Wpedantic knows
// only ISO's flags.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
size_t strftimeEnUs(char* out, size_t size, const tm* calendar) {
    return std::strftime(out, size, "%-m/%-d/%Y %-H:%M:%S", calendar);
}

size_t strftimeJaJp(char* out, size_t size, const tm* calendar) {
    return std::strftime(out, size, "%Y/%m/%d %-H:%M:%S", calendar);
}
#pragma GCC diagnostic pop

struct Language {
    const char* lcid;
    const char* codePage;
    size_t (*strftimeText)(char* out, size_t size, const tm* calendar);
    const char* icuPattern;
    const char* icuLocale;
};

const Language kEnUs = {"00000409", "1252", strftimeEnUs, "M/d/yyyy H:mm:ss", "en_US"};
const Language kJaJp = {"00000411", "932", strftimeJaJp, "yyyy/MM/dd H:mm:ss", "ja_JP"};

void BM_DateTimeString(benchmark::State& state, const Language& language) {
    World world(language.lcid, language.codePage);
    const std::vector<time_t>& all = moments();
    char out[129];

    UErrorCode status = U_ZERO_ERROR;
    icu::SimpleDateFormat icuFormat(icu::UnicodeString(language.icuPattern),
                                    icu::Locale(language.icuLocale), status);
    if (U_FAILURE(status)) {
        state.SkipWithError("ICU formatter not built");
        return;
    }
    icuFormat.adoptTimeZone(icu::TimeZone::createTimeZone("Europe/Berlin"));
    icu::UnicodeString icuText;

    auto subject = [&](time_t t) {
        _hlGetDateTimeStringA(static_cast<long>(t), out, 129, DTFMT_DATE | DTFMT_TIME, 129);
    };
    auto withStrftime = [&](time_t t) {
        tm calendar;
        localtime_r(&t, &calendar);
        language.strftimeText(out, sizeof out, &calendar);
    };
    auto withIcu = [&](time_t t) {
        icuText.remove();
        icuFormat.format(static_cast<UDate>(t) * 1000.0, icuText);
        nvl::sys::ConvertResult r = nvl::sys::encodeSome(
            nvl::sys::kCodePageAnsi,
            std::u16string_view(icuText.getBuffer(), static_cast<size_t>(icuText.length())), out,
            sizeof out - 1);
        out[r.written] = '\0';
    };

    for (time_t t : all) {
        subject(t);
        std::string ours = out;
        withStrftime(t);
        std::string libc = out;
        withIcu(t);
        if (ours != libc || ours != out) {
            state.SkipWithError(("texts differ: " + ours + " | " + libc + " | " + out).c_str());
            return;
        }
    }

    for (auto _ : state) {
        for (time_t t : all)
            subject(t);
        benchmark::DoNotOptimize(out);
    }
    int64_t rounds = state.iterations();
    auto each = [&](auto call) {
        return [&, call] {
            for (time_t t : all)
                call(t);
            benchmark::DoNotOptimize(out);
        };
    };
    double ours = nvl::bench::nanosecondsPerCall(each(subject), rounds) / kMoments;
    double libc = nvl::bench::nanosecondsPerCall(each(withStrftime), rounds) / kMoments;
    double icu = nvl::bench::nanosecondsPerCall(each(withIcu), rounds) / kMoments;
    state.counters["ns"] = ours;
    state.counters["strftime_ns"] = libc;
    state.counters["icu_ns"] = icu;
    state.counters["x_strftime"] = ours / libc;
    state.counters["x_icu"] = ours / icu;
    state.SetItemsProcessed(rounds * kMoments);
}
BENCHMARK_CAPTURE(BM_DateTimeString, en_US, kEnUs)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DateTimeString, ja_JP, kJaJp)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
