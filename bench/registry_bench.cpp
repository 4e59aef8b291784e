// Registry look-ups: a page reads a few values per process, each through open + query.
// BM_ParseFile is the baseline (what every look-up would cost without the per-process cache);
// BM_CachedLookup is what a look-up costs with it, BM_SetValue a change written through.
// BM_GetHomeDir is the look-up every log record and INI access makes, against one stat(2) of
// the registry file in the same run: what a look-up that checked the file on every call paid.
// The cached look-up checks the shared change counter instead, so it should cost a fraction.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cgishare/config.h>

#include <string>

#include "bench_support.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "platform/registry_format.h"

namespace {

using nvl::sys::RegHive;
using nvl::sys::RegistryKey;

// A registry of `values` values in one key, in a private directory named by NVL_REGISTRY.
class Fixture {
  public:
    explicit Fixture(int values, const std::string& extra = "") {
        char dir[] = "/tmp/registry-bench.XXXXXX";
        if (::mkdtemp(dir) == nullptr)
            std::abort();
        dir_ = dir;
        path_ = dir_ + "/registry.reg";
        text_ =
            "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench]\r\n";
        for (int i = 0; i < values; ++i)
            text_ +=
                "\"value" + std::to_string(i) + "\"=\"some text " + std::to_string(i) + "\"\r\n";
        text_ += extra;
        if (nvl::sys::replaceFileAtomically(path_, text_) != 0)
            std::abort();
        ::setenv("NVL_REGISTRY", path_.c_str(), 1);
    }
    ~Fixture() {
        ::unlink(path_.c_str());
        ::unlink((path_ + ".lock").c_str());
        ::unlink((path_ + ".gen").c_str());
        ::rmdir(dir_.c_str());
    }
    const std::string& text() const { return text_; }
    const std::string& path() const { return path_; }

  private:
    std::string dir_, path_, text_;
};

void BM_ParseFile(benchmark::State& state) {
    Fixture fixture(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        nvl::sys::regformat::Document doc;
        nvl::sys::regformat::parse(fixture.text(), {}, &doc);
        nvl::sys::regformat::Tree tree(doc);
        benchmark::DoNotOptimize(tree.find(RegHive::LocalMachine, {"SOFTWARE", "Bench"}));
    }
}
BENCHMARK(BM_ParseFile)->Arg(20)->Arg(1600);

void BM_CachedLookup(benchmark::State& state) {
    Fixture fixture(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        RegistryKey key;
        std::string text;
        RegistryKey::open(RegHive::LocalMachine, "SOFTWARE\\Bench", &key);
        key.getString("value7", &text);
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(BM_CachedLookup)->Arg(20)->Arg(1600);

void BM_GetHomeDir(benchmark::State& state) {
    Fixture fixture(
        static_cast<int>(state.range(0)),
        "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\HaldenLabs\\Norvel\\service\\Information]\r\n"
        "\"Local_Path\"=\"/srv/norvel/home\"\r\n");
    char home[260];
    auto subject = [&] { benchmark::DoNotOptimize(getHomeDir(home, sizeof home)); };
    for (auto _ : state)
        subject();
    if (getHomeDir(home, sizeof home) != 1 || std::string(home) != "/srv/norvel/home/") {
        state.SkipWithError("getHomeDir did not read the fixture");
        return;
    }
    struct stat st {};
    double baseline = nvl::bench::nanosecondsPerCall(
        [&] { benchmark::DoNotOptimize(::stat(fixture.path().c_str(), &st)); }, state.iterations());
    nvl::bench::report(state, nvl::bench::nanosecondsPerCall(subject, state.iterations()),
                       baseline);
}
BENCHMARK(BM_GetHomeDir)->Arg(20)->Arg(1600);

void BM_SetValue(benchmark::State& state) {
    Fixture fixture(static_cast<int>(state.range(0)));
    RegistryKey key;
    RegistryKey::open(RegHive::LocalMachine, "SOFTWARE\\Bench", &key);
    uint32_t n = 0;
    for (auto _ : state)
        key.setDword("counter", ++n);
}
BENCHMARK(BM_SetValue)->Arg(20)->Arg(1600)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
