#include "log_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <list>
#include <memory>
#include <unordered_map>
#include <vector>

#include "log_record.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/pipe.h"

namespace nvl::logserver {

namespace {

constexpr const char* kPipeName = "Log_ServerNamePipe";
constexpr size_t kFlushBytes = 256 * 1024;
constexpr int kAcceptsPerRound = 512;
// A failing accept leaves the listening socket ready; it is left unwatched this long so that the
// loop sleeps instead of spinning until descriptors come free.
constexpr int64_t kAcceptPauseMs = 100;
// A complaint that can recur at the rate clients connect goes to the log at most this often.
constexpr int64_t kNoteIntervalMs = 60 * 1000;
constexpr uid_t kUnknownUser = static_cast<uid_t>(-1);

int64_t now() {
    return static_cast<int64_t>(std::time(nullptr));
}

int64_t monotonicMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string counted(uint64_t count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string sinceLastNote(uint64_t count, const char* noun) {
    return " (" + counted(count, noun) + " since the last such note; noted at most once a minute)";
}

// Counts the events behind one kind of note and lets a note through at most once an interval;
// the note then tells how many happened since the one before.
class NoteLimiter {
  public:
    // Counts one event. True when a note is due; *events is then the number it covers.
    bool count(int64_t nowMs, uint64_t* events) {
        ++pending_;
        if (noted_ && nowMs - lastMs_ < kNoteIntervalMs)
            return false;
        noted_ = true;
        lastMs_ = nowMs;
        *events = pending_;
        pending_ = 0;
        return true;
    }

  private:
    bool noted_ = false;
    int64_t lastMs_ = 0;
    uint64_t pending_ = 0;
};

class Server {
  public:
    explicit Server(const Options& options) : options_(options) {}

    int run() {
        raiseDescriptorLimit();
        if (!openLog())
            return 1;
        if (!setUpSignals())
            return 1;
        uint32_t error = sys::PipeServer::create(kPipeName, SOMAXCONN, true, &pipe_);
        if (error == sys::kErrAlreadyExists) {
            std::fprintf(stderr, "nvl-logserver: another log server is running on %s\n",
                         sys::pipePath(kPipeName).c_str());
            return 1;
        }
        if (error != sys::kSuccess) {
            std::fprintf(stderr, "nvl-logserver: cannot listen on %s (error %u)\n",
                         sys::pipePath(kPipeName).c_str(), error);
            return 1;
        }
        epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
        if (!epoll_ || !watch(pipe_.fd()) || !watch(signals_.get())) {
            std::perror("nvl-logserver: epoll");
            return 1;
        }
        formatter_.appendNote(
            now(), "started, pid " + std::to_string(::getpid()) + ", pipe " + pipe_.path(),
            &batch_);
        flush();
        if (options_.readyFd >= 0) {
            char ready = '1';
            (void)!::write(options_.readyFd, &ready, 1);
            ::close(options_.readyFd);
        }

        loop();
        drain();
        formatter_.appendNote(now(),
                              "stopped: " + std::to_string(traces_) + " traces, " +
                                  std::to_string(dropped_) + " messages dropped, " +
                                  counted(unusedClosed_, "connection") +
                                  " closed without a message",
                              &batch_);
        flush();
        return 0;
    }

  private:
    // A connection accepted before its message came.
    struct Waiting {
        sys::PipeConnection connection;
        uid_t uid = kUnknownUser;
        int64_t deadlineMs = 0;
        std::list<int>::iterator byAge;   // in byAge_
        std::list<int>::iterator byUser;  // in its account's list
    };
    struct User {
        std::list<int> waiting;  // descriptors, oldest first
        NoteLimiter capNotes;
    };

    // What reading a connection found. One message per connection, so after Message or Closed
    // the connection is done.
    enum class Read { Nothing, Message, Closed };

    static void raiseDescriptorLimit() {
        rlimit limit{};
        if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
            limit.rlim_cur = limit.rlim_max;
            ::setrlimit(RLIMIT_NOFILE, &limit);
        }
    }

    bool openLog() {
        size_t slash = options_.logPath.rfind('/');
        if (slash != std::string::npos && slash > 0) {
            sys::makeDirectories(options_.logPath.substr(0, slash));
        }
        // The traces are for the server's accounts: no access for others.
        log_.reset(
            ::open(options_.logPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640));
        if (!log_) {
            std::fprintf(stderr, "nvl-logserver: cannot open %s: %s\n", options_.logPath.c_str(),
                         std::strerror(errno));
            return false;
        }
        restrictLogMode();
        return true;
    }

    // A log that was already there may have been made world-readable (earlier servers created
    // it 0644). When it is ours it is brought down to at most 0640; a tighter mode is kept. One
    // that is not ours is left alone, with a note, since only its owner may change it.
    void restrictLogMode() {
        struct stat st {};
        if (::fstat(log_.get(), &st) != 0 || !S_ISREG(st.st_mode))
            return;
        const mode_t mode = st.st_mode & 07777;
        if ((mode & ~mode_t{0640}) == 0)
            return;
        if (st.st_uid == ::geteuid() && ::fchmod(log_.get(), mode & 0640) == 0)
            return;
        char text[16];
        std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode));
        formatter_.appendNote(now(),
                              std::string("the log has mode ") + text +
                                  " and cannot be restricted to 0640: it is not this account's",
                              &batch_);
    }

