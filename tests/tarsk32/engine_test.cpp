// The spyware engine tarsk32.so, loaded by path as the library loads it: its exports and
// handles, pattern loads and refusals, every scanner on a planted tree (hostile entries
// included), events, stop, white and black lists, and backup, clean and restore with their
// safety rules.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "support/tarsk_demo_pattern.h"
#include "support/test_env.h"
#include "tarsk32.h"
#include "tarsk_format.h"

namespace tarsk32 {
namespace {

using nvl::test::readFile;
using nvl::test::TestEnv;

constexpr char16_t kCaller[] = u"{6B1A2F2E-33A0-4C1E-9D64-0F4B7E1C2A55}";

const char* const kNames[] = {"TkInit",
                              "TkQuit",
                              "TkReadSpywarePattern",
                              "TkGetPatternProperty",
                              "TkIsSpywarePatternLoaded",
                              "TkScan",
                              "TkScanDir",
                              "TkScanFile",
                              "TkCleanFile",
                              "TkScanDomain",
                              "TkStopScan",
                              "TkScanRelatedReferences",
                              "TkGetOption",
                              "TkSetOption",
                              "TkSetCallbackFunc",
                              "TkEnableScanner",
                              "TkGetScannerInfo",
                              "TkGetEngineProperty",
                              "TkGetItemCount",
                              "TkGetItemCountByScannerId",
                              "TkGetItem",
                              "TkSelectItems",
                              "TkAddItem",
                              "TkUpdateItem",
                              "TkRemoveItems",
                              "TkGetCountSelectedByScannerId",
                              "TkSelectByItem",
                              "TkGetFirstWhitelistItem",
                              "TkLoadWhitelist",
                              "TkGetNextWhitelistItem",
                              "TkAddWhitelistItem",
                              "TkRemoveWhitelistItems",
                              "TkToggleWhitelistItems",
                              "TkCheckWhitelist",
                              "TkGetWhitelistCount",
                              "TkSaveWhitelist",
                              "TkLoadBlacklist",
                              "TkGetFirstBlacklistItem",
                              "TkGetNextBlacklistItem",
                              "TkAddBlacklistItem",
                              "TkRemoveBlacklistItems",
                              "TkToggleBlacklistItems",
                              "TkCheckBlacklist",
                              "TkGetBlacklistCount",
                              "TkSaveBlacklist",
                              "TkClean",
                              "TkCleanByName",
                              "TkBackup",
                              "TkRestore",
                              "TkGetBackupItems",
                              "TkOpenTableSeqEnum",
                              "TkOpenTableStrEnum",
                              "TkOpenTableLongEnum",
                              "TkCloseHandle",
                              "TkGetFirstRow",
                              "TkGetNextRow",
                              "TkGetRowById",
                              "TkGetFirstRowByField",
                              "TkGetNextRowByField",
                              "TkGetFirstRowByStrKey",
                              "TkGetNextRowByStrKey",
                              "TkGetFirstRowByLongKey",
                              "TkGetNextRowByLongKey",
                              "TkParseField",
                              "TkGetEngineStatus",
                              "TkGetLastError"};

// The engine's entry points, bound by name from the built library.
struct Api {
    Api() {
        lib = ::dlopen(TARSK32_SO, RTLD_NOW | RTLD_LOCAL);
#define TK_BIND(name) name = reinterpret_cast<decltype(&::name)>(::dlsym(lib, #name))
        TK_BIND(TkInit);
        TK_BIND(TkQuit);
        TK_BIND(TkReadSpywarePattern);
        TK_BIND(TkGetPatternProperty);
        TK_BIND(TkScan);
        TK_BIND(TkStopScan);
        TK_BIND(TkSetOption);
        TK_BIND(TkSetCallbackFunc);
        TK_BIND(TkEnableScanner);
        TK_BIND(TkGetScannerInfo);
        TK_BIND(TkGetEngineProperty);
        TK_BIND(TkGetItemCount);
        TK_BIND(TkGetItem);
        TK_BIND(TkSelectByItem);
        TK_BIND(TkLoadWhitelist);
        TK_BIND(TkAddWhitelistItem);
        TK_BIND(TkSaveWhitelist);
        TK_BIND(TkGetWhitelistCount);
        TK_BIND(TkAddBlacklistItem);
        TK_BIND(TkClean);
        TK_BIND(TkCleanByName);
        TK_BIND(TkBackup);
        TK_BIND(TkRestore);
        TK_BIND(TkGetBackupItems);
        TK_BIND(TkOpenTableSeqEnum);
        TK_BIND(TkCloseHandle);
        TK_BIND(TkGetFirstRow);
        TK_BIND(TkGetNextRow);
        TK_BIND(TkParseField);
        TK_BIND(TkGetEngineStatus);
        TK_BIND(TkGetLastError);
#undef TK_BIND
    }
    void* lib = nullptr;
    decltype(&::TkInit) TkInit;
    decltype(&::TkQuit) TkQuit;
    decltype(&::TkReadSpywarePattern) TkReadSpywarePattern;
    decltype(&::TkGetPatternProperty) TkGetPatternProperty;
    decltype(&::TkScan) TkScan;
    decltype(&::TkStopScan) TkStopScan;
    decltype(&::TkSetOption) TkSetOption;
    decltype(&::TkSetCallbackFunc) TkSetCallbackFunc;
    decltype(&::TkEnableScanner) TkEnableScanner;
    decltype(&::TkGetScannerInfo) TkGetScannerInfo;
    decltype(&::TkGetEngineProperty) TkGetEngineProperty;
    decltype(&::TkGetItemCount) TkGetItemCount;
    decltype(&::TkGetItem) TkGetItem;
    decltype(&::TkSelectByItem) TkSelectByItem;
    decltype(&::TkLoadWhitelist) TkLoadWhitelist;
    decltype(&::TkAddWhitelistItem) TkAddWhitelistItem;
    decltype(&::TkSaveWhitelist) TkSaveWhitelist;
    decltype(&::TkGetWhitelistCount) TkGetWhitelistCount;
    decltype(&::TkAddBlacklistItem) TkAddBlacklistItem;
    decltype(&::TkClean) TkClean;
    decltype(&::TkCleanByName) TkCleanByName;
    decltype(&::TkBackup) TkBackup;
    decltype(&::TkRestore) TkRestore;
    decltype(&::TkGetBackupItems) TkGetBackupItems;
    decltype(&::TkOpenTableSeqEnum) TkOpenTableSeqEnum;
    decltype(&::TkCloseHandle) TkCloseHandle;
    decltype(&::TkGetFirstRow) TkGetFirstRow;
    decltype(&::TkGetNextRow) TkGetNextRow;
    decltype(&::TkParseField) TkParseField;
    decltype(&::TkGetEngineStatus) TkGetEngineStatus;
    decltype(&::TkGetLastError) TkGetLastError;
};

const Api& api() {
    static Api a;
    return a;
}

std::u16string w(const std::string& s) {
    return bytesToWide(s);
}

constexpr const char* kSource = nvl::test::kTarskDemoPattern;

std::string errorText(TkHandle h) {
    int32_t code = 0;
    char16_t text[1024];
    api().TkGetLastError(h, &code, text, 1024);
    std::string out;
    wideToBytes(text, &out);
    return out;
}

struct Event {
    int32_t event, scanner, value;
    uint32_t item;
    std::string location;
};
std::vector<Event>* gEvents = nullptr;
int gStopAtEvent = 0;

int32_t recordEvent(TkHandle h, int32_t event, int32_t scanner, int32_t value, const TkItem* r) {
    Event e{event, scanner, value, 0, {}};
    if (r != nullptr) {
        // The record as a caller reads it: the item id as the second 32-bit field, the
        // location at byte 1052.
        const auto* bytes = reinterpret_cast<const unsigned char*>(r);
        std::memcpy(&e.item, bytes + 4, 4);
        wideToBytes(reinterpret_cast<const char16_t*>(bytes + 1052), &e.location);
    }
    if (gEvents != nullptr)
        gEvents->push_back(e);
    if (event == gStopAtEvent)
        api().TkStopScan(h);
    return 0;
}

class TarskEngine : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(nullptr, api().lib) << ::dlerror();
        config = env.root() + "/engine";
        tree = env.root() + "/tree";
        ::mkdir(config.c_str(), 0755);
        ::mkdir(tree.c_str(), 0755);
        Pattern p;
        std::string error;
        ASSERT_TRUE(parsePatternSource(kSource, &p, &error)) << error;
        env.writeFile("engine/tarskptn.da5", writePattern(p));
        handle = open();
        gEvents = &events;
        gStopAtEvent = 0;
    }
    void TearDown() override {
        gEvents = nullptr;
        if (handle != 0)
            api().TkQuit(handle);
    }

