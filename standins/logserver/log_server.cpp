#include "log_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
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

int64_t now() {
    return static_cast<int64_t>(std::time(nullptr));
}

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
                                  std::to_string(dropped_) + " messages dropped",
                              &batch_);
        flush();
        return 0;
    }

  private:
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
        log_.reset(
            ::open(options_.logPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
        if (!log_) {
            std::fprintf(stderr, "nvl-logserver: cannot open %s: %s\n", options_.logPath.c_str(),
                         std::strerror(errno));
            return false;
        }
        return true;
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
            int count = ::epoll_wait(epoll_.get(), events, 64, -1);
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
                    auto it = waiting_.find(fd);
                    if (it != waiting_.end() && serve(it->second))
                        finish(it);
                }
            }
            flush();
            if (stop)
                return;
        }
    }

    // After a stop: no new client can connect; read every connection already made.
    void drain() {
        pipe_.stopListening();
        while (acceptClients(kAcceptsPerRound))
            flush();
        for (auto& [fd, connection] : waiting_)
            serve(connection);
        waiting_.clear();
        flush();
    }

    // Returns true while more clients may be waiting.
    bool acceptClients(int limit) {
        for (int i = 0; i < limit; ++i) {
            sys::PipeConnection connection;
            uint32_t error = pipe_.accept(&connection);
            if (error == sys::kErrNoData)
                return false;
            if (error != sys::kSuccess) {
                // Out of descriptors: the rest waits in the backlog until some are freed.
                return false;
            }
            if (!serve(connection)) {
                int fd = connection.fd();
                epoll_event event{};
                event.events = EPOLLIN | EPOLLRDHUP;
                event.data.fd = fd;
                if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) == 0) {
                    waiting_.emplace(fd, std::move(connection));
                }
            }
            if (batch_.size() >= kFlushBytes)
                flush();
        }
        return true;
    }

    void finish(std::unordered_map<int, sys::PipeConnection>::iterator it) {
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, it->first, nullptr);
        waiting_.erase(it);
    }

    // Reads the connection's message. Returns true when the connection is done: its message
    // has come (one message per connection) or it closed without one; false when the client
    // has not sent yet.
    bool serve(sys::PipeConnection& connection) {
        size_t size = 0;
        uint32_t error = connection.receive(buffer_.get(), sys::kPipeMaxMessage, &size);
        if (error == sys::kSuccess) {
            handle(connection, size);
        } else if (error == sys::kErrMoreData) {
            drop(connection, size, "longer than the largest message");
        }
        return error != sys::kErrNoData;
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
    std::unordered_map<int, sys::PipeConnection> waiting_;
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