    bool setUpSignals() {
        // Standard output may be a pipe whose reader goes away first.
        ::signal(SIGPIPE, SIG_IGN);
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGINT);
        if (::sigprocmask(SIG_BLOCK, &set, nullptr) != 0)
            return false;
        signals_.reset(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
        return static_cast<bool>(signals_);
    }

    bool watch(int fd) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        return ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) == 0;
    }

    void loop() {
        epoll_event events[64];
        for (;;) {
            int count = ::epoll_wait(epoll_.get(), events, 64, waitTimeout(monotonicMs()));
            if (count < 0) {
                if (errno == EINTR)
                    continue;
                std::perror("nvl-logserver: epoll_wait");
                return;
            }
            bool stop = false;
            for (int i = 0; i < count; ++i) {
                int fd = events[i].data.fd;
                if (fd == signals_.get()) {
                    stop = true;
                } else if (fd == pipe_.fd()) {
                    acceptClients(kAcceptsPerRound);
                } else {
                    // The descriptor may already have been closed in this round, or even reused
                    // by a connection accepted since: reading it then finds nothing or the new
                    // connection's own message, both harmless.
                    auto it = waiting_.find(fd);
                    if (it != waiting_.end() && serve(it->second.connection) != Read::Nothing)
                        forget(it);
                }
            }
            const int64_t nowMs = monotonicMs();
            expire(nowMs);
            if (acceptPaused_ && nowMs >= resumeAtMs_)
                resumeAccepting();
            flush();
            if (stop)
                return;
        }
    }

    // Until the next idle deadline or the end of a pause in accepting; -1 when neither is due.
    int waitTimeout(int64_t nowMs) const {
        int64_t next = INT64_MAX;
        if (!byAge_.empty())
            next = waiting_.at(byAge_.front()).deadlineMs;
        if (acceptPaused_)
            next = std::min(next, resumeAtMs_);
        if (next == INT64_MAX)
            return -1;
        return static_cast<int>(std::clamp<int64_t>(next - nowMs, 0, INT_MAX));
    }

    // After a stop: no new client can connect; read every connection already made.
    void drain() {
        pipe_.stopListening();
        // The waiting connections go first: that frees descriptors for the backlog.
        while (!byAge_.empty())
            closeWaiting(waiting_.find(byAge_.front()));
        flush();
        for (;;) {
            sys::PipeConnection connection;
            uint32_t error = pipe_.accept(&connection);
            if (error == sys::kErrNoData)
                break;
            if (error != sys::kSuccess) {
                formatter_.appendNote(now(),
                                      "cannot accept the connections still queued at the stop "
                                      "(error " +
                                          std::to_string(error) + "): their messages are lost",
                                      &batch_);
                break;
            }
            // Whatever the client sends after this fails in the client.
            ::shutdown(connection.fd(), SHUT_RD);
            serve(connection);
            if (batch_.size() >= kFlushBytes)
                flush();
        }
        flush();
    }

    void acceptClients(int limit) {
        const int64_t nowMs = monotonicMs();
        for (int i = 0; i < limit; ++i) {
            sys::PipeConnection connection;
            uint32_t error = pipe_.accept(&connection);
            if (error == sys::kErrNoData)
                return;
            if (error != sys::kSuccess) {
                // Mostly out of descriptors; the clients wait in the backlog meanwhile.
                pauseAccepting(error, nowMs);
                return;
            }
            if (serve(connection) == Read::Nothing)
                admit(std::move(connection), nowMs);
            if (batch_.size() >= kFlushBytes)
                flush();
        }
    }

    void pauseAccepting(uint32_t error, int64_t nowMs) {
        if (::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, pipe_.fd(), nullptr) != 0)
            return;  // still watched: the next round tries again
        acceptPaused_ = true;
        resumeAtMs_ = nowMs + kAcceptPauseMs;
        uint64_t failures = 0;
        if (acceptNotes_.count(nowMs, &failures)) {
            formatter_.appendNote(
                now(),
                std::string("cannot accept clients (") +
                    (error == sys::kErrTooManyOpenFiles ? "out of descriptors"
                                                        : "error " + std::to_string(error)) +
                    ", " + counted(waiting_.size(), "connection") +
                    " waiting for a message): new clients wait in the backlog" +
                    sinceLastNote(failures, "failure"),
                &batch_);
        }
    }

    void resumeAccepting() {
        if (watch(pipe_.fd()))
            acceptPaused_ = false;
        else
            resumeAtMs_ = monotonicMs() + kAcceptPauseMs;
    }

    // Keeps a connection whose message has not come yet, until it comes, the peer closes or
    // the idle limit passes.
    void admit(sys::PipeConnection connection, int64_t nowMs) {
        const uid_t uid = connection.peerUserId();
        User& user = users_[uid];
        // The newest connection is kept: it is the one most likely about to send, while the
        // oldest has had the longest to do so. A client that connects and sends at once is
        // never turned away by its own account's idle ones.
        while (user.waiting.size() >= options_.maxPerUser) {
            if (!closeWaiting(waiting_.find(user.waiting.front())))
                continue;
            ++unusedClosed_;
            uint64_t closed = 0;
            if (user.capNotes.count(nowMs, &closed)) {
                formatter_.appendNote(
                    now(),
                    "uid " + std::to_string(uid) + " holds the most connections without a " +
                        "message allowed per account (" + std::to_string(options_.maxPerUser) +
                        "): its oldest are closed" + sinceLastNote(closed, "connection"),
                    &batch_);
            }
        }
        const int fd = connection.fd();
        epoll_event event{};
        event.events = EPOLLIN | EPOLLRDHUP;
        event.data.fd = fd;
        if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) != 0) {
            // Cannot be watched (out of memory): read what may have come, then let it go.
            ::shutdown(fd, SHUT_RD);
            serve(connection);
            return;
        }
        Waiting& waiting = waiting_[fd];
        waiting.connection = std::move(connection);
        waiting.uid = uid;
        waiting.deadlineMs = nowMs + options_.idleMs;
        waiting.byAge = byAge_.insert(byAge_.end(), fd);
        waiting.byUser = user.waiting.insert(user.waiting.end(), fd);
    }

    // Closes the connections whose idle limit has passed. Every connection gets the same limit,
    // so the oldest has the earliest deadline: the check stops at the first one not yet due
    // and costs nothing per waiting connection.
    void expire(int64_t nowMs) {
        uint64_t closed = 0;
        while (!byAge_.empty()) {
            auto it = waiting_.find(byAge_.front());
            if (it->second.deadlineMs > nowMs)
                break;
            if (closeWaiting(it)) {
                ++unusedClosed_;
                if (idleNotes_.count(nowMs, &closed)) {
                    formatter_.appendNote(now(),
                                          "closed connections that sent nothing within " +
                                              std::to_string(options_.idleMs) + " ms" +
                                              sinceLastNote(closed, "connection"),
                                          &batch_);
                }
            }
        }
    }

    // Closes a connection that had not sent when last seen. Its reading side is shut first:
    // from then on the client's send fails, and what came before is read here, so no message
    // slips in between the last read and the close. True when no message had come.
    bool closeWaiting(std::unordered_map<int, Waiting>::iterator it) {
        ::shutdown(it->first, SHUT_RD);
        const bool unused = serve(it->second.connection) != Read::Message;
        forget(it);
        return unused;
    }

    void forget(std::unordered_map<int, Waiting>::iterator it) {
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, it->first, nullptr);
        byAge_.erase(it->second.byAge);
        users_[it->second.uid].waiting.erase(it->second.byUser);
        waiting_.erase(it);
        // A descriptor came free: a paused accept may go on.
        if (acceptPaused_)
            resumeAtMs_ = 0;
    }

    Read serve(sys::PipeConnection& connection) {
        size_t size = 0;
        uint32_t error = connection.receive(buffer_.get(), sys::kPipeMaxMessage, &size);
        if (error == sys::kSuccess) {
            handle(connection, size);
            return Read::Message;
        }
        if (error == sys::kErrMoreData) {
            drop(connection, size, "longer than the largest message");
            return Read::Message;
        }
        return error == sys::kErrNoData ? Read::Nothing : Read::Closed;
    }

    void handle(const sys::PipeConnection& connection, size_t size) {
        LogRecord record;
        if (const char* reason = parseLogCommand(buffer_.get(), size, &record)) {
            drop(connection, size, reason);
            return;
        }
        formatter_.appendRecord(record, &batch_);
        ++traces_;
    }

    void drop(const sys::PipeConnection& connection, size_t size, const char* reason) {
        ++dropped_;
        formatter_.appendNote(now(),
                              "dropped a message of " + std::to_string(size) + " bytes from pid " +
                                  std::to_string(connection.peerProcessId()) + ": " + reason,
                              &batch_);
    }

    void flush() {
        if (batch_.empty())
            return;
        if (sys::writeAll(log_.get(), batch_) != sys::kSuccess && !logFailed_) {
            logFailed_ = true;
            std::fprintf(stderr, "nvl-logserver: cannot write %s: %s\n", options_.logPath.c_str(),
                         std::strerror(errno));
        }
        if (options_.toStdout && sys::writeAll(STDOUT_FILENO, batch_) != sys::kSuccess) {
            options_.toStdout = false;
        }
        batch_.clear();
    }

    Options options_;
    sys::UniqueFd log_;
    sys::UniqueFd signals_;
    sys::UniqueFd epoll_;
    sys::PipeServer pipe_;

    std::unordered_map<int, Waiting> waiting_;  // by descriptor
    std::list<int> byAge_;                      // every waiting descriptor, oldest first
    // One entry for every account that ever connected: a handful, kept for their notes' pace.
    std::unordered_map<uid_t, User> users_;
    bool acceptPaused_ = false;
    int64_t resumeAtMs_ = 0;
    NoteLimiter idleNotes_;
    NoteLimiter acceptNotes_;
    uint64_t unusedClosed_ = 0;
    std::unique_ptr<uint8_t[]> buffer_{new uint8_t[sys::kPipeMaxMessage]};
    LineFormatter formatter_;
    std::string batch_;
    uint64_t traces_ = 0;
    uint64_t dropped_ = 0;
    bool logFailed_ = false;
};

}  // namespace

int runLogServer(const Options& options) {
    return Server(options).run();
}

}  // namespace nvl::logserver