    TkHandle open() {
        TkHandle h = 0;
        EXPECT_EQ(TK_OK, api().TkInit(kCaller, 12, &h));
        EXPECT_EQ(TK_OK, api().TkSetOption(h, TK_CFG_CONFIGDIR, w(config).c_str()));
        EXPECT_EQ(TK_OK, api().TkSetOption(h, TK_CFG_BACKUPDIR, w(config + "/BackupAS").c_str()));
        EXPECT_EQ(TK_OK, api().TkReadSpywarePattern(h, 0, w(config).c_str(), 0));
        EXPECT_EQ(TK_OK, api().TkSetCallbackFunc(h, recordEvent));
        return h;
    }

    std::string plant(const std::string& rel, const std::string& text, mode_t mode = 0644) {
        std::string path = env.writeFile("tree/" + rel, text);
        ::chmod(path.c_str(), mode);
        return path;
    }

    // Items of the last scan by location.
    std::map<std::string, TkItem> items(TkHandle h) {
        int32_t count = 0;
        EXPECT_EQ(TK_OK, api().TkGetItemCount(h, &count));
        std::map<std::string, TkItem> out;
        auto item = std::make_unique<TkItem>();
        for (int32_t i = 1; i <= count; ++i) {
            EXPECT_EQ(TK_OK, api().TkGetItem(h, static_cast<uint32_t>(i), item.get()));
            std::string loc;
            wideToBytes(item->location, &loc);
            out[loc] = *item;
        }
        return out;
    }

