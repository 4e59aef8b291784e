// The scan engine MARLIN32.so, loaded as the library loads it: what it exports, patterns from
// the writer read back, every refusal with its own code, the version query on a file still being
// copied in, deletion of old generations, and handles used from several threads.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "marlin32.h"
#include "pattern_format.h"
#include "support/test_env.h"

namespace marlin32 {
namespace {

using nvl::test::readFile;
using nvl::test::TestEnv;

struct Engine {
    Engine() {
        lib = ::dlopen(MARLIN32_SO, RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr)
            return;
        bind(init, "MrInit");
        bind(release, "MrRelease");
        bind(read, "MrReadPatternInFile");
        bind(setConfig, "MrSetConfig");
        bind(property, "MrGetPatternProperty");
        bind(extListSize, "MrGetExtListSize");
        bind(extList, "MrGetExtList");
        bind(deleteUnused, "MrDeleteUnusedPattern");
        bind(version, "MrGetPatternInternalVersion");
    }
    template <class F>
    void bind(F& f, const char* name) {
        f = reinterpret_cast<F>(::dlsym(lib, name));
    }

    void* lib = nullptr;
    decltype(&MrInit) init = nullptr;
    decltype(&MrRelease) release = nullptr;
    decltype(&MrReadPatternInFile) read = nullptr;
    decltype(&MrSetConfig) setConfig = nullptr;
    decltype(&MrGetPatternProperty) property = nullptr;
    decltype(&MrGetExtListSize) extListSize = nullptr;
    decltype(&MrGetExtList) extList = nullptr;
    decltype(&MrDeleteUnusedPattern) deleteUnused = nullptr;
    decltype(&MrGetPatternInternalVersion) version = nullptr;
};

const Engine& engine() {
    static Engine e;
    return e;
}

PatternContent sampleContent(uint32_t internalVersion = 4242) {
    PatternContent c;
    c.internalVersion = internalVersion;
    c.types = {{0, 1, "VIRUS"}, {25, 4, "SIXTEEN_BYTES_NM"}, {7, 65535, "a b:c"}};
    c.extList = "{*;EXE;COM;DLL}";
    return c;
}

std::string sampleFile(uint32_t internalVersion = 4242) {
    return encodePattern(sampleContent(internalVersion), std::string(1000, 'b'));
}

void writeBytes(const std::string& path, std::string_view bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    std::fclose(f);
}

// The major types and extension list a handle holds, read through the entry points as the
// library reads them.
struct Read {
    int32_t status = kOk;
    std::vector<MajorType> types;
    std::string extList;
};

Read queryHandle(MrHandle handle) {
    const Engine& e = engine();
    Read r;
    MrMajorTypeEntry one{};
    MrPatternPropertyRequest request{1, &one};
    int32_t count = e.property(handle, MR_PROPERTY_MAJOR_TYPES, 0, &request);
    if (count < 0) {
        r.status = count;
        return r;
    }
    std::vector<MrMajorTypeEntry> entries(static_cast<size_t>(count) + 1);
    std::memset(entries.data(), 0x55, entries.size() * sizeof(MrMajorTypeEntry));
    request = {count, entries.data()};
    int32_t filled = e.property(handle, MR_PROPERTY_MAJOR_TYPES, 0, &request);
    if (filled != count) {
        r.status = -1000;
        return r;
    }
    for (int32_t i = 0; i < count; ++i) {
        const MrMajorTypeEntry& entry = entries[static_cast<size_t>(i)];
        if (entry.name[16] != '\0') {
            r.status = -1001;
            return r;
        }
        r.types.push_back({entry.firstAction, entry.secondAction, entry.name});
    }
    if (entries.back().firstAction != 0x5555) {  // nothing written past the room
        r.status = -1002;
        return r;
    }
    uint32_t size = 0;
    if ((r.status = e.extListSize(handle, &size)) != kOk)
        return r;
    std::string buffer(size, '\x55');
    if ((r.status = e.extList(handle, buffer.data())) != kOk)
        return r;
    if (size == 0 || buffer[size - 1] != '\0') {
        r.status = -1003;
        return r;
    }
    r.extList = buffer.c_str();
    return r;
}

// A handle with `path` read into it, then queried.
Read readThroughEngine(const std::string& path) {
    const Engine& e = engine();
    MrHandle handle = 0;
    Read r;
    if ((r.status = e.init(1, "", 0, &handle)) != kOk)
        return r;
    r.status = e.read(handle, path.c_str(), 0);
    if (r.status == kOk)
        r.status = e.setConfig(handle, MR_CONFIG_SCAN_PROFILE, 2, 0);
    if (r.status == kOk)
        r = queryHandle(handle);
    e.release(handle);
    return r;
}

TEST(MarlinEngineTest, ExportsItsEntryPointsAndNothingElse) {
    ASSERT_NE(engine().lib, nullptr) << ::dlerror();
    FILE* nm = ::popen("nm -D --defined-only '" MARLIN32_SO "'", "r");
    ASSERT_NE(nm, nullptr);
    std::set<std::string> exported;
    char line[512];
    while (std::fgets(line, sizeof line, nm) != nullptr) {
        char type = 0;
        char name[256] = {};
        if (std::sscanf(line, "%*s %c %255s", &type, name) == 2)
            exported.insert(name);
    }
    ASSERT_EQ(::pclose(nm), 0);
    EXPECT_EQ(exported,
              (std::set<std::string>{"MrInit", "MrRelease", "MrReadPatternInFile", "MrSetConfig",
                                     "MrGetPatternProperty", "MrGetExtListSize", "MrGetExtList",
                                     "MrDeleteUnusedPattern", "MrGetPatternInternalVersion"}));
}

TEST(MarlinEngineTest, ReadsBackWhatTheWriterWrote) {
    ASSERT_NE(engine().lib, nullptr);
    TestEnv env;
    std::string path = env.root() + "/sig$vpf.123";
    std::string error;
    ASSERT_EQ(writePatternFileAtomically(path, sampleContent(), 3 << 20, 9, &error), kOk) << error;

    Read r = readThroughEngine(path);
    ASSERT_EQ(r.status, kOk);
    EXPECT_EQ(r.types, sampleContent().types);
    EXPECT_EQ(r.extList, "{*;EXE;COM;DLL}");

    uint32_t version = 1;
    uint16_t other = 1;
    EXPECT_EQ(engine().version(path.c_str(), &version, &other), kOk);
    EXPECT_EQ(version, 4242u);
    EXPECT_EQ(other, 0);

    // A smaller room gets that many entries and the whole count; no types is a count of 0.
    MrHandle handle = 0;
    ASSERT_EQ(engine().init(1, "", 0, &handle), kOk);
    ASSERT_EQ(engine().read(handle, path.c_str(), 0), kOk);
    MrMajorTypeEntry two[3];
    std::memset(two, 0x55, sizeof two);
    MrPatternPropertyRequest request{2, two};
    EXPECT_EQ(engine().property(handle, MR_PROPERTY_MAJOR_TYPES, 0, &request), 3);
    EXPECT_STREQ(two[1].name, "SIXTEEN_BYTES_NM");
    EXPECT_EQ(two[2].firstAction, 0x5555);
    request = {0, nullptr};
    EXPECT_EQ(engine().property(handle, MR_PROPERTY_MAJOR_TYPES, 0, &request), 3);

    PatternContent empty;
    empty.extList = "{}";
    writeBytes(path, encodePattern(empty, ""));
    ASSERT_EQ(engine().read(handle, path.c_str(), 0), kOk);
    Read none = queryHandle(handle);
    EXPECT_EQ(none.status, kOk);
    EXPECT_TRUE(none.types.empty());
    EXPECT_EQ(none.extList, "{}");
    engine().release(handle);
}

void put32At(std::string* file, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        (*file)[at + static_cast<size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xff);
}

struct Refusal {
    const char* what;
    std::function<void(std::string*)> spoil;
    int32_t fullRead;  // MrReadPatternInFile
    int32_t version;   // MrGetPatternInternalVersion: the header alone
};

TEST(MarlinEngineTest, RefusesEachFaultWithItsOwnCode) {
    ASSERT_NE(engine().lib, nullptr);
    const size_t firstName = kFixedHeaderSize + 4;
    const size_t extList = kFixedHeaderSize + 3 * kTypeRecordSize;
    const size_t body = extList + 15;
    auto resealed = [](std::function<void(std::string*)> change) {
        return [change](std::string* f) {
            change(f);
            sealHeader(f);
        };
    };
    const Refusal cases[] = {
        {"empty file", [](std::string* f) { f->clear(); }, kTruncated, kTruncated},
        {"cut in the magic", [](std::string* f) { f->resize(5); }, kTruncated, kTruncated},
        {"cut in the fixed header", [](std::string* f) { f->resize(40); }, kTruncated, kTruncated},
        {"cut in the tables", [](std::string* f) { f->resize(70); }, kTruncated, kTruncated},
        {"cut in the body", [](std::string* f) { f->pop_back(); }, kTruncated, kTruncated},
        {"extended", [](std::string* f) { f->push_back('x'); }, kExtended, kExtended},
        {"short text", [](std::string* f) { *f = "hello"; }, kBadMagic, kBadMagic},
        {"bad magic", [](std::string* f) { (*f)[7] = 0; }, kBadMagic, kBadMagic},
        {"format version 2", resealed([](std::string* f) { (*f)[offset::kFormatVersion] = 2; }),
         kBadVersion, kBadVersion},
        {"1,025 types", resealed([](std::string* f) {
             (*f)[offset::kTypeCount] = 1;
             (*f)[offset::kTypeCount + 1] = 4;
         }),
         kCountsOverLimits, kCountsOverLimits},
        {"extension list over 4 KiB",
         resealed([](std::string* f) { put32At(f, offset::kExtListLength, 4097); }),
         kCountsOverLimits, kCountsOverLimits},
        {"type table moved", resealed([](std::string* f) { put32At(f, offset::kTypeTable, 60); }),
         kTablesOutOfBounds, kTablesOutOfBounds},
        {"extension list past the header",
         resealed([](std::string* f) { put32At(f, offset::kExtList, extList + 1); }),
         kTablesOutOfBounds, kTablesOutOfBounds},
        {"header longer than its tables",
         resealed([](std::string* f) { put32At(f, offset::kHeaderLength, body + 1); }),
         kTablesOutOfBounds, kTablesOutOfBounds},
        {"header past the declared length", resealed([](std::string* f) {
             put32At(f, offset::kDeclaredLength, 100);
             put32At(f, offset::kDeclaredLength + 4, 0);
         }),
         kTablesOutOfBounds, kTablesOutOfBounds},
        {"control byte in a name", resealed([](std::string* f) { (*f)[firstName + 2] = '\a'; }),
         kBadName, kBadName},
        {"DEL in a name", resealed([](std::string* f) { (*f)[firstName] = '\x7f'; }), kBadName,
         kBadName},
        {"byte over 0x7E in a name", resealed([](std::string* f) { (*f)[firstName] = '\xe9'; }),
         kBadName, kBadName},
        {"empty name",
         resealed([](std::string* f) { std::memset(f->data() + firstName, 0, kNameBytes); }),
         kBadName, kBadName},
        {"bytes after a name's end", resealed([](std::string* f) { (*f)[firstName + 9] = 'x'; }),
         kBadName, kBadName},
        {"extension list without its brace", resealed([](std::string* f) { (*f)[extList] = '('; }),
         kBadExtList, kBadExtList},
        {"empty item in the extension list",
         resealed([](std::string* f) { (*f)[extList + 3] = ';'; }), kBadExtList, kBadExtList},
        {"header byte changed", [](std::string* f) { (*f)[offset::kInternalVersion] ^= 1; },
         kBadHeaderChecksum, kBadHeaderChecksum},
        {"table byte changed", [](std::string* f) { (*f)[firstName] = 'W'; }, kBadHeaderChecksum,
         kBadHeaderChecksum},
        // The version query reads the header alone: a damaged body is found by a full read.
        {"body byte changed", [](std::string* f) { (*f)[body + 500] ^= 0x10; }, kBadBodyChecksum,
         kOk},
    };
    TestEnv env;
    std::string path = env.root() + "/sig$vpf.001";
    for (const Refusal& c : cases) {
        std::string file = sampleFile();
        ASSERT_EQ(file.size(), body + 1000);
        c.spoil(&file);
        writeBytes(path, file);
        EXPECT_EQ(readThroughEngine(path).status, c.fullRead) << c.what;
        uint32_t version = 77;
        EXPECT_EQ(engine().version(path.c_str(), &version, nullptr), c.version) << c.what;
        EXPECT_EQ(version, c.version == kOk ? 4242u : 0u) << c.what;
    }

    EXPECT_EQ(readThroughEngine(env.root() + "/missing").status, kNotFound);
    EXPECT_EQ(readThroughEngine(env.root()).status, kIoError);  // a directory
    uint32_t version = 0;
    EXPECT_EQ(engine().version(nullptr, &version, nullptr), kBadArgument);
    EXPECT_EQ(engine().version(path.c_str(), nullptr, nullptr), kBadArgument);
}

TEST(MarlinEngineTest, HandlesAndArgumentsAreChecked) {
    ASSERT_NE(engine().lib, nullptr);
    const Engine& e = engine();
    TestEnv env;
    std::string good = env.root() + "/good";
    std::string bad = env.root() + "/bad";
    writeBytes(good, sampleFile());
    writeBytes(bad, sampleFile().substr(0, 100));

    MrHandle handle = 0;
    EXPECT_EQ(e.init(1, "", 0, nullptr), kBadArgument);
    EXPECT_EQ(e.init(1, "", 1, &handle), kBadArgument);
    ASSERT_EQ(e.init(1, "", 0, &handle), kOk);
    EXPECT_NE(handle, 0u);
    MrHandle second = 0;
    ASSERT_EQ(e.init(2, nullptr, 0, &second), kOk);
    EXPECT_NE(second, handle);

    uint32_t size = 0;
    EXPECT_EQ(e.extListSize(handle, &size), kNoPattern);
    EXPECT_EQ(queryHandle(handle).status, kNoPattern);
    EXPECT_EQ(e.read(handle, nullptr, 0), kBadArgument);
    EXPECT_EQ(e.read(handle, good.c_str(), 1), kBadArgument);
    EXPECT_EQ(e.setConfig(handle, MR_CONFIG_SCAN_PROFILE, 1, 0), kUnsupported);
    EXPECT_EQ(e.setConfig(handle, 0x11000002, 2, 0), kUnsupported);
    EXPECT_EQ(e.setConfig(handle, MR_CONFIG_SCAN_PROFILE, 2, 0), kOk);

    ASSERT_EQ(e.read(handle, good.c_str(), 0), kOk);
    MrMajorTypeEntry entry{};
    MrPatternPropertyRequest request{-1, &entry};
    EXPECT_EQ(e.property(handle, MR_PROPERTY_MAJOR_TYPES, 0, &request), kBadArgument);
    request = {1, nullptr};
    EXPECT_EQ(e.property(handle, MR_PROPERTY_MAJOR_TYPES, 0, &request), kBadArgument);
    request = {1, &entry};
    EXPECT_EQ(e.property(handle, 0x1000002, 0, &request), kUnsupported);
    EXPECT_EQ(e.property(handle, MR_PROPERTY_MAJOR_TYPES, 0, nullptr), kBadArgument);
    EXPECT_EQ(e.extListSize(handle, nullptr), kBadArgument);
    EXPECT_EQ(e.extList(handle, nullptr), kBadArgument);

    // A failed read leaves no pattern behind: the old one must not pass for the new file.
    EXPECT_EQ(e.read(handle, bad.c_str(), 0), kTruncated);
    EXPECT_EQ(queryHandle(handle).status, kNoPattern);

    EXPECT_EQ(e.release(handle), kOk);
    EXPECT_EQ(e.release(handle), kBadHandle);
    EXPECT_EQ(e.read(handle, good.c_str(), 0), kBadHandle);
    EXPECT_EQ(e.setConfig(handle, MR_CONFIG_SCAN_PROFILE, 2, 0), kBadHandle);
    EXPECT_EQ(e.extListSize(handle, &size), kBadHandle);
    EXPECT_EQ(e.extList(handle, nullptr), kBadHandle);
    EXPECT_EQ(e.property(handle, MR_PROPERTY_MAJOR_TYPES, 0, &request), kBadHandle);
    EXPECT_EQ(e.release(0), kBadHandle);
    EXPECT_EQ(e.release(second), kOk);
}

TEST(MarlinEngineTest, VersionQueryRefusesAFileUntilItsCopyIsComplete) {
    ASSERT_NE(engine().lib, nullptr);
    TestEnv env;
    std::string file = encodePattern(sampleContent(900), std::string(64 * 1024, 'z'));
    std::string path = env.root() + "/sig$vpf.900";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    for (size_t done = 0; done < file.size();) {
        uint32_t version = 1;
        EXPECT_EQ(engine().version(path.c_str(), &version, nullptr), kTruncated) << done;
        size_t block = std::min<size_t>(done < 100 ? 7 : 8192, file.size() - done);
        ASSERT_EQ(::write(fd, file.data() + done, block), static_cast<ssize_t>(block));
        done += block;
    }
    ::close(fd);
    uint32_t version = 0;
    EXPECT_EQ(engine().version(path.c_str(), &version, nullptr), kOk);
    EXPECT_EQ(version, 900u);
}

// Files in a directory, each a valid pattern of an internal version, or other bytes.
struct DirFile {
    const char* name;
    uint32_t version;          // internal version of a valid pattern
    const std::string* bytes;  // instead of a valid pattern when set
};

std::set<std::string> namesIn(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* entry = ::readdir(d)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.insert(name);
        }
        ::closedir(d);
    }
    return names;
}

