// Named mutexes, events, waits and file mappings, shared by real processes. Children are forked,
// ordered by pipes and their exit codes, and reaped before anything is asserted about objects
// they held (the kernel lets go of their locks and robust mutexes before they can be reaped).
#include "platform/named_object.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "support/child_process.h"
#include "support/test_env.h"

namespace nvl::sys {
namespace {

using Clock = std::chrono::steady_clock;

// How long the parent waits for what must happen at once; a fault fails rather than hangs.
constexpr uint32_t kPatienceMs = 10000;

using test::blockedInWait;
using test::Channel;
using test::Child;

long elapsedMs(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

std::vector<std::string> objectFiles() {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(objectDirectory().c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.')
                names.emplace_back(entry->d_name);
        }
        ::closedir(dir);
    }
    return names;
}

class NamedObjectTest : public ::testing::Test {
  protected:
    // Every object a test made is gone once its handles are: no name leaks.
    void TearDown() override { EXPECT_EQ(objectFiles(), std::vector<std::string>{}); }

    test::TestEnv env_;
};

// --- Names and lifetime ----------------------------------------------------------------------

TEST(NamedObjectNames, MapToFileNames) {
    const std::string n260(260, 'x');
    struct Case {
        std::string name, file;
    } cases[] = {
        {"Norvel ChkGUID Mutex", "n.Norvel%20ChkGUID%20Mutex"},
        {"Global\\Norvel ChkGUID Mutex", "n.Norvel%20ChkGUID%20Mutex"},
        {"Local\\Norvel ChkGUID Mutex", "n.Norvel%20ChkGUID%20Mutex"},
        {"global\\X", "n.global%5CX"},  // the prefix is case-sensitive
        {"a\\b/c%d", "n.a%5Cb%2Fc%25d"},
        {".lock", "n.%2Elock"},
        {"..", "n.%2E."},
        {"x.y", "n.x.y"},
        {"\xC3\xA9t\xC3\xA9", "n.%C3%A9t%C3%A9"},
        {n260, "h.83ae2552437bc1ca933b5ae32d9b60f4"},  // a stable hash: it names shared files
        {n260 + "y", ""},                              // too long
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(objectFileName(c.name), c.file) << c.name;
    EXPECT_NE(objectFileName("Foo"), objectFileName("foo"));
}

TEST_F(NamedObjectTest, CreateOpenAndLastCloseForEveryKind) {
    struct Kind {
        const char* name;
        std::function<Handle(const char*)> create, open;
    } kinds[] = {
        {"mutex", [](const char* n) { return createMutex(n, false); }, openMutex},
        {"event", [](const char* n) { return createEvent(n, true, false); }, openEvent},
        {"mapping", [](const char* n) { return createFileMapping(n, 100); }, openFileMapping},
    };
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        EXPECT_FALSE(kind.open("Global\\obj a\\b"));
        EXPECT_EQ(lastError(), kErrFileNotFound);
        Handle first = kind.create("obj a\\b");
        ASSERT_TRUE(first);
        EXPECT_EQ(lastError(), kSuccess);
        Handle second = kind.create("Local\\obj a\\b");
        ASSERT_TRUE(second);
        EXPECT_EQ(lastError(), kErrAlreadyExists);
        Handle third = kind.open("Global\\obj a\\b");
        EXPECT_TRUE(third);
        first.reset();
        second.reset();
        EXPECT_TRUE(kind.open("obj a\\b"));
        third.reset();
        EXPECT_FALSE(kind.open("obj a\\b"));
        EXPECT_EQ(lastError(), kErrFileNotFound);
    }
}

TEST_F(NamedObjectTest, NameHeldByAnotherKindIsRefused) {
    Handle mutex = createMutex("shared name", false);
    ASSERT_TRUE(mutex);
    EXPECT_FALSE(createEvent("shared name", false, false));
    EXPECT_EQ(lastError(), kErrInvalidHandle);
    EXPECT_FALSE(openEvent("shared name"));
    EXPECT_EQ(lastError(), kErrInvalidHandle);
    EXPECT_FALSE(createFileMapping("shared name", 10));
    EXPECT_EQ(lastError(), kErrInvalidHandle);
    EXPECT_FALSE(setEvent(mutex.get()));
    EXPECT_EQ(lastError(), kErrInvalidHandle);
    EXPECT_EQ(waitForSingleObject(mutex.get(), 0), kWaitObject0);  // unharmed
    EXPECT_TRUE(releaseMutex(mutex.get()));
}

TEST_F(NamedObjectTest, BadHandlesAndNames) {
    EXPECT_FALSE(createEvent(std::string(261, 'e'), false, false));
    EXPECT_EQ(lastError(), kErrFilenameTooLong);
    EXPECT_TRUE(createEvent(std::string(260, 'e'), false, false));
    for (HandleValue bad : {HandleValue(nullptr), reinterpret_cast<HandleValue>(-1),
                            reinterpret_cast<HandleValue>(0x1000)}) {
        EXPECT_EQ(waitForSingleObject(bad, 0), kWaitFailed);
        EXPECT_EQ(lastError(), kErrInvalidHandle);
        EXPECT_FALSE(closeHandle(bad));
    }
    Handle event = createEvent("closed twice", false, false);
    HandleValue value = event.release();
    EXPECT_TRUE(closeHandle(value));
    EXPECT_FALSE(closeHandle(value));
    EXPECT_EQ(lastError(), kErrInvalidHandle);
}

TEST_F(NamedObjectTest, StaleFileIsReplacedNotReused) {
    // What a holder that was killed, or a creator killed half way, leaves: a file nobody holds.
    std::string path = objectDirectory() + "/" + objectFileName("stale");
    {
        Handle keepsDirectory = createEvent("other", false, false);
        std::ofstream(path) << std::string(8192, '\xAB');
        EXPECT_FALSE(openMutex("stale"));
        EXPECT_EQ(lastError(), kErrFileNotFound);
        EXPECT_NE(::access(path.c_str(), F_OK), 0) << "an open removes a stale file";
        std::ofstream(path) << std::string(8192, '\xAB');
    }
    Handle mapping = createFileMapping("stale", 4096);
    ASSERT_TRUE(mapping);
    EXPECT_EQ(lastError(), kSuccess);
    MappedView view = mapViewOfFile(mapping.get(), kFileMapRead, 0, 0);
    ASSERT_TRUE(view);
    EXPECT_EQ(static_cast<const unsigned char*>(view.data())[0], 0);
}

TEST_F(NamedObjectTest, HolderThatExitsOrIsKilledTakesTheObjectWithIt) {
    // "The service's event can be opened" must mean "the service is alive".
    for (bool killed : {false, true}) {
        SCOPED_TRACE(killed ? "SIGKILL" : "exit without closing");
        Channel ready, finish;
        Child service([&] {
            Handle stop = createEvent("Halden_Norvel_Server_Stop_Event", true, false);
            ready.post(stop ? 'y' : 'n');
            finish.take();
            ::_exit(0);  // handles left open
            return 0;
        });
        ASSERT_EQ(ready.take(), 'y');
        EXPECT_TRUE(openEvent("Halden_Norvel_Server_Stop_Event"));  // probe: open and close
        EXPECT_TRUE(openEvent("Halden_Norvel_Server_Stop_Event"));  // the probe kept nothing
        if (killed)
            service.kill();
        else
            finish.post();
        service.wait();
        EXPECT_FALSE(openEvent("Halden_Norvel_Server_Stop_Event"));
        EXPECT_EQ(lastError(), kErrFileNotFound);
    }
}

TEST_F(NamedObjectTest, ForkedChildInheritsNoHandles) {
    Handle event = createEvent("parent's", true, false);
    Channel checked, finish;
    Child child([&] {
        // The parent's handle is not the child's; closing it must not remove the parent's name.
        bool invalid = waitForSingleObject(event.get(), 0) == kWaitFailed &&
                       lastError() == kErrInvalidHandle && !closeHandle(event.get());
        bool opens = static_cast<bool>(openEvent("parent's"));
        checked.post(invalid && opens ? 'y' : 'n');
        finish.take();
        return 0;
    });
    EXPECT_EQ(checked.take(), 'y');
    EXPECT_TRUE(openEvent("parent's"));
    event.reset();
    EXPECT_FALSE(openEvent("parent's")) << "a forked child does not keep the parent's objects";
    finish.post();
    EXPECT_EQ(child.wait(), 0);
}

TEST_F(NamedObjectTest, DirectoryMadeAgainWhileTheProcessRuns) {
    // This process already used the directory; one made again at its path is the one every
    // process sees from then on, so a create here must land in it.
    { Handle first = createEvent("before", false, false); }
    std::string dir = objectDirectory();
    ASSERT_EQ(::unlink((dir + "/.lock").c_str()), 0);
    ASSERT_EQ(::rmdir(dir.c_str()), 0);
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);