    TestEnv env;
    std::string config, tree;
    TkHandle handle = 0;
    std::vector<Event> events;
};

TEST_F(TarskEngine, ExportsTheEntryPointsAndGuardsHandlesAndBuffers) {
    for (const char* name : kNames)
        EXPECT_NE(nullptr, ::dlsym(api().lib, name)) << name;
    EXPECT_EQ(66u, std::size(kNames));

    char16_t text[64];
    EXPECT_EQ(TK_OK, api().TkGetPatternProperty(handle, TKPP_VERSION, text, 64));
    EXPECT_EQ(u"6.064", std::u16string(text));
    EXPECT_EQ(TK_OK, api().TkGetPatternProperty(handle, TKPP_DATE, text, 64));
    EXPECT_EQ(u"2026-12-01", std::u16string(text));
    EXPECT_EQ(TK_OK, api().TkGetPatternProperty(handle, TKPP_SIGCOUNT, text, 64));
    EXPECT_EQ(u"7", std::u16string(text));
    EXPECT_EQ(TK_OK, api().TkGetEngineProperty(handle, TKEP_UDVERSION, text, 64));
    // A buffer too small is cut, terminated, and reported; nothing past it is written.
    char16_t small[4] = {u'x', u'x', u'x', u'x'};
    EXPECT_EQ(TK_E_BUFFER_TOO_SMALL, api().TkGetPatternProperty(handle, TKPP_VERSION, small, 3));
    EXPECT_EQ(u"6.", std::u16string(small));
    EXPECT_EQ(u'x', small[3]);

    TkHandle other = open();
    EXPECT_NE(other, handle);
    EXPECT_EQ(TK_OK, api().TkQuit(other));
    uint32_t status = 0;
    for (TkHandle bad : {other, TkHandle{0}, TkHandle{12345}}) {
        EXPECT_EQ(TK_E_BAD_HANDLE, api().TkQuit(bad));
        EXPECT_EQ(TK_E_BAD_HANDLE, api().TkGetEngineStatus(bad, &status));
        EXPECT_EQ(TK_E_BAD_HANDLE, api().TkScan(bad, u""));
    }
    TkHandle h = 0;
    EXPECT_EQ(TK_E_BAD_ARGUMENT, api().TkInit(kCaller, 11, &h));
    EXPECT_EQ(TK_E_BAD_ARGUMENT, api().TkInit(u"not a guid", 12, &h));

    // Tables: threat names through the row enumeration and TkParseField.
    TkHandle en = 0;
    ASSERT_EQ(TK_OK, api().TkOpenTableSeqEnum(handle, TK_TABLE_THREAT, &en));
    std::vector<std::u16string> names;
    uint32_t row = 0;
    for (int32_t rc = api().TkGetFirstRow(en, &row); rc == TK_OK;
         rc = api().TkGetNextRow(en, &row)) {
        ASSERT_EQ(TK_OK, api().TkParseField(handle, TK_TABLE_THREAT, row, TK_FIELD_NAME, text, 64));
        names.emplace_back(text);
    }
    EXPECT_EQ(6u, names.size());
    EXPECT_EQ(u"Adware.Demo", names[0]);
    EXPECT_EQ(TK_OK, api().TkCloseHandle(en));
    EXPECT_EQ(TK_E_BAD_HANDLE, api().TkGetFirstRow(en, &row));
}