TEST(MarlinEngineTest, DeleteKeepsTheHighestReadableGenerationsAndTouchesNothingElse) {
    ASSERT_NE(engine().lib, nullptr);
    TestEnv env;
    std::string dir = env.root() + "/Download/";
    std::string copyingIn = sampleFile(99999);
    copyingIn.resize(copyingIn.size() / 2);
    const std::string damaged = "damaged";
    const DirFile files[] = {
        {"sig$vpf.101", 500, nullptr},
        {"sig$vpf.102", 700, nullptr},
        {"sig$vpf.103", 300, nullptr},  // the highest number, not the highest version
        {"SIG$VPF.0100", 600, nullptr},
        {"sig$vpf.104", 700, nullptr},  // ties with .102: the higher number ranks first
        {"sig$vpf.105", 100, nullptr},
        {"sig$vpf.999", 0, &copyingIn},  // being copied in: unreadable, newest
        {"sig$vpf.998", 0, &damaged},    // unreadable
        {"sig$vpf.12a", 1, nullptr},     // not a generation's name
        {"sig$vpf", 1, nullptr},
        {"sig$vpf.1.bak", 1, nullptr},
        {".sig$vpf.106.Ab12Cd", 1, nullptr},  // a writer's temporary file
        {"hlaptn.001", 5, nullptr},           // another pattern
        {"hlaptn.002", 6, nullptr},
    };
    for (const DirFile& f : files) {
        env.writeFile("Download/" + std::string(f.name),
                      f.bytes != nullptr ? *f.bytes : sampleFile(f.version));
    }
    ASSERT_EQ(::mkdir((dir + "sig$vpf.107").c_str(), 0755), 0);
    std::set<std::string> before = namesIn(dir);

    EXPECT_EQ(engine().deleteUnused((env.root() + "/download").c_str(), nullptr, 3), kOk);
    std::set<std::string> expected = before;
    for (const char* gone : {"sig$vpf.101", "sig$vpf.103", "sig$vpf.105"})
        expected.erase(gone);
    EXPECT_EQ(namesIn(dir), expected);
    EXPECT_EQ(readFile(dir + "sig$vpf.999"), copyingIn);

    // Another stem; then nothing more to do.
    EXPECT_EQ(engine().deleteUnused(dir.c_str(), "HLAPTN", 1), kOk);
    expected.erase("hlaptn.001");
    EXPECT_EQ(namesIn(dir), expected);
    EXPECT_EQ(engine().deleteUnused(dir.c_str(), nullptr, 3), kOk);
    EXPECT_EQ(namesIn(dir), expected);
    EXPECT_EQ(engine().deleteUnused((env.root() + "/none").c_str(), nullptr, 3), kOk);

    EXPECT_EQ(engine().deleteUnused(nullptr, nullptr, 5), kBadArgument);
    EXPECT_EQ(engine().deleteUnused(dir.c_str(), nullptr, 0), kBadArgument);
    EXPECT_EQ(engine().deleteUnused(dir.c_str(), "sig*", 1), kBadArgument);
    EXPECT_EQ(engine().deleteUnused(dir.c_str(), "../sig$vpf", 1), kBadArgument);
    EXPECT_EQ(engine().deleteUnused(dir.c_str(), "", 1), kBadArgument);
    EXPECT_EQ(namesIn(dir), expected);
}