    Handle event = createEvent("after", true, false);
    ASSERT_TRUE(event);
    EXPECT_EQ(lastError(), kSuccess);
    EXPECT_EQ(objectFiles(), std::vector<std::string>{"n.after"});
    Child child([] { return setEvent(openEvent("after").get()) ? 0 : 1; });
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(waitForSingleObject(event.get(), 0), kWaitObject0);
}

// --- Mutexes ---------------------------------------------------------------------------------

TEST_F(NamedObjectTest, MutexExcludesProcesses) {
    constexpr int kProcesses = 4, kRounds = 2000;
    Handle mapping = createFileMapping("counter", sizeof(long));
    MappedView view = mapViewOfFile(mapping.get(), kFileMapAllAccess, 0, 0);
    ASSERT_TRUE(view);
    Channel go;
    std::vector<std::unique_ptr<Child>> children;
    for (int p = 0; p < kProcesses; ++p) {
        children.push_back(std::make_unique<Child>([&] {
            Handle mutex = createMutex("Norvel ChkGUID Mutex", false);
            Handle shared = openFileMapping("counter");
            MappedView counter = mapViewOfFile(shared.get(), kFileMapWrite, 0, 0);
            if (!mutex || !counter)
                return 1;
            auto* value = static_cast<volatile long*>(counter.data());
            go.take();
            for (int i = 0; i < kRounds; ++i) {
                if (waitForSingleObject(mutex.get(), kInfinite) != kWaitObject0)
                    return 2;
                long seen = *value;
                if (i % 16 == 0)
                    sched_yield();  // widen the window a missing exclusion would show in
                *value = seen + 1;
                if (!releaseMutex(mutex.get()))
                    return 3;
            }
            return 0;
        }));
    }
    for (int p = 0; p < kProcesses; ++p)
        go.post();
    for (auto& child : children)
        EXPECT_EQ(child->wait(), 0);
    EXPECT_EQ(*static_cast<long*>(view.data()), long{kProcesses} * kRounds);
}

TEST_F(NamedObjectTest, MutexIsRecursiveAndOnlyItsOwnerReleasesIt) {
    Handle mutex = createMutex("recursive", false);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(waitForSingleObject(mutex.get(), kInfinite), kWaitObject0);

    std::thread([&] {
        EXPECT_FALSE(releaseMutex(mutex.get()));  // another thread
        EXPECT_EQ(lastError(), kErrNotOwner);
        EXPECT_EQ(waitForSingleObject(mutex.get(), 0), kWaitTimeout);
    }).join();
    auto otherProcess = [] {
        Handle m = openMutex("recursive");
        if (releaseMutex(m.get()) || lastError() != kErrNotOwner)
            return 1;
        return waitForSingleObject(m.get(), 0) == kWaitTimeout ? 0 : 2;
    };
    EXPECT_EQ(Child(otherProcess).wait(), 0);

    EXPECT_TRUE(releaseMutex(mutex.get()));
    EXPECT_TRUE(releaseMutex(mutex.get()));
    EXPECT_EQ(Child(otherProcess).wait(), 0) << "still owned once";
    EXPECT_TRUE(releaseMutex(mutex.get()));
    EXPECT_FALSE(releaseMutex(mutex.get()));
    EXPECT_EQ(lastError(), kErrNotOwner);
    EXPECT_EQ(Child([] {
                  Handle m = openMutex("recursive");
                  return waitForSingleObject(m.get(), 0) == kWaitObject0 ? 0 : 1;
              }).wait(),
              0);
}

TEST_F(NamedObjectTest, MutexWaitTimesOutWhileAnotherProcessOwnsIt) {
    Handle mutex = createMutex("busy", false);
    Channel owned, release;
    Child owner([&] {
        Handle m = openMutex("busy");
        if (waitForSingleObject(m.get(), kInfinite) != kWaitObject0)
            return 1;
        owned.post();
        release.take();
        return releaseMutex(m.get()) ? 0 : 2;
    });
    owned.take();
    EXPECT_EQ(waitForSingleObject(mutex.get(), 0), kWaitTimeout);
    auto start = Clock::now();
    EXPECT_EQ(waitForSingleObject(mutex.get(), 100), kWaitTimeout);
    EXPECT_GE(elapsedMs(start), 100);
    EXPECT_LT(elapsedMs(start), 2000);
    release.post();
    EXPECT_EQ(waitForSingleObject(mutex.get(), kPatienceMs), kWaitObject0);
    EXPECT_TRUE(releaseMutex(mutex.get()));
    EXPECT_EQ(owner.wait(), 0);
}

TEST_F(NamedObjectTest, InitialOwnerOnlyForTheCreator) {
    Handle mine = createMutex("initial", true);
    ASSERT_EQ(lastError(), kSuccess);
    EXPECT_EQ(Child([] {
                  Handle m = createMutex("initial", true);  // exists: not owned
                  if (lastError() != kErrAlreadyExists)
                      return 1;
                  if (releaseMutex(m.get()))
                      return 2;
                  return waitForSingleObject(m.get(), 0) == kWaitTimeout ? 0 : 3;
              }).wait(),
              0);
    EXPECT_TRUE(releaseMutex(mine.get()));
    EXPECT_FALSE(releaseMutex(mine.get()));
}

TEST_F(NamedObjectTest, OwnerThatDiesAbandonsTheMutex) {
    enum class Death { kSigkill, kExit, kThreadEnds };
    struct Case {
        const char* what;
        Death death;
        bool waiterBlocked;
        bool ownerClosedHandle = false;
    } cases[] = {
        {"SIGKILL, waiter blocked", Death::kSigkill, true},
        {"SIGKILL, waiter comes later", Death::kSigkill, false},
        {"exit, waiter blocked", Death::kExit, true},
        {"owner thread ends, waiter comes later", Death::kThreadEnds, false},
        {"owner closed its handle, then SIGKILL", Death::kSigkill, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Handle mutex = createMutex("abandoned", false);
        Channel owned, die, waiterResult;
        Child owner([&] {
            Handle m = openMutex("abandoned");
            auto take = [&] { return waitForSingleObject(m.get(), kInfinite) == kWaitObject0; };
            if (c.death == Death::kThreadEnds) {
                bool ok = false;
                std::thread([&] { ok = take(); }).join();
                owned.post(ok ? 'y' : 'n');
                die.take();
                return 0;
            }
            bool ok = take();
            if (c.ownerClosedHandle)
                m.reset();  // still the owner, without a handle
            owned.post(ok ? 'y' : 'n');
            die.take();
            ::_exit(0);  // still owning
            return 0;
        });
        ASSERT_EQ(owned.take(), 'y');
        std::unique_ptr<Child> waiter;
        if (c.waiterBlocked) {
            waiter = std::make_unique<Child>([&] {
                Handle m = openMutex("abandoned");
                uint32_t result = waitForSingleObject(m.get(), kInfinite);
                // The new owner: recursion and release work.
                bool owns = waitForSingleObject(m.get(), 0) == kWaitObject0 &&
                            releaseMutex(m.get()) && releaseMutex(m.get());
                waiterResult.post(result == kWaitAbandoned0 && owns ? 'a' : 'n');
                return 0;
            });
            ASSERT_TRUE(blockedInWait(waiter->pid()));
        }
        if (c.death == Death::kSigkill)
            owner.kill();
        else if (c.death == Death::kExit)
            die.post();
        if (c.death == Death::kThreadEnds) {
            // The owning thread is gone; its process lives on.
            EXPECT_EQ(waitForSingleObject(mutex.get(), kPatienceMs), kWaitAbandoned0);
            EXPECT_TRUE(releaseMutex(mutex.get()));
            die.post();
            owner.wait();
        } else {
            owner.wait();
            if (c.waiterBlocked) {
                EXPECT_EQ(waiterResult.take(), 'a');
                waiter->wait();
            } else {
                EXPECT_EQ(waitForSingleObject(mutex.get(), kPatienceMs), kWaitAbandoned0);
                EXPECT_EQ(waitForSingleObject(mutex.get(), 0), kWaitObject0);  // owns it
                EXPECT_TRUE(releaseMutex(mutex.get()));
                EXPECT_TRUE(releaseMutex(mutex.get()));
            }
        }
        // Reported once: the next acquirer finds an ordinary mutex.
        EXPECT_EQ(waitForSingleObject(mutex.get(), 0), kWaitObject0);
        EXPECT_TRUE(releaseMutex(mutex.get()));
    }
}

TEST_F(NamedObjectTest, ThreadsShareObjectsAndMayCloseWhileOthersWait) {
    constexpr int kThreads = 4, kRounds = 5000;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            Handle m;
            for (int i = 0; i < kRounds; ++i) {
                if (i % 16 == 0)
                    m = createMutex("threads", false);  // the table changes under the others
                ASSERT_EQ(waitForSingleObject(m.get(), kInfinite), kWaitObject0);
                ++counter;
                ASSERT_TRUE(releaseMutex(m.get()));
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(counter, long{kThreads} * kRounds);

    // A handle closed by one thread while another waits on it: the wait goes on.
    Handle event = createEvent("closed while waited", false, false);
    Handle waiterHandle = duplicateHandle(event.get());
    HandleValue value = waiterHandle.get();
    std::atomic<pid_t> tid{0};
    uint32_t result = 0;
    std::thread waiter([&] {
        tid = static_cast<pid_t>(::gettid());
        result = waitForSingleObject(value, kPatienceMs);
    });
    while (tid == 0)
        std::this_thread::yield();
    ASSERT_TRUE(blockedInWait("/proc/self/task/" + std::to_string(tid.load())));
    waiterHandle.reset();
    EXPECT_TRUE(setEvent(event.get()));
    waiter.join();
    EXPECT_EQ(result, kWaitObject0);
}

TEST_F(NamedObjectTest, ClosedHandlesStayRefusedWhileOtherThreadsReuseTheirSlots) {
    // Handles are looked up without a lock while others are opened and closed, their slots and
    // table entries reused: a closed handle must never reach the object that took its place.
    constexpr int kRounds = 3000;
    Handle kept = createEvent("kept", true, false);
    std::atomic<HandleValue> closed{nullptr};
    std::atomic<bool> done{false};
    std::vector<std::thread> churners;
    for (int t = 0; t < 2; ++t) {
        churners.emplace_back([&, t] {
            std::string name = "churn " + std::to_string(t);
            for (int i = 0; i < kRounds; ++i) {
                Handle h = createEvent(name, true, false);
                HandleValue value = h.get();
                h.reset();
                closed = value;
            }
        });
    }
    std::thread user([&] {
        long refusedWrongly = 0, acceptedWrongly = 0;
        while (!done) {
            if (!setEvent(kept.get()))
                ++refusedWrongly;
            HandleValue stale = closed.load();
            if (stale != nullptr && (setEvent(stale) || lastError() != kErrInvalidHandle))
                ++acceptedWrongly;
        }
        EXPECT_EQ(refusedWrongly, 0);
        EXPECT_EQ(acceptedWrongly, 0);
    });
    for (auto& thread : churners)
        thread.join();
    done = true;
    user.join();
}

// --- Events and waits ----------------------------------------------------------------------

TEST_F(NamedObjectTest, EventStateFollowsItsResetMode) {
    // Operations: S set, R reset, W wait(0) that must succeed, T wait(0) that must time out.
    struct Case {
        bool manual, initial;
        const char* script;
    } cases[] = {
        {false, false, "TSWT"}, {false, true, "WT"},     {false, false, "SSWT"},
        {false, true, "RT"},    {true, false, "TSWWRT"}, {true, true, "WWRTSW"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.manual ? "manual " : "auto ") + (c.initial ? "set " : "") +
                     c.script);
        Handle event = createEvent("", c.manual, c.initial);  // unnamed
        ASSERT_TRUE(event);
        for (const char* op = c.script; *op != '\0'; ++op) {
            switch (*op) {
                case 'S':
                    EXPECT_TRUE(setEvent(event.get()));
                    break;
                case 'R':
                    EXPECT_TRUE(resetEvent(event.get()));
                    break;
                case 'W':
                    EXPECT_EQ(waitForSingleObject(event.get(), 0), kWaitObject0) << op;
                    break;
                case 'T':
                    EXPECT_EQ(waitForSingleObject(event.get(), 0), kWaitTimeout) << op;
                    break;
            }
        }
    }
}

TEST_F(NamedObjectTest, AutoResetSetReleasesExactlyOneBlockedProcess) {
    Handle event = createEvent("request", false, false);
    Channel woke;
    auto waiterBody = [&] {
        Handle e = openEvent("request");
        uint32_t result = waitForSingleObject(e.get(), kInfinite);
        woke.post(result == kWaitObject0 ? 'y' : 'n');
        return 0;
    };
    Child first(waiterBody), second(waiterBody);
    ASSERT_TRUE(blockedInWait(first.pid()));
    ASSERT_TRUE(blockedInWait(second.pid()));
    EXPECT_TRUE(setEvent(event.get()));
    EXPECT_EQ(woke.take(), 'y');
    EXPECT_TRUE(setEvent(event.get()));
    EXPECT_EQ(woke.take(), 'y');
    first.wait();
    second.wait();
    // Had one set released both, the second set would still be pending.
    EXPECT_EQ(waitForSingleObject(event.get(), 0), kWaitTimeout);
}

TEST_F(NamedObjectTest, ManualResetSetReleasesEveryBlockedProcess) {
    for (bool resetAtOnce : {false, true}) {
        SCOPED_TRACE(resetAtOnce ? "set, then reset at once" : "set");
        Handle event = createEvent("broadcast", true, false);
        std::vector<std::unique_ptr<Child>> waiters;
        for (int i = 0; i < 3; ++i) {
            waiters.push_back(std::make_unique<Child>([] {
                Handle e = openEvent("broadcast");
                return waitForSingleObject(e.get(), kInfinite) == kWaitObject0 ? 0 : 1;
            }));
        }
        for (auto& waiter : waiters)
            ASSERT_TRUE(blockedInWait(waiter->pid()));
        EXPECT_TRUE(setEvent(event.get()));
        if (resetAtOnce) {
            EXPECT_TRUE(resetEvent(event.get()));
        }
        for (auto& waiter : waiters)
            EXPECT_EQ(waiter->wait(), 0);
        EXPECT_EQ(waitForSingleObject(event.get(), 0), resetAtOnce ? kWaitTimeout : kWaitObject0);
    }
}

class WaitAnyTest : public NamedObjectTest, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override { setMultiWaitPollingForTesting(GetParam()); }
    void TearDown() override {
        setMultiWaitPollingForTesting(false);
        NamedObjectTest::TearDown();
    }
};

TEST_P(WaitAnyTest, LowestSignalledIndexWinsAndOnlyItIsConsumed) {
    // [stop (manual), request 1..3 (auto)], as a service waits on its stop event and requests.
    struct Case {
        const char* signalled;  // which of the four are set before the wait
        uint32_t result;
        const char* left;  // which are still set afterwards
    } cases[] = {
        {"0000", kWaitTimeout, "0000"},
        {"0001", 3, "0000"},
        {"0110", 1, "0010"},
        {"1111", 0, "1111"},
        {"0101", 1, "0001"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.signalled);
        Handle events[4] = {createEvent("stop", true, false), createEvent("req1", false, false),
                            createEvent("req2", false, false), createEvent("req3", false, false)};
        HandleValue values[4];
        for (int i = 0; i < 4; ++i) {
            values[i] = events[i].get();
            if (c.signalled[i] == '1')
                setEvent(values[i]);
        }
        EXPECT_EQ(waitForMultipleObjects(values, 0), c.result);
        for (int i = 0; i < 4; ++i) {
            bool set = waitForSingleObject(values[i], 0) == kWaitObject0;
            EXPECT_EQ(set, c.left[i] == '1') << "event " << i;
        }
    }
}

TEST_P(WaitAnyTest, BlockedWaitIsReleasedBySetOfAnyIndex) {
    Handle events[3] = {createEvent("w0", true, false), createEvent("w1", false, false),
                        createEvent("w2", false, false)};
    for (int k : {2, 1, 0}) {
        SCOPED_TRACE(k);
        Child waiter([] {
            Handle e[3] = {openEvent("w0"), openEvent("w1"), openEvent("w2")};
            HandleValue v[3] = {e[0].get(), e[1].get(), e[2].get()};
            return static_cast<int>(waitForMultipleObjects(v, kInfinite));
        });
        ASSERT_TRUE(blockedInWait(waiter.pid()));
        EXPECT_TRUE(setEvent(events[k].get()));
        EXPECT_EQ(waiter.wait(), k);
        EXPECT_EQ(waitForSingleObject(events[k].get(), 0), k == 0 ? kWaitObject0 : kWaitTimeout)
            << "an auto-reset event is consumed by the wait that took it";
    }

    auto start = Clock::now();
    Handle quiet[2] = {createEvent("q0", false, false), createEvent("q1", false, false)};
    HandleValue values[2] = {quiet[0].get(), quiet[1].get()};
    EXPECT_EQ(waitForMultipleObjects(values, 50), kWaitTimeout);
    EXPECT_GE(elapsedMs(start), 50);
    EXPECT_LT(elapsedMs(start), 2000);
}

INSTANTIATE_TEST_SUITE_P(Modes, WaitAnyTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) {
                             return param.param ? "Polling" : "FutexWaitv";
                         });