TEST_F(TarskEngine, ADamagedPatternIsRefusedAndNothingStaysLoaded) {
    std::string good = readFile(config + "/tarskptn.da5");
    const std::pair<std::string, const char*> cases[] = {
        {good.substr(0, good.size() / 2), "truncated"},
        {std::string(good).replace(100, 1, "\x7f"), "checksum"},
        {"garbage", "truncated"},
    };
    for (const auto& [bytes, expect] : cases) {
        env.writeFile("engine/tarskptn.da5", bytes);
        EXPECT_EQ(TK_E_BAD_PATTERN, api().TkReadSpywarePattern(handle, 0, w(config).c_str(), 0));
        EXPECT_NE(std::string::npos, errorText(handle).find(expect)) << errorText(handle);
        uint32_t status = 0xff;
        ASSERT_EQ(TK_OK, api().TkGetEngineStatus(handle, &status));
        EXPECT_EQ(0u, status & TK_STATUS_PATTERN_LOADED);
        char16_t text[16];
        EXPECT_EQ(TK_E_NO_PATTERN, api().TkGetPatternProperty(handle, TKPP_VERSION, text, 16));
        EXPECT_EQ(TK_E_NO_PATTERN, api().TkScan(handle, w(tree).c_str()));
    }
    EXPECT_EQ(TK_E_NOT_FOUND,
              api().TkReadSpywarePattern(handle, 0, w(env.root() + "/none").c_str(), 0));
}

