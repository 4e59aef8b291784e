// The runtime directory belongs to the server's accounts: which directory is chosen, which are
// refused (and that a refusal makes every call fail, not go elsewhere), the modes of what is made
// in it, and real processes of other accounts that must not get in. Checks that need a second
// account fork and change uid, which only root can; they are skipped otherwise.
#include "platform/paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/named_object.h"
#include "platform/pipe.h"
#include "support/child_process.h"
#include "support/test_env.h"

namespace nvl::sys {
namespace {

using test::Channel;
using test::Child;

constexpr uid_t kOtherUid = 65534;   // an unprivileged account of the host
constexpr uid_t kSecondUid = 65533;  // another one, for two accounts of one group
constexpr gid_t kOtherGid = 65534;
constexpr gid_t kServerGid = 65532;  // the group of the server's accounts

bool isRoot() {
    return ::geteuid() == 0;
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* entry = ::readdir(d)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        ::closedir(d);
    }
    return names;
}

// A directory with exactly `mode`, whatever the umask.
std::string makeDir(const std::string& path, mode_t mode) {
    if (::mkdir(path.c_str(), 0700) != 0 || ::chmod(path.c_str(), mode) != 0)
        ADD_FAILURE() << "cannot make " << path;
    return path;
}

bool becomeAccount(uid_t uid, gid_t gid) {
    return ::setgroups(0, nullptr) == 0 && ::setgid(gid) == 0 && ::setuid(uid) == 0;
}

class ScopedUmask {
  public:
    explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
    ~ScopedUmask() { ::umask(previous_); }

