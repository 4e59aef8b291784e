// Real processes for tests: forked children that report through their exit codes, one-byte
// pipe channels to order them, and a check that a process is asleep in a wait. Every wait here
// is bounded, so a fault fails the test rather than hanging it.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace nvl::test {

// One byte at a time through a pipe: "ready", "go", "done". Created before a fork, so both
// sides hold both ends.
class Channel {
  public:
    Channel();
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    void post(char c = 'x');
    // The next byte, or '\0' when none comes within 20 s (the other side died or hangs).
    char take();

  private:
    int fds_[2] = {-1, -1};
};

// A forked child that runs `body` and exits with its result (no test-framework assertions in
// the body); killed by a watchdog after `watchdogSeconds`. Killed and reaped on destruction
// when the test did not wait for it.
class Child {
  public:
    explicit Child(const std::function<int()>& body, unsigned watchdogSeconds = 30);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    void kill();
    // The exit code, or 128 + the signal that ended it. Reap before asserting anything about
    // objects the child held: the kernel lets go of them before the child can be reaped.
    int wait();

  private:
    pid_t pid_ = -1;
    bool reaped_ = false;
};

// True once the task ("/proc/<pid>" or "/proc/self/task/<tid>") is asleep in a futex wait or a
// polling sleep, so that "a blocked waiter is woken" is tested, not "a waiter that has not
// started yet". Gives up after 5 s.
bool blockedInWait(const std::string& procTask);
bool blockedInWait(pid_t pid);

}  // namespace nvl::test
