// The cleaner pattern's header walk, and how opening a pattern file fails.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "cleaner/cleaner.h"
#include "cleaner/pattern_header.h"
#include "platform/file.h"
#include "support/child_process.h"
#include "support/test_env.h"

namespace {

using nvl::cleaner::kCleanerFailure;
using nvl::cleaner::kCleanerOk;
using nvl::test::TestEnv;

// A 14-byte header: magic (or another tag), counts a (bytes 4-5) and b (bytes 12-13), version
// (bytes 10-11).
std::string header(uint32_t magic, uint16_t a, uint16_t b, uint16_t version) {
    std::string h(14, '\0');
    for (int i = 0; i < 4; ++i)
        h[i] = static_cast<char>(magic >> (8 * i));
    h[4] = static_cast<char>(a);
    h[5] = static_cast<char>(a >> 8);
    h[6] = 'x';  // bytes 6-9 are not read
    h[9] = 'y';
    h[10] = static_cast<char>(version);
    h[11] = static_cast<char>(version >> 8);
    h[12] = static_cast<char>(b);
    h[13] = static_cast<char>(b >> 8);
    return h;
}

constexpr uint32_t kMagic = nvl::cleaner::kPatternMagic;
constexpr uint32_t kOther = 0x4C424C4E;

// The walk on `bytes`, through a file descriptor as the library reads files.
std::pair<uint32_t, uint16_t> walk(const std::string& bytes) {
    nvl::sys::UniqueFd fd(::memfd_create("pattern", MFD_CLOEXEC));
    if (!fd || nvl::sys::writeAll(fd.get(), bytes) != 0)
        return {0xFFFFFFFF, 0};
    uint16_t version = 0xBEEF;
    uint32_t status = nvl::cleaner::readPatternVersionFd(fd.get(), &version);
    return {status, status == kCleanerOk ? version : 0};
}

TEST(PatternHeaderTest, Walk) {
    const std::string lead310 = header(kOther, 3, 10, 1);
    const struct {
        const char* name;
        std::string bytes;
        uint32_t status;
        uint16_t version;
    } cases[] = {
        {"magic first", header(kMagic, 3, 10, 1234) + "body", kCleanerOk, 1234},
        {"magic first, nothing behind", header(kMagic, 0, 0, 7), kCleanerOk, 7},
        {"version 65535 is unsigned", header(kMagic, 0, 0, 65535), kCleanerOk, 65535},
        {"counts 3 and 10: read again at 44",
         lead310 + std::string(30, 'b') + header(kMagic, 0, 0, 4321), kCleanerOk, 4321},
        {"two leading headers; positions count from the start of the file",
         header(kOther, 2, 7, 0) + std::string(14, 'b') + header(kOther, 4, 7, 0) +
             header(kMagic, 0, 0, 5),
         kCleanerOk, 5},
        {"empty file", "", kCleanerFailure, 0},
        {"13 bytes", header(kMagic, 0, 0, 1).substr(0, 13), kCleanerFailure, 0},
        {"position at the end", lead310 + std::string(30, 'b'), kCleanerFailure, 0},
        {"position past the end", lead310 + std::string(20, 'b'), kCleanerFailure, 0},
        {"header cut short at the position", lead310 + std::string(30, 'b') + "\x1A\xE2\xBD\x1A",
         kCleanerFailure, 0},
        {"counts of 65535 reach past any small file", header(kOther, 65535, 65535, 0),
         kCleanerFailure, 0},
        {"a header that leads to itself ends",
         header(kOther, 0, 0, 0) + header(kOther, 0, 0, 0) + std::string(200, 'z'), kCleanerFailure,
         0},
        {"two headers that lead to each other end",
         header(kOther, 1, 14, 0) + header(kOther, 1, 14, 0) + header(kOther, 0, 0, 0) +
             std::string(100, 'z'),
         kCleanerFailure, 0},
    };
    for (const auto& c : cases) {
        auto [status, version] = walk(c.bytes);
        EXPECT_EQ(status, c.status) << c.name;
        EXPECT_EQ(version, c.version) << c.name;
    }
}

TEST(PatternHeaderTest, ALoopOnALargeFileEndsAfterItsRoomForHeaders) {
    // 1 MiB whose first header leads to position 14, which leads to itself: a walk without a
    // bound would never end; this one ends after size / 14 reads.
    std::string bytes = header(kOther, 0, 0, 0) + header(kOther, 0, 0, 0);
    bytes.resize(1 << 20, 'z');
    EXPECT_EQ(walk(bytes).first, kCleanerFailure);
}

TEST(PatternHeaderTest, OpenFailures) {
    TestEnv env;
    std::string dir = env.root() + "/Admin/";
    nvl::sys::makeDirectories(dir);
    uint16_t version = 0;
    EXPECT_EQ(nvl::cleaner::readPatternVersionFile(dir + "missing.ptn", &version),
              nvl::cleaner::kCleanerPatternNotFound);
    EXPECT_EQ(nvl::cleaner::readPatternVersionFile(dir + "nodir/qxc.ptn", &version),
              nvl::cleaner::kCleanerPatternNotFound);
    // A directory, a FIFO (never waited on) and a file below a file are no pattern files.
    nvl::sys::makeDirectories(dir + "adir.ptn");
    EXPECT_EQ(nvl::cleaner::readPatternVersionFile(dir + "adir.ptn", &version), kCleanerFailure);
    ASSERT_EQ(::mkfifo((dir + "fifo.ptn").c_str(), 0600), 0);
    EXPECT_EQ(nvl::cleaner::readPatternVersionFile(dir + "fifo.ptn", &version), kCleanerFailure);
    env.writeFile("Admin/qxc.ptn", header(kMagic, 0, 0, 812));
    EXPECT_EQ(nvl::cleaner::readPatternVersionFile(dir + "qxc.ptn/x", &version), kCleanerFailure);
    if (::geteuid() != 0) {
        env.writeFile("Admin/closed.ptn", header(kMagic, 0, 0, 1));
        ASSERT_EQ(::chmod((dir + "closed.ptn").c_str(), 0), 0);
        EXPECT_EQ(nvl::cleaner::readPatternVersionFile(dir + "closed.ptn", &version),
                  kCleanerFailure);
    }
    // Names are matched without regard to case when the spelling is not there.
    ASSERT_EQ(nvl::cleaner::readPatternVersionFile(env.root() + "/admin/QXC.PTN", &version),
              kCleanerOk);
    EXPECT_EQ(version, 812);
}

TEST(PatternHeaderTest, AFileUnderAnotherProcesssWriteLeaseIsLocked) {
    TestEnv env;
    std::string path = env.writeFile("Admin/qxc.ptn", header(kMagic, 0, 0, 3));
    nvl::test::Channel ready, done;
    nvl::test::Child holder([&] {
        ::signal(SIGIO, SIG_IGN);  // the lease break notice
        nvl::sys::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        int leased = fd && ::fcntl(fd.get(), F_SETLEASE, F_WRLCK) == 0;
        ready.post(leased ? 'l' : 'n');
        done.take();
        return 0;
    });
    char state = ready.take();
    if (state != 'l') {
        done.post();
        GTEST_SKIP() << "no leases on this file system";
    }
    uint16_t version = 0;
    EXPECT_EQ(nvl::cleaner::readPatternVersionFile(path, &version),
              nvl::cleaner::kCleanerPatternLocked);
    done.post();
    EXPECT_EQ(holder.wait(), 0);
    EXPECT_EQ(nvl::cleaner::readPatternVersionFile(path, &version), kCleanerOk);
    EXPECT_EQ(version, 3);
}

}  // namespace