TEST_F(NamedObjectTest, WaitOnMutexAndEventTogether) {
    Handle mutex = createMutex("ring mutex", true);
    Handle event = createEvent("ring event", false, false);
    Channel next;
    Child waiter([&] {
        Handle m = openMutex("ring mutex");
        Handle e = openEvent("ring event");
        HandleValue v[2] = {m.get(), e.get()};
        uint32_t first = waitForMultipleObjects(v, kInfinite);  // the event: the mutex is owned
        next.post();
        uint32_t second = waitForMultipleObjects(v, kInfinite);  // the mutex, once released
        bool owns = releaseMutex(m.get());
        return first == 1 && second == 0 && owns ? 0 : 1;
    });
    ASSERT_TRUE(blockedInWait(waiter.pid()));
    EXPECT_TRUE(setEvent(event.get()));
    next.take();
    ASSERT_TRUE(blockedInWait(waiter.pid()));
    EXPECT_TRUE(releaseMutex(mutex.get()));
    EXPECT_EQ(waiter.wait(), 0);
}

TEST_F(NamedObjectTest, EventWaitTimesOut) {
    Handle event = createEvent("never set", false, false);
    for (uint32_t ms : {0u, 50u}) {
        auto start = Clock::now();
        EXPECT_EQ(waitForSingleObject(event.get(), ms), kWaitTimeout);
        EXPECT_GE(elapsedMs(start), static_cast<long>(ms));
        EXPECT_LT(elapsedMs(start), 2000);
    }
}