TEST_F(TarskEngine, FullScanFindsEveryKindAndReportsEvents) {
    plant("Downloads/EVIL.EXE", "harmless");
    // The content signature straddles the engine's 256 KiB read buffer.
    std::string big(262144 - 5, 'a');
    big += "RUNNER-SIG";
    big += std::string(1000, 'b');
    plant("data/blob.bin", big);
    plant("opt/EvilToolbar/a.js", "x");
    plant("opt/EvilToolbar/sub/b.js", "y");
    plant("etc/hosts", "127.0.0.1 localhost\n0.0.0.0 ads.example.com # block\n");
    plant("home/.cookies/cookies.txt",
          "# Netscape HTTP Cookie File\n.tracker.example\tTRUE\t/\tFALSE\t0\tid\t1\n"
          "good.example\tFALSE\t/\tFALSE\t0\tid\t2\n");
    plant("home/.config/autostart/updater.desktop",
          "[Desktop Entry]\nExec=/opt/evil-updater --x\n");
    plant("home/.config/autostart/fine.desktop", "[Desktop Entry]\nExec=/usr/bin/true\n");
    // Hostile entries: a link to a threat, a FIFO named like one, a non-UTF-8 name.
    std::string outside = env.writeFile("outside/evil.exe", "not in the tree");
    ASSERT_EQ(0, ::symlink(outside.c_str(), (tree + "/evil.exe").c_str()));
    ASSERT_EQ(0, ::symlink(env.root().c_str(), (tree + "/loop").c_str()));
    ASSERT_EQ(0, ::mkfifo((tree + "/pipe.bin").c_str(), 0644));
    std::string odd = plant("odd/\xff\xfe-evil.exe.RUNNER-SIG", "RUNNER-SIG inside");
    std::string noRead = plant("locked/RUNNER.txt", "RUNNER-SIG", 0000);
    // A deep tree: found down to the walk's depth limit (256), not below it, and no crash.
    std::string deep;
    for (int i = 0; i < 300; ++i)
        deep += "d/";
    std::string shallowInDeep = plant(deep.substr(0, 40) + "evil.exe", "x");
    plant(deep + "evil.exe", "x");
    {
        nvl::sys::RegistryKey key;
        ASSERT_EQ(0u, nvl::sys::RegistryKey::create(nvl::sys::RegHive::LocalMachine,
                                                    "Software\\DemoRun", &key));
        ASSERT_EQ(0u, key.setString("EvilStart", "/opt/evil"));
    }

    ASSERT_EQ(TK_OK, api().TkScan(handle, w(tree).c_str()));
    auto found = items(handle);
    std::map<std::string, uint32_t> expected = {
        {tree + "/Downloads/EVIL.EXE", 7},
        {tree + "/data/blob.bin", 11},
        {tree + "/opt/EvilToolbar", 10},
        {tree + "/etc/hosts:0.0.0.0 ads.example.com # block", 9},
        {tree + "/home/.cookies/cookies.txt:.tracker.example\tTRUE\t/\tFALSE\t0\tid\t1", 8},
        {tree + "/home/.config/autostart/updater.desktop", 12},
        {odd, 11},
        {"HKLM\\Software\\DemoRun\\EvilStart", 12},
        {shallowInDeep, 7},
    };
    if (::geteuid() == 0)  // root reads the unreadable file
        expected[noRead] = 11;
    std::map<std::string, uint32_t> got;
    for (const auto& [loc, item] : found)
        got[loc] = item.threatId;
    EXPECT_EQ(expected, got);
    EXPECT_EQ(u"Adware.Demo", std::u16string(found[tree + "/Downloads/EVIL.EXE"].threatName));

    // Events: start first, finish last; one item event per item carrying its id and location.
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(TKE_EVENT_STARTSCAN, events.front().event);
    EXPECT_EQ(TKE_EVENT_FINISHEDSCAN, events.back().event);
    std::map<std::string, uint32_t> itemEvents;
    std::map<int32_t, int32_t> lastProgress;
    for (const auto& e : events) {
        if (e.event == TKE_EVENT_ITEMFOUND)
            itemEvents[e.location] = e.item;
        if (e.event == TKE_EVENT_PROGRESS) {
            EXPECT_GE(e.value, lastProgress[e.scanner]) << e.scanner;
            lastProgress[e.scanner] = e.value;
        }
    }
    EXPECT_EQ(found.size(), itemEvents.size());
    for (const auto& [loc, item] : found)
        EXPECT_EQ(item.itemId, itemEvents[loc]) << loc;
    for (int id : {10, 11, 12, 13, 14, 18})
        EXPECT_EQ(100, lastProgress[id]) << id;

    // Scanners off: nothing of theirs is found.
    ASSERT_EQ(TK_OK, api().TkEnableScanner(handle, TK_SCANNER_ALL, 0));
    ASSERT_EQ(TK_OK, api().TkEnableScanner(handle, TK_SCANNER_HOSTS, 1));
    TkScannerInfo info{};
    ASSERT_EQ(TK_OK, api().TkGetScannerInfo(handle, &info));
    EXPECT_EQ(18, info.total);
    EXPECT_EQ(6, info.defaults);
    EXPECT_EQ(1, info.enabled);
    EXPECT_EQ(1, info.basicEnabled);
    ASSERT_EQ(TK_OK, api().TkScan(handle, w(tree).c_str()));
    EXPECT_EQ(1u, items(handle).size());
    EXPECT_EQ(TK_E_BAD_ARGUMENT, api().TkEnableScanner(handle, 19, 1));
}

TEST_F(TarskEngine, SparseFilesAreScannedByTheirDataWhateverTheirSize) {
    // 64 GiB of holes but for a signature across a read-buffer boundary in the middle.
    std::string path = plant("sparse/big.img", "");
    int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const off_t at = (off_t{32} << 30) - 3;
    ASSERT_EQ(10, ::pwrite(fd, "RUNNER-SIG", 10, at));
    ASSERT_EQ(0, ::ftruncate(fd, off_t{64} << 30));
    ::close(fd);
    ASSERT_EQ(TK_OK, api().TkScan(handle, w(tree).c_str()));
    auto found = items(handle);
    ASSERT_EQ(1u, found.count(path));
    EXPECT_EQ(11u, found[path].threatId);
}