TEST(MarlinEngineTest, HandlesServeSeveralThreads) {
    ASSERT_NE(engine().lib, nullptr);
    const Engine& e = engine();
    TestEnv env;
    PatternContent a = sampleContent(1);
    PatternContent b;
    b.internalVersion = 2;
    b.types = {{1, 2, "ONLY"}};
    b.extList = "{*;DOC}";
    std::string pathA = env.root() + "/a";
    std::string pathB = env.root() + "/b";
    writeBytes(pathA, encodePattern(a, std::string(100000, 'a')));
    writeBytes(pathB, encodePattern(b, "b"));

    // One shared handle, re-read by one thread while others query it: every answer is one
    // pattern's whole list.
    MrHandle shared = 0;
    ASSERT_EQ(e.init(0, "", 0, &shared), kOk);
    ASSERT_EQ(e.read(shared, pathA.c_str(), 0), kOk);
    std::atomic<bool> stop{false};
    std::atomic<int> mixed{0};
    std::atomic<int> answers{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            while (!stop) {
                MrMajorTypeEntry entries[4] = {};
                MrPatternPropertyRequest request{4, entries};
                int32_t n = e.property(shared, MR_PROPERTY_MAJOR_TYPES, 0, &request);
                bool isA = n == 3 && std::strcmp(entries[2].name, "a b:c") == 0;
                bool isB = n == 1 && std::strcmp(entries[0].name, "ONLY") == 0 &&
                           entries[1].name[0] == '\0';
                if (n != kNoPattern && !isA && !isB)
                    ++mixed;
                ++answers;
            }
        });
    }
    // Threads with handles of their own, opened and released all the while.
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i) {
                bool useA = (i + t) % 2 == 0;
                Read r = readThroughEngine(useA ? pathA : pathB);
                const PatternContent& want = useA ? a : b;
                if (r.status != kOk || r.types != want.types || r.extList != want.extList)
                    ++mixed;
            }
        });
    }
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(e.read(shared, (i % 2 == 0 ? pathB : pathA).c_str(), 0), kOk);
    for (size_t t = 3; t < threads.size(); ++t)
        threads[t].join();
    stop = true;
    for (size_t t = 0; t < 3; ++t)
        threads[t].join();
    EXPECT_EQ(mixed, 0);
    EXPECT_GT(answers, 0);
    EXPECT_EQ(e.release(shared), kOk);
}

}  // namespace
}  // namespace marlin32
