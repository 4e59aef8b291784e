// The binding of the scan engine: loaded once, every entry point bound, and a verdict kept when
// the engine cannot be loaded, so that the calls built on it fail at once.
#include <gtest/gtest.h>

#include <cgishare/component_info.h>
#include <cgishare/pattern_files.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "engine/marlin.h"
#include "engine/marlin_testing.h"
#include "platform/error.h"
#include "platform/file.h"
#include "support/test_env.h"
#include "support/trace_capture.h"

namespace {

using nvl::engine::marlin;
using nvl::engine::setMarlinLibraryForTesting;

class MarlinBindingTest : public ::testing::Test {
  protected:
    void TearDown() override { setMarlinLibraryForTesting(nullptr); }
};

TEST_F(MarlinBindingTest, BindsEveryEntryOnceForAllThreads) {
    setMarlinLibraryForTesting(nullptr);  // the first use happens in the threads below
    std::vector<const nvl::engine::Marlin*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (auto& slot : seen)
        threads.emplace_back([&slot] { slot = marlin(); });
    for (auto& thread : threads)
        thread.join();
    const nvl::engine::Marlin* engine = seen[0];
    ASSERT_NE(engine, nullptr);
    for (const auto* other : seen)
        EXPECT_EQ(other, engine);
    for (void* entry :
         {(void*)engine->init, (void*)engine->release, (void*)engine->readPatternInFile,
          (void*)engine->setConfig, (void*)engine->getPatternProperty,
          (void*)engine->getExtListSize, (void*)engine->getExtList,
          (void*)engine->deleteUnusedPattern, (void*)engine->getPatternInternalVersion})
        EXPECT_NE(entry, nullptr);
    uint32_t version = 1;
    uint16_t other = 1;
    EXPECT_NE(engine->getPatternInternalVersion("/nonexistent/sig$vpf.1", &version, &other), 0);
}

TEST_F(MarlinBindingTest, VerdictIsKeptAndCallsFailAtOnce) {
    const struct {
        const char* library;
        uint32_t error;
    } cases[] = {
        {"/nonexistent/MARLIN32.dll", nvl::sys::kErrModNotFound},
        {CGIRES_LIBRARY, nvl::sys::kErrProcNotFound},  // a library, but not the engine
    };
    nvl::test::TestEnv env;
    ASSERT_EQ(nvl::sys::replaceFileAtomically(env.home() + "sig$vpf.1", "a pattern?"), 0u);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.library);
        setMarlinLibraryForTesting(c.library);
        nvl::test::TraceCapture traces;
        ASSERT_TRUE(traces.ok());
        for (int round = 0; round < 2; ++round) {
            nvl::sys::setLastError(0);
            EXPECT_EQ(marlin(), nullptr);
            EXPECT_EQ(nvl::sys::lastError(), c.error);
        }
        // The retry pauses are for a file still growing, not for a missing engine.
        auto start = std::chrono::steady_clock::now();
        std::string ext = "1";
        char out[16] = "untouched";
        getInternal_ptn(ext.data(), out, nullptr, 0);
        EXPECT_STREQ(out, "untouched");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
        unsigned version = 9;
        char path[64] = "untouched";
        EXPECT_EQ(getCurrentComponentVerA(0, &version, path, sizeof path), 1);
        EXPECT_EQ(version, 0u);
        EXPECT_STREQ(path, "");
        std::string home = env.home();
        deletePtnFile(home.data(), 0);
        std::vector<std::string> texts = traces.texts();
        EXPECT_NE(
            std::find(texts.begin(), texts.end(),
                      "[getInternal_ptn] MARLIN32 not available (" + std::to_string(c.error) + ")"),
            texts.end());
        EXPECT_NE(
            std::find(texts.begin(), texts.end(),
                      "[deletePtnFile] MARLIN32 not available (" + std::to_string(c.error) + ")"),
            texts.end());
    }
}

}  // namespace