// --- File mappings -------------------------------------------------------------------------

TEST_F(NamedObjectTest, MappingIsSharedAndLivesWhileAnyHandleOrViewDoes) {
    Handle mapping = createFileMapping("ring_Map", 12 + 3 * 100);
    ASSERT_TRUE(mapping);
    MappedView view = mapViewOfFile(mapping.get(), kFileMapAllAccess, 0, 0);
    ASSERT_EQ(view.size(), 312u);
    mapping.reset();  // the view keeps the object

    Channel written;
    Child writer([&] {
        Handle m = createFileMapping("ring_Map", 1 << 20);  // exists: the old size holds
        if (lastError() != kErrAlreadyExists || fileMappingSize(m.get()) != 312)
            return 1;
        MappedView v = mapViewOfFile(m.get(), kFileMapWrite, 0, 0);
        if (!v || v.size() != 312)
            return 2;
        std::memcpy(v.data(), "written by the child", 21);
        return 0;
    });
    EXPECT_EQ(writer.wait(), 0);
    EXPECT_STREQ(static_cast<const char*>(view.data()), "written by the child");
    EXPECT_TRUE(openFileMapping("ring_Map"));

    view.reset();
    EXPECT_FALSE(openFileMapping("ring_Map"));
    EXPECT_EQ(lastError(), kErrFileNotFound);
    Handle fresh = createFileMapping("ring_Map", 312);
    EXPECT_EQ(lastError(), kSuccess);
    MappedView zeroed = mapViewOfFile(fresh.get(), kFileMapRead, 0, 0);
    EXPECT_EQ(static_cast<const char*>(zeroed.data())[0], '\0');
}