TEST_F(TarskEngine, QuickScanLooksOnlyAtThePatternsLocationsUnderTheConfiguredRoots) {
    plant("Downloads/evil.exe", "x");
    plant("elsewhere/evil.exe", "x");
    plant(".config/autostart/u.desktop", "Exec=evil-updater\n");
    ASSERT_EQ(TK_OK, api().TkSetOption(handle, TK_CFG_ENGINEMODE, u"2"));
    ASSERT_EQ(TK_OK, api().TkSetOption(0, TK_CFG_SCANROOTS, w(tree).c_str()));
    ASSERT_EQ(TK_OK, api().TkScan(handle, u""));
    auto found = items(handle);
    EXPECT_EQ(2u, found.size());
    EXPECT_EQ(1u, found.count(tree + "/Downloads/evil.exe"));
    EXPECT_EQ(1u, found.count(tree + "/.config/autostart/u.desktop"));
    ASSERT_EQ(TK_OK, api().TkSetOption(handle, TK_CFG_ENGINEMODE, u"1"));
    ASSERT_EQ(TK_OK, api().TkScan(handle, u""));
    EXPECT_EQ(3u, items(handle).size());
    ASSERT_EQ(TK_OK, api().TkSetOption(0, TK_CFG_SCANROOTS, u""));
    EXPECT_EQ(TK_E_BAD_ARGUMENT, api().TkSetOption(handle, TK_CFG_SCANROOTS, u"relative"));
}

TEST_F(TarskEngine, AStopEndsTheScanAndShowsInTheStatus) {
    for (int i = 0; i < 50; ++i)
        plant("many/" + std::to_string(i) + "/evil.exe", "x");
    gStopAtEvent = TKE_EVENT_ITEMFOUND;
    ASSERT_EQ(TK_OK, api().TkScan(handle, w(tree).c_str()));
    int32_t count = 0;
    ASSERT_EQ(TK_OK, api().TkGetItemCount(handle, &count));
    EXPECT_EQ(1, count);
    uint32_t status = 0;
    ASSERT_EQ(TK_OK, api().TkGetEngineStatus(handle, &status));
    EXPECT_EQ(TK_STATUS_STOP_REQUESTED | TK_STATUS_PATTERN_LOADED, status);
    EXPECT_EQ(TKE_EVENT_FINISHEDSCAN, events.back().event);
    // The next scan starts afresh.
    gStopAtEvent = 0;
    ASSERT_EQ(TK_OK, api().TkScan(handle, w(tree).c_str()));
    ASSERT_EQ(TK_OK, api().TkGetItemCount(handle, &count));
    EXPECT_EQ(50, count);
    ASSERT_EQ(TK_OK, api().TkGetEngineStatus(handle, &status));
    EXPECT_EQ(TK_STATUS_PATTERN_LOADED, status);
}

TEST_F(TarskEngine, ListsAreSavedAndSteerTheScan) {
    std::string a = plant("a/evil.exe", "x");
    std::string b = plant("b/evil.exe", "x");
    std::string c = plant("c/innocent.dat", "x");
    auto entry = std::make_unique<TkListItem>();
    *entry = {};
    entry->threatId = 7;
    entry->enabled = 1;
    std::u16string loc = w(a);
    std::copy(loc.begin(), loc.end(), entry->location);
    ASSERT_EQ(TK_OK, api().TkAddWhitelistItem(handle, entry.get()));
    ASSERT_EQ(TK_OK, api().TkSaveWhitelist(handle));

    TkHandle second = open();
    ASSERT_EQ(TK_OK, api().TkLoadWhitelist(second));
    int32_t count = 0;
    ASSERT_EQ(TK_OK, api().TkGetWhitelistCount(second, &count));
    EXPECT_EQ(1, count);
    *entry = {};
    entry->threatId = 10;
    entry->enabled = 1;
    loc = w(c);
    std::copy(loc.begin(), loc.end(), entry->location);
    ASSERT_EQ(TK_OK, api().TkAddBlacklistItem(second, entry.get()));
    ASSERT_EQ(TK_OK, api().TkScan(second, w(tree).c_str()));
    auto found = items(second);
    EXPECT_EQ(0u, found.count(a));
    EXPECT_EQ(1u, found.count(b));
    ASSERT_EQ(1u, found.count(c));
    EXPECT_EQ(10u, found[c].threatId);
    api().TkQuit(second);

    // A damaged list file is refused and the list in memory stays as it was.
    std::string file = config + "/tkwhite.lst";
    std::string bytes = readFile(file);
    env.writeFile("engine/tkwhite.lst", bytes.substr(0, bytes.size() - 2));
    EXPECT_EQ(TK_E_BAD_LIST, api().TkLoadWhitelist(handle));
    ASSERT_EQ(TK_OK, api().TkGetWhitelistCount(handle, &count));
    EXPECT_EQ(1, count);
}

