// Loading libraries at run time: the name rule, the search order, and handle ownership.
#include "platform/library.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/error.h"
#include "platform/process.h"
#include "support/test_env.h"

namespace nvl::sys {
namespace {

namespace fs = std::filesystem;
using ResourceString = const char* (*)(int);

bool stillLoaded(const std::string& path) {
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr)
        return false;
    ::dlclose(handle);
    return true;
}

TEST(LibraryTest, MapsWindowsLibraryNamesToSharedObjects) {
    const struct {
        const char* name;
        const char* expected;
    } cases[] = {
        {"CGIRes.dll", "CGIRes.so"},
        {"hlu.DLL", "hlu.so"},
        {"MARLIN32", "MARLIN32.so"},
        {"/opt/norvel/loadhttp.dll", "/opt/norvel/loadhttp.so"},
        {"lib.d/tarsk32", "lib.d/tarsk32.so"},  // a dot in the directory is no extension
        {"libm.so.6", "libm.so.6"},
        {"archive.dll.bak", "archive.dll.bak"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sharedObjectName(c.name), c.expected) << c.name;
}

TEST(LibraryTest, LoadsFromAGivenDirectoryWithoutRegardToCase) {
    test::TestEnv env;
    fs::copy_file(CGIRES_EN, env.root() + "/CGIRes.so");

    Library library = Library::load(env.root() + "/cgires.DLL");
    ASSERT_TRUE(library);
    EXPECT_EQ(library.path(), env.root() + "/CGIRes.so");
    auto entry = library.function<ResourceString>("_getResourceString");
    ASSERT_NE(entry, nullptr);
    EXPECT_STREQ(entry(1005), "Back");
}

TEST(LibraryTest, BareNameIsLookedForBesideTheProgramFirst) {
    std::string dir = fs::path(executablePath()).parent_path();
    std::string name = "LibraryTestCopy" + std::to_string(::getpid());
    std::string beside = dir + "/" + name + ".so";
    fs::copy_file(CGIRES_EN, beside);
    struct Remove {
        std::string path;
        ~Remove() { ::unlink(path.c_str()); }
    } remove{beside};

    Library library = Library::load(name + ".dll");
    ASSERT_TRUE(library);
    EXPECT_EQ(library.path(), beside);
}

TEST(LibraryTest, BareNameFallsBackToTheLoaderSearchPath) {
    Library library = Library::load("libm.so.6");
    ASSERT_TRUE(library);
    EXPECT_EQ(library.path(), "libm.so.6");
    EXPECT_NE(library.symbol("cos"), nullptr);
}

TEST(LibraryTest, ReportsMissingLibrariesAndSymbols) {
    std::string error;
    Library missing = Library::load("no_such_library_for_tests.dll", &error);
    EXPECT_FALSE(missing);
    EXPECT_EQ(lastError(), kErrModNotFound);
    EXPECT_NE(error.find("no_such_library_for_tests.so"), std::string::npos) << error;
    EXPECT_EQ(missing.symbol("anything"), nullptr);
    EXPECT_FALSE(Library::load(""));

    Library library = Library::load(CGIRES_EN);
    ASSERT_TRUE(library);
    setLastError(kSuccess);
    EXPECT_EQ(library.symbol("noSuchEntry"), nullptr);
    EXPECT_EQ(lastError(), kErrProcNotFound);
}

TEST(LibraryTest, OwnsItsHandleThroughMovesAndCloses) {
    test::TestEnv env;
    std::string path = env.root() + "/Owned.so";
    fs::copy_file(CGIRES_EN, path);

    Library first = Library::load(path);
    ASSERT_TRUE(first);
    Library second = std::move(first);
    EXPECT_FALSE(first);  // NOLINT(bugprone-use-after-move): a moved-from library is empty
    EXPECT_TRUE(second);
    Library third;
    third = std::move(second);
    EXPECT_TRUE(stillLoaded(path));
    third.reset();
    EXPECT_FALSE(third);
    EXPECT_FALSE(stillLoaded(path));
}

}  // namespace
}  // namespace nvl::sys