TEST_F(NamedObjectTest, ViewsCheckTheirRange) {
    EXPECT_FALSE(createFileMapping("empty", 0));
    EXPECT_EQ(lastError(), kErrInvalidParameter);
    Handle mapping = createFileMapping("ranges", 3 * kAllocationGranularity);
    struct Case {
        uint32_t access;
        uint64_t offset;
        size_t length, size;
        uint32_t error;
    } cases[] = {
        {kFileMapRead, 0, 0, 3 * kAllocationGranularity, kSuccess},
        {kFileMapRead, kAllocationGranularity, 0, 2 * kAllocationGranularity, kSuccess},
        {kFileMapWrite, 2 * kAllocationGranularity, 10, 10, kSuccess},
        {kFileMapRead, 4096, 10, 0, kErrMappedAlignment},
        {kFileMapRead, 0, 3 * kAllocationGranularity + 1, 0, kErrAccessDenied},
        {kFileMapRead, 3 * kAllocationGranularity, 0, 0, kErrAccessDenied},
        {0, 0, 0, 0, kErrInvalidParameter},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset);
        setLastError(kSuccess);
        MappedView view = mapViewOfFile(mapping.get(), c.access, c.offset, c.length);
        EXPECT_EQ(view.size(), c.size);
        EXPECT_EQ(lastError(), c.error);
    }
    MappedView shared = mapViewOfFile(mapping.get(), kFileMapWrite, 0, 0);
    MappedView copy = mapViewOfFile(mapping.get(), kFileMapCopy, 0, 0);
    static_cast<char*>(copy.data())[0] = 'c';  // private to this view
    EXPECT_EQ(static_cast<char*>(shared.data())[0], '\0');
    EXPECT_FALSE(unmapViewOfFile(static_cast<char*>(shared.data()) + 1));
    EXPECT_EQ(lastError(), kErrInvalidAddress);
    EXPECT_FALSE(
        mapViewOfFile(createEvent("not a mapping", false, false).get(), kFileMapRead, 0, 0));
    EXPECT_EQ(lastError(), kErrInvalidHandle);
}

}  // namespace
}  // namespace nvl::sys