struct stat statOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(0, ::lstat(path.c_str(), &st)) << path;
    return st;
}

TEST_F(TarskEngine, BackupCleanAndRestoreGiveBackEveryByteAndPlace) {
    std::string exe = plant("Downloads/evil.exe", std::string("MZ\0\x01binary", 10), 0750);
    std::string odd = plant("x/\xff-RUNNER.bin", "RUNNER-SIG");
    plant("opt/EvilToolbar/a.js", "a");
    plant("opt/EvilToolbar/sub/b.js", "bb");
    std::string hosts = plant("etc/hosts", "127.0.0.1 localhost\n0.0.0.0 ads.example.com\n");
    {
        nvl::sys::RegistryKey key;
        ASSERT_EQ(0u, nvl::sys::RegistryKey::create(nvl::sys::RegHive::LocalMachine,
                                                    "Software\\DemoRun", &key));
        ASSERT_EQ(0u, key.setString("EvilStart", "/opt/evil"));
    }
    ASSERT_EQ(TK_OK, api().TkScan(handle, w(tree).c_str()));
    ASSERT_EQ(5u, items(handle).size());
    ASSERT_EQ(TK_OK, api().TkSetOption(handle, TK_CFG_BACKUPDESC, u"Clean Session"));
    ASSERT_EQ(TK_OK, api().TkBackup(handle, u"set1.tbk"));
    EXPECT_EQ(040700u, statOf(config + "/BackupAS").st_mode);
    EXPECT_EQ(0600u, statOf(config + "/BackupAS/set1.tbk").st_mode & 0777);
    ASSERT_EQ(TK_OK, api().TkClean(handle));
    for (const auto& [loc, item] : items(handle))
        EXPECT_EQ(static_cast<uint32_t>(TK_ITEM_CLEANED), item.state) << loc;
    struct stat st {};
    EXPECT_NE(0, ::lstat(exe.c_str(), &st));
    EXPECT_NE(0, ::lstat(odd.c_str(), &st));
    EXPECT_NE(0, ::lstat((tree + "/opt/EvilToolbar").c_str(), &st));
    EXPECT_EQ("127.0.0.1 localhost\n", readFile(hosts));
    nvl::sys::RegValue value;
    nvl::sys::forgetRegistryCache();
    EXPECT_NE(0u, nvl::sys::RegistryKey::getValue(nvl::sys::RegHive::LocalMachine,
                                                  "Software\\DemoRun", "EvilStart", &value));
    int cleaned = 0;
    for (const auto& e : events)
        cleaned += e.event == TKE_EVENT_CLEANEDITEM;
    EXPECT_EQ(5, cleaned);

    uint32_t count = 0;
    std::vector<TkBackupItem> records(16);
    ASSERT_EQ(TK_OK, api().TkGetBackupItems(handle, u"set1.tbk", records.data(), 16, &count));
    EXPECT_EQ(8u, count);  // file, file, directory tree (2 dirs, 2 files), line, registry value

    events.clear();
    ASSERT_EQ(TK_OK, api().TkRestore(handle, u"set1.tbk"));
    EXPECT_EQ(std::string("MZ\0\x01binary", 10), readFile(exe));
    EXPECT_EQ(0750u, statOf(exe).st_mode & 07777);
    EXPECT_EQ("RUNNER-SIG", readFile(odd));
    EXPECT_EQ("bb", readFile(tree + "/opt/EvilToolbar/sub/b.js"));
    EXPECT_EQ("127.0.0.1 localhost\n0.0.0.0 ads.example.com\n", readFile(hosts));
    nvl::sys::forgetRegistryCache();
    EXPECT_EQ(0u, nvl::sys::RegistryKey::getValue(nvl::sys::RegHive::LocalMachine,
                                                  "Software\\DemoRun", "EvilStart", &value));
    int restored = 0;
    for (const auto& e : events)
        restored += e.event == TKE_EVENT_RESTOREDITEM;
    EXPECT_EQ(8, restored);

    // Restoring again never writes over what is there: the files are refused, the rest holds.
    EXPECT_EQ(TK_E_PARTIAL, api().TkRestore(handle, u"set1.tbk"));
    EXPECT_EQ(std::string("MZ\0\x01binary", 10), readFile(exe));
    EXPECT_EQ(TK_E_NOT_FOUND, api().TkRestore(handle, u"missing.tbk"));
    EXPECT_EQ(TK_E_BAD_ARGUMENT, api().TkBackup(handle, u"../escape"));
}