  private:
    mode_t previous_;
};

// --- The choice --------------------------------------------------------------------------------

TEST(RuntimeDirChoice, FollowsTheOrderAndRefusesWhatAnotherAccountCouldHavePlanted) {
    test::TestEnv env;
    const std::string uid = std::to_string(::geteuid());
    struct Case {
        const char* what;
        bool needsRoot;
        // Prepares the sandbox; returns whether XDG_RUNTIME_DIR is set (to <sandbox>/xdg).
        std::function<bool(const std::string& sandbox)> plant;
        const char* chosen;  // below the sandbox
        bool accepted;
        bool groupShared;
    } cases[] = {
        {"the system directory, made when its parent exists", false,
         [](const std::string& s) {
             makeDir(s + "/run", 0755);
             return true;
         },
         "/run/norvel", true, false},
        {"the system directory of the installation, group-shared", false,
         [](const std::string& s) {
             makeDir(s + "/run", 0755);
             makeDir(s + "/run/norvel", 02770);
             return true;
         },
         "/run/norvel", true, true},
        {"no system directory: XDG_RUNTIME_DIR/norvel", false,
         [](const std::string& s) {
             makeDir(s + "/xdg", 0700);
             return true;
         },
         "/xdg/norvel", true, false},
        {"no system directory, no XDG_RUNTIME_DIR: the temporary directory", false,
         [](const std::string&) { return false; }, "/tmp/norvel-", true, false},
        {"an XDG_RUNTIME_DIR that others can write is not the caller's", false,
         [](const std::string& s) {
             makeDir(s + "/xdg", 0777);
             return true;
         },
         "/tmp/norvel-", true, false},
        {"a system directory that exists and fails is refused, not passed over", false,
         [](const std::string& s) {
             makeDir(s + "/run", 0755);
             makeDir(s + "/run/norvel", 0777);
             makeDir(s + "/xdg", 0700);
             return true;
         },
         "/run/norvel", false, false},
        {"XDG_RUNTIME_DIR/norvel not 0700", false,
         [](const std::string& s) {
             makeDir(s + "/xdg", 0700);
             makeDir(s + "/xdg/norvel", 0750);
             return true;
         },
         "/xdg/norvel", false, false},
        {"the temporary fallback not 0700", false,
         [&](const std::string& s) {
             makeDir(s + "/tmp/norvel-" + uid, 0755);
             return false;
         },
         "/tmp/norvel-", false, false},
        {"the temporary fallback a link to the caller's own 0700 directory", false,
         [&](const std::string& s) {
             makeDir(s + "/mine", 0700);
             EXPECT_EQ(::symlink((s + "/mine").c_str(), (s + "/tmp/norvel-" + uid).c_str()), 0);
             return false;
         },
         "/tmp/norvel-", false, false},
        {"the temporary fallback made first by another account", true,
         [&](const std::string& s) {
             std::string squatted = makeDir(s + "/tmp/norvel-" + uid, 0700);
             EXPECT_EQ(::chown(squatted.c_str(), kOtherUid, kOtherGid), 0);
             return false;
         },
         "/tmp/norvel-", false, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && !isRoot())
            continue;
        std::string sandbox = makeDir(env.root() + "/choice" + std::to_string(n++), 0700);
        makeDir(sandbox + "/tmp", 01777);
        bool xdgSet = c.plant(sandbox);
        std::string chosen = sandbox + c.chosen;
        if (chosen.back() == '-')
            chosen += uid;
        RuntimeDirChoice choice = chooseRuntimeDir(
            "", sandbox + "/run/norvel", xdgSet ? sandbox + "/xdg" : "", sandbox + "/tmp");
        EXPECT_EQ(choice.path, chosen);
        EXPECT_EQ(choice.error, c.accepted ? kSuccess : kErrAccessDenied) << choice.refusal;
        EXPECT_EQ(choice.refusal.empty(), c.accepted);
        EXPECT_EQ(choice.groupShared, c.groupShared);
        if (c.accepted && !c.groupShared) {
            EXPECT_EQ(modeOf(chosen), 0700u);
        }
        // The choice stops at the place that applies: no other is made, or even passed over to.
        for (const std::string& other :
             {sandbox + "/run/norvel", sandbox + "/xdg/norvel", sandbox + "/tmp/norvel-" + uid}) {
            if (other != chosen) {
                EXPECT_FALSE(exists(other)) << other;
            }
        }
    }
}

// --- Refused directories --------------------------------------------------------------------

TEST(RuntimeDirTest, RefusedDirectoryFailsEveryCallWithOneMessage) {
    test::TestEnv env;
    const std::string good = makeDir(env.root() + "/good", 0700);
    struct Case {
        const char* what;
        bool needsRoot;
        std::function<void(const std::string& path)> plant;
    } cases[] = {
        {"owned by another account", true,
         [](const std::string& p) {
             makeDir(p, 0700);
             EXPECT_EQ(::chown(p.c_str(), kOtherUid, kOtherGid), 0);
         }},
        {"a symbolic link to a good directory", false,
         [&](const std::string& p) { EXPECT_EQ(::symlink(good.c_str(), p.c_str()), 0); }},
        {"writable by every account", false, [](const std::string& p) { makeDir(p, 0777); }},
        {"writable by every account, sticky as /tmp", false,
         [](const std::string& p) { makeDir(p, 01777); }},
        {"writable by its group without set-group-id", false,
         [](const std::string& p) { makeDir(p, 0770); }},
        {"not a directory", false,
         [](const std::string& p) {
             int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
             EXPECT_GE(fd, 0);
             ::close(fd);
         }},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && !isRoot())
            continue;
        std::string planted = env.root() + "/planted" + std::to_string(n++);
        c.plant(planted);
        std::string log = env.root() + "/stderr" + std::to_string(n);
        // A process of its own, so that its one message is its own.
        Child child([&] {
            int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (fd < 0 || ::dup2(fd, STDERR_FILENO) < 0)
                return 100;
            ::setenv("NVL_RUNTIME_DIR", planted.c_str(), 1);
            const std::function<uint32_t()> calls[] = {
                [] { return createEvent("probe", true, false) ? kSuccess : lastError(); },
                [] { return openMutex("probe") ? kSuccess : lastError(); },
                [] { return createFileMapping("probe", 4096) ? kSuccess : lastError(); },
                [] {
                    PipeServer server;
                    return PipeServer::create("Probe", 4, false, &server);
                },
                [] { return PipeConnection().connect("Probe"); },
                [] { return PipeConnection().waitForServer("Probe", 100); },
            };
            int gotIn = 0;
            for (size_t i = 0; i < std::size(calls); ++i) {
                if (calls[i]() != kErrAccessDenied)
                    gotIn |= 1 << i;
            }
            return gotIn;
        });
        EXPECT_EQ(child.wait(), 0) << "bit i set: call i was not refused";
        std::string message = test::readFile(log);
        EXPECT_NE(message.find(planted), std::string::npos) << message;
        EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
        EXPECT_EQ(entries(good), std::vector<std::string>{});
        struct stat st {};
        if (::lstat(planted.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            EXPECT_EQ(entries(planted), std::vector<std::string>{});
        }
    }
}

// --- What is made in an accepted directory -----------------------------------------------------

TEST(RuntimeDirTest, AcceptedDirectoriesHoldObjectsAndPipesForTheServerAlone) {
    test::TestEnv env;
    // A umask that would take the group's write access away unless the modes are set as meant.
    ScopedUmask umask(027);
    struct Case {
        const char* what;
        std::function<void(const std::string& path)> plant;
        mode_t runtime, directories, files;
    } cases[] = {
        {"own 0700", [](const std::string& p) { makeDir(p, 0700); }, 0700, 0700, 0600},
        {"own 0755, as mkdir -p makes it", [](const std::string& p) { makeDir(p, 0755); }, 0755,
         0700, 0600},
        {"own 2770, shared by the server's group", [](const std::string& p) { makeDir(p, 02770); },
         02770, 02770, 0660},
        {"missing: made", [](const std::string&) {}, 0700, 0700, 0600},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string dir = env.root() + "/accepted" + std::to_string(n++);
        c.plant(dir);
        ::setenv("NVL_RUNTIME_DIR", dir.c_str(), 1);
        Handle event = createEvent("probe", true, false);
        ASSERT_TRUE(event) << lastError();
        PipeServer server;
        ASSERT_EQ(PipeServer::create("Probe", 4, false, &server), kSuccess);
        PipeConnection client;
        EXPECT_EQ(client.connect("Probe"), kSuccess);
        EXPECT_EQ(modeOf(dir), c.runtime);
        EXPECT_EQ(modeOf(dir + "/objects"), c.directories);
        EXPECT_EQ(modeOf(dir + "/objects/.lock"), c.files);
        EXPECT_EQ(modeOf(dir + "/objects/n.probe"), c.files);
        EXPECT_EQ(modeOf(dir + "/pipe"), c.directories);
        EXPECT_EQ(modeOf(dir + "/pipe/Probe"), c.files);
    }
}

TEST(RuntimeDirTest, ExistingSubdirectoriesAreCheckedLikeTheRuntimeDirectory) {
    test::TestEnv env;
    struct Case {
        const char* what;
        bool needsRoot;
        std::function<void(const std::string& path)> plant;
    } cases[] = {
        {"left writable by every account", false, [](const std::string& p) { makeDir(p, 0777); }},
        {"writable by the group without set-group-id", false,
         [](const std::string& p) { makeDir(p, 0770); }},
        {"a link to a directory of the caller's", false,
         [](const std::string& p) {
             EXPECT_EQ(::symlink(makeDir(p + ".real", 0700).c_str(), p.c_str()), 0);
         }},
        {"owned by another account", true,
         [](const std::string& p) {
             makeDir(p, 0700);
             EXPECT_EQ(::chown(p.c_str(), kOtherUid, kOtherGid), 0);
         }},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && !isRoot())
            continue;
        std::string dir = makeDir(env.root() + "/sub" + std::to_string(n++), 0700);
        c.plant(dir + "/objects");
        c.plant(dir + "/pipe");
        ::setenv("NVL_RUNTIME_DIR", dir.c_str(), 1);
        // In a child: the first refusal's message is the process's only one.
        Child child([] {
            if (::freopen("/dev/null", "w", stderr) == nullptr)
                return 100;
            PipeServer server;
            bool objectRefused =
                !createEvent("probe", false, false) && lastError() == kErrAccessDenied;
            bool pipeRefused = PipeServer::create("Probe", 4, false, &server) == kErrAccessDenied;
            return (objectRefused ? 0 : 1) | (pipeRefused ? 0 : 2);
        });
        EXPECT_EQ(child.wait(), 0);
    }
}

