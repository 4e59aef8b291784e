// The current pattern file of a kind, as the services are told about it.
#include <gtest/gtest.h>

#include <cgishare/component_info.h>

#include <algorithm>
#include <string>
#include <vector>

#include "pattern_format.h"
#include "platform/codepage.h"
#include "platform/file.h"
#include "support/test_env.h"
#include "support/trace_capture.h"

namespace {

using nvl::test::TestEnv;
using nvl::test::TraceCapture;

std::string patternBytes(uint32_t internalVersion) {
    marlin32::PatternContent content;
    content.internalVersion = internalVersion;
    content.types = {{1, 2, "Worm"}};
    content.extList = "{*;EXE}";
    return marlin32::encodePattern(content, std::string(32, 'b'));
}

class ComponentInfoTest : public ::testing::Test {
  protected:
    void put(const std::string& name, const std::string& bytes) {
        ASSERT_EQ(nvl::sys::replaceFileAtomically(env_.home() + name, bytes), 0u) << name;
    }
    void putPattern(const std::string& name, uint32_t internalVersion) {
        put(name, patternBytes(internalVersion));
    }

    struct Answer {
        int result;
        unsigned version;
        std::string path;
    };
    // Both forms, which must agree; `size` is the path's capacity.
    Answer ask(int type, unsigned size = 261) {
        unsigned version = 12345;
        std::string narrow(size + 8, '#');
        int result = getCurrentComponentVerA(type, &version, narrow.data(), static_cast<int>(size));
        unsigned wideVersion = 12345;
        std::u16string wide(size + 8, u'#');
        int wideResult = getCurrentComponentVer(type, &wideVersion, wide.data(), size);
        EXPECT_EQ(result, wideResult);
        EXPECT_EQ(version, wideVersion);
        Answer answer{result, version, narrow.c_str()};
        EXPECT_EQ(nvl::sys::ansiToWide(answer.path), std::u16string(wide.c_str()));
        // Nothing written past the capacity.
        EXPECT_EQ(narrow.substr(size), std::string(8, '#'));
        EXPECT_EQ(wide.substr(size), std::u16string(8, u'#'));
        return answer;
    }

    TestEnv env_;
};

TEST_F(ComponentInfoTest, HighestInternalVersionWins) {
    putPattern("sig$vpf.120", 300);
    putPattern("sig$vpf.121", 250);
    putPattern("sig$vpf.122", 300);                       // same version, later in name order
    put("sig$vpf.123", patternBytes(900).substr(0, 40));  // being copied in
    putPattern("hlaptn.5", 77);
    EXPECT_EQ(ask(0).version, 300u);
    EXPECT_EQ(ask(0).path, env_.home() + "sig$vpf.120");
    EXPECT_EQ(ask(0).result, 1);
    Answer spyware = ask(1);
    EXPECT_EQ(spyware.result, 1);
    EXPECT_EQ(spyware.version, 77u);
    EXPECT_EQ(spyware.path, env_.home() + "hlaptn.5");
}

TEST_F(ComponentInfoTest, NoCandidatesAndUnreadableCandidates) {
    TraceCapture traces;
    ASSERT_TRUE(traces.ok());
    // A type without candidates: 0, and no search is made.
    Answer other = ask(2);
    EXPECT_EQ(other.result, 0);
    EXPECT_EQ(other.version, 0u);
    EXPECT_EQ(other.path, std::string(261 + 8, '#'));  // untouched
    std::vector<std::string> texts = traces.texts();
    EXPECT_TRUE(std::find(texts.begin(), texts.end(),
                          "==> getCurrentComponentVer nComponentType = 2") != texts.end());
    EXPECT_TRUE(std::none_of(texts.begin(), texts.end(), [](const std::string& t) {
        return t.starts_with("Can not find file");
    }));

    // No file of the kind.
    EXPECT_EQ(ask(1).result, 0);
    texts = traces.texts();
    EXPECT_TRUE(std::find(texts.begin(), texts.end(),
                          "Can not find file " + env_.home() + "hlaptn.*") != texts.end());

    // Files the engine cannot read: found, but none current.
    put("sig$vpf.1", "not a pattern");
    put("sig$vpf.2", patternBytes(5) + "x");
    Answer unreadable = ask(0);
    EXPECT_EQ(unreadable.result, 1);
    EXPECT_EQ(unreadable.version, 0u);
    EXPECT_EQ(unreadable.path, "");
}

// A path that does not fit is none: never cut, never unterminated.
TEST_F(ComponentInfoTest, PathThatDoesNotFitIsNone) {
    putPattern("sig$vpf.120", 300);
    unsigned needed = static_cast<unsigned>((env_.home() + "sig$vpf.120").size()) + 1;
    Answer fits = ask(0, needed);
    EXPECT_EQ(fits.version, 300u);
    EXPECT_EQ(fits.path, env_.home() + "sig$vpf.120");
    Answer tooSmall = ask(0, needed - 1);
    EXPECT_EQ(tooSmall.result, 1);
    EXPECT_EQ(tooSmall.version, 0u);
    EXPECT_EQ(tooSmall.path, "");
    EXPECT_EQ(getCurrentComponentVerA(0, nullptr, nullptr, 10), 0);
}

}  // namespace