TEST_F(TarskEngine, CleanRemovesOnlyTheObjectFoundAndBackedUp) {
    std::string a = plant("a/evil.exe", "first");
    std::string b = plant("b/evil.exe", "second");
    std::string c = plant("c/evil.exe", "third");
    ASSERT_EQ(TK_OK, api().TkScan(handle, w(tree).c_str()));
    auto found = items(handle);
    ASSERT_EQ(3u, found.size());
    // c is not selected, so it is neither backed up nor cleaned.
    ASSERT_EQ(TK_OK, api().TkSelectByItem(handle, found[c].itemId, 0));
    ASSERT_EQ(TK_OK, api().TkBackup(handle, u""));
    // b is replaced by another file of the same name after the backup.
    ASSERT_EQ(0, ::unlink(b.c_str()));
    env.writeFile("tree/b/evil.exe", "someone else's");
    EXPECT_EQ(TK_E_PARTIAL, api().TkClean(handle));
    struct stat st {};
    EXPECT_NE(0, ::lstat(a.c_str(), &st));
    EXPECT_EQ("someone else's", readFile(b));
    EXPECT_EQ("third", readFile(c));
    EXPECT_EQ(static_cast<uint32_t>(TK_ITEM_FAILED), items(handle)[b].state);

    // Without a backup nothing is cleaned at all.
    ASSERT_EQ(TK_OK, api().TkScan(handle, w(tree).c_str()));
    EXPECT_EQ(TK_E_PARTIAL, api().TkClean(handle));
    EXPECT_EQ("third", readFile(c));
}

TEST_F(TarskEngine, RestoreNeverFollowsALinkOrLeavesTheRecordedPlace) {
    std::string exe = plant("d/evil.exe", "payload");
    ASSERT_EQ(TK_OK, api().TkScan(handle, w(tree).c_str()));
    ASSERT_EQ(TK_OK, api().TkBackup(handle, u"s.tbk"));
    ASSERT_EQ(TK_OK, api().TkClean(handle));
    // The directory became a link to somewhere else: restore must not write there.
    std::string elsewhere = env.root() + "/elsewhere";
    ASSERT_EQ(0, ::mkdir(elsewhere.c_str(), 0755));
    ASSERT_EQ(0, ::rmdir((tree + "/d").c_str()));
    ASSERT_EQ(0, ::symlink(elsewhere.c_str(), (tree + "/d").c_str()));
    EXPECT_EQ(TK_E_PARTIAL, api().TkRestore(handle, u"s.tbk"));
    struct stat st {};
    EXPECT_NE(0, ::lstat((elsewhere + "/evil.exe").c_str(), &st));
    // Put right, it restores.
    ASSERT_EQ(0, ::unlink((tree + "/d").c_str()));
    ASSERT_EQ(TK_OK, api().TkRestore(handle, u"s.tbk"));
    EXPECT_EQ("payload", readFile(exe));

    // A damaged set is refused whole.
    std::string set = config + "/BackupAS/s.tbk";
    std::string bytes = readFile(set);
    env.writeFile("engine/BackupAS/t.tbk", bytes.substr(0, bytes.size() - 1));
    EXPECT_EQ(TK_E_BAD_BACKUP, api().TkRestore(handle, u"t.tbk"));
    EXPECT_NE(std::string::npos, errorText(handle).find("truncated")) << errorText(handle);
}

TEST_F(TarskEngine, CleanByNameScansBacksUpAndCleansOneThreat) {
    std::string exe = plant("a/evil.exe", "x");
    std::string blob = plant("b/blob", "RUNNER-SIG");
    ASSERT_EQ(TK_OK, api().TkSetOption(handle, TK_CFG_SCANROOTS, w(tree).c_str()));
    ASSERT_EQ(TK_OK, api().TkCleanByName(handle, u"runner.demo"));
    struct stat st {};
    EXPECT_NE(0, ::lstat(blob.c_str(), &st));
    EXPECT_EQ("x", readFile(exe));
    EXPECT_EQ(TK_E_NOT_FOUND, api().TkCleanByName(handle, u"No.Such.Threat"));
}

}  // namespace
}  // namespace tarsk32