// --- Other accounts -------------------------------------------------------------------------

TEST(RuntimeDirTest, AnotherAccountCannotOpenCreateOrLockObjectsNorConnect) {
    if (!isRoot())
        GTEST_SKIP() << "needs root to run a process as another account";
    test::TestEnv env;
    // Let the other account as far as the runtime directory, so that only what is made in it
    // keeps it out.
    ASSERT_EQ(::chmod(env.root().c_str(), 0711), 0);
    ASSERT_EQ(modeOf(env.runtime()), 0755u);
    Handle mutex = createMutex("server mutex", false);
    Handle event = createEvent("server event", true, false);
    Handle mapping = createFileMapping("server mapping", 4096);
    ASSERT_TRUE(mutex && event && mapping);
    PipeServer server;
    ASSERT_EQ(PipeServer::create("Server", 4, false, &server), kSuccess);
    const std::string objects = objectDirectory();

    struct Attempt {
        const char* what;
        std::function<bool()> getsIn;
    } attempts[] = {
        {"open the mutex", [] { return static_cast<bool>(openMutex("server mutex")); }},
        {"create the mutex (and so open it)",
         [] { return static_cast<bool>(createMutex("server mutex", false)); }},
        {"open the event", [] { return static_cast<bool>(openEvent("server event")); }},
        {"open the mapping", [] { return static_cast<bool>(openFileMapping("server mapping")); }},
        {"create an object of its own",
         [] { return static_cast<bool>(createEvent("planted", true, true)); }},
        {"hold the lock of the object directory",
         [&] {
             int fd = ::open((objects + "/.lock").c_str(), O_RDONLY | O_CLOEXEC);
             return fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
         }},
        {"open an object file",
         [&] {
             std::string file = objects + "/" + objectFileName("server event");
             return ::open(file.c_str(), O_RDWR | O_CLOEXEC) >= 0;
         }},
        {"connect to the pipe",
         [] {
             PipeConnection client;
             return client.connect("Server") == kSuccess;
         }},
    };
    for (const Attempt& attempt : attempts) {
        SCOPED_TRACE(attempt.what);
        Child other([&] {
            if (!becomeAccount(kOtherUid, kOtherGid))
                return 100;
            return attempt.getsIn() ? 1 : 0;
        });
        EXPECT_EQ(other.wait(), 0);
    }
    EXPECT_EQ(entries(objects).size(), 4u) << "the server's three objects and the lock, no more";
}

TEST(RuntimeDirTest, GroupSharedDirectoryAdmitsTheServersGroupOnly) {
    if (!isRoot())
        GTEST_SKIP() << "needs root to run processes as other accounts";
    test::TestEnv env;
    ASSERT_EQ(::chmod(env.root().c_str(), 0711), 0);
    ASSERT_EQ(::chown(env.runtime().c_str(), 0, kServerGid), 0);
    ASSERT_EQ(::chmod(env.runtime().c_str(), 02770), 0);

    // One account of the group starts first: the object and pipe directories are its.
    Channel ready, finish;
    Child first([&] {
        if (!becomeAccount(kOtherUid, kServerGid))
            return 100;
        Handle event = createEvent("shared event", true, false);
        PipeServer server;
        bool listening = PipeServer::create("Shared", 4, false, &server) == kSuccess;
        ready.post(event && listening ? 'y' : 'n');
        finish.take();
        return 0;
    });
    ASSERT_EQ(ready.take(), 'y');
    struct stat st {};
    ASSERT_EQ(::lstat(objectDirectory().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kOtherUid);
    EXPECT_EQ(st.st_gid, kServerGid);
    EXPECT_EQ(st.st_mode & 07777, 02770u);
    EXPECT_EQ(modeOf(objectDirectory() + "/" + objectFileName("shared event")), 0660u);
    EXPECT_EQ(modeOf(pipePath("Shared")), 0660u);

    // This process (root) accepts a directory that another account of the group made.
    Handle event = openEvent("shared event");
    EXPECT_TRUE(event) << lastError();

    struct Account {
        const char* what;
        uid_t uid;
        gid_t gid;
        bool admitted;
    } accounts[] = {
        {"a second account of the server's group", kSecondUid, kServerGid, true},
        {"an account outside it", kSecondUid, kOtherGid, false},
    };
    for (const Account& account : accounts) {
        SCOPED_TRACE(account.what);
        Child second([&] {
            if (!becomeAccount(account.uid, account.gid))
                return 100;
            int result = 0;
            Handle shared = openEvent("shared event");
            if (static_cast<bool>(shared) != account.admitted ||
                (!account.admitted && lastError() != kErrAccessDenied))
                result |= 1;
            if (shared && !setEvent(shared.get()))
                result |= 2;
            Handle own = createMutex("second's mutex", false);
            if (static_cast<bool>(own) != account.admitted)
                result |= 4;
            PipeConnection client;
            uint32_t error = client.connect("Shared");
            if (error != (account.admitted ? kSuccess : kErrAccessDenied))
                result |= 8;
            return result;
        });
        EXPECT_EQ(second.wait(), 0);
    }
    EXPECT_EQ(waitForSingleObject(event.get(), 0), kWaitObject0) << "set by the second account";
    finish.post();
    EXPECT_EQ(first.wait(), 0);
}

}  // namespace
}  // namespace nvl::sys
