#include "platform/pipe.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <utility>

#include "platform/error.h"
#include "platform/paths.h"

namespace nvl::sys {

namespace {

// The kernel charges a message plus its bookkeeping against the sender's buffer.
constexpr int kSendBufferBytes = static_cast<int>(kPipeMaxMessage) + 4096;

bool validName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

uint64_t monotonicMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// A socket address for `path`. sun_path holds 107 characters; a longer path is reached through
// a descriptor of its directory (/proc/self/fd/N/name), which the kernel resolves the same way.
class SocketAddress {
  public:
    explicit SocketAddress(const std::string& path) {
        address_.sun_family = AF_UNIX;
        std::string target = path;
        if (target.size() >= sizeof address_.sun_path) {
            size_t slash = target.rfind('/');
            std::string dir = slash == std::string::npos ? "." : target.substr(0, slash);
            directory_.reset(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (!directory_) {
                error_ = errnoToError(errno);
                return;
            }
            target = "/proc/self/fd/" + std::to_string(directory_.get()) + "/" +
                     target.substr(slash == std::string::npos ? 0 : slash + 1);
            if (target.size() >= sizeof address_.sun_path) {
                error_ = kErrFilenameTooLong;
                return;
            }
        }
        target.copy(address_.sun_path, target.size());
        address_.sun_path[target.size()] = '\0';
        length_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + target.size() + 1);
    }

    uint32_t error() const { return error_; }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&address_); }
    socklen_t length() const { return length_; }

  private:
    sockaddr_un address_{};
    socklen_t length_ = 0;
    UniqueFd directory_;
    uint32_t error_ = kSuccess;
};

uint32_t connectError(int errnoValue, bool waiting) {
    switch (errnoValue) {
        case ENOENT:
        case ECONNREFUSED:
            return kErrFileNotFound;  // no server, or one that died
        case EAGAIN:
            return waiting ? kErrSemTimeout : kErrPipeBusy;
        default:
            return errnoToError(errnoValue);
    }
}

// One connect to `path`. Without a time-out it never blocks; with one, it waits that long for
// room in the server's backlog.
uint32_t connectTo(const std::string& path, bool waiting, uint32_t timeoutMs, UniqueFd* out) {
    SocketAddress address(path);
    if (address.error() != kSuccess)
        return address.error();
    const uint64_t deadline = monotonicMs() + timeoutMs;
    for (;;) {
        const bool blocking = waiting && timeoutMs > 0;
        UniqueFd fd(
            ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0));
        if (!fd)
            return errnoToError(errno);
        if (blocking) {
            uint64_t now = monotonicMs();
            uint64_t left = deadline > now ? deadline - now : 1;
            timeval tv{static_cast<time_t>(left / 1000),
                       static_cast<suseconds_t>(left % 1000 * 1000)};
            ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        }
        ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &kSendBufferBytes, sizeof kSendBufferBytes);
        if (::connect(fd.get(), address.get(), address.length()) == 0) {
            // Sends block from here on: a message is never refused for want of buffer space.
            if (!blocking && ::fcntl(fd.get(), F_SETFL, O_RDWR) != 0)
                return errnoToError(errno);
            // The time-out was for the connect only.
            timeval none{};
            if (blocking)
                ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
            *out = std::move(fd);
            return kSuccess;
        }
        int error = errno;
        // A signal cut the wait short: go on waiting for the rest of the time.
        if (error == EINTR && blocking && monotonicMs() < deadline)
            continue;
        if (error == EINTR)
            error = EAGAIN;
        return connectError(error, waiting);
    }
}

}  // namespace

std::string pipePath(std::string_view name) {
    return runtimeDir() + "/pipe/" + std::string(name);
}

// --- PipeConnection ----------------------------------------------------------------------

uint32_t PipeConnection::connect(std::string_view name) {
    if (fd_)
        return kSuccess;  // made by a successful waitForServer()
    if (!validName(name))
        return kErrInvalidName;
    std::string runtime;
    if (uint32_t error = checkedRuntimeDir(&runtime); error != kSuccess)
        return error;
    return connectTo(runtime + "/pipe/" + std::string(name), false, 0, &fd_);
}

uint32_t PipeConnection::waitForServer(std::string_view name, uint32_t timeoutMs) {
    if (!validName(name))
        return kErrInvalidName;
    fd_.reset();
    std::string runtime;
    if (uint32_t error = checkedRuntimeDir(&runtime); error != kSuccess)
        return error;
    return connectTo(runtime + "/pipe/" + std::string(name), true, timeoutMs, &fd_);
}

uint32_t PipeConnection::send(const void* data, size_t size) {
    if (!fd_)
        return kErrInvalidHandle;
    if (size > kPipeMaxMessage)
        return kErrInvalidParameter;
    for (;;) {
        ssize_t sent = ::send(fd_.get(), data, size, MSG_NOSIGNAL);
        if (sent >= 0)
            return static_cast<size_t>(sent) == size ? kSuccess : kErrWriteFault;
        if (errno != EINTR)
            return errnoToError(errno);
    }
}

uint32_t PipeConnection::receive(void* buffer, size_t capacity, size_t* size) {
    *size = 0;
    if (!fd_)
        return kErrInvalidHandle;
    for (;;) {
        // MSG_TRUNC makes recv report the whole message's length even when it did not fit.
        ssize_t got = ::recv(fd_.get(), buffer, capacity, MSG_TRUNC);
        if (got > 0) {
            *size = static_cast<size_t>(got);
            return *size > capacity ? kErrMoreData : kSuccess;
        }
        if (got == 0)
            return kErrBrokenPipe;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN)
            return kErrNoData;
        if (errno == ECONNRESET)
            return kErrBrokenPipe;
        return errnoToError(errno);
    }
}

uint32_t PipeConnection::peerProcessId() const {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (!fd_ || ::getsockopt(fd_.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        return 0;
    }
    return static_cast<uint32_t>(credentials.pid);
}

uid_t PipeConnection::peerUserId() const {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (!fd_ || ::getsockopt(fd_.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        return static_cast<uid_t>(-1);
    }
    return credentials.uid;
}

// --- PipeServer ----------------------------------------------------------------------------

PipeServer::PipeServer(PipeServer&& other) noexcept {
    *this = std::move(other);
}

PipeServer& PipeServer::operator=(PipeServer&& other) noexcept {
    if (this != &other) {
        removeSocketFile();
        fd_ = std::move(other.fd_);
        path_ = std::move(other.path_);
        device_ = std::exchange(other.device_, 0);
        inode_ = std::exchange(other.inode_, 0);
        nonBlocking_ = other.nonBlocking_;
    }
    return *this;
}

PipeServer::~PipeServer() {
    removeSocketFile();
}

uint32_t PipeServer::create(std::string_view name, int backlog, bool nonBlocking, PipeServer* out) {
    if (!validName(name))
        return kErrInvalidName;
    RuntimeSubdirectory directory;
    if (uint32_t error = openRuntimeSubdirectory("pipe", &directory); error != kSuccess)
        return error;
    const std::string path = directory.path + "/" + std::string(name);

    // Probe, replace and publish under one lock, so two servers starting together cannot both
    // take a stale name.
    FileWriteLock lock(path);
    if (!lock.ok())
        return lock.error();
    UniqueFd probe;
    uint32_t probed = connectTo(path, false, 0, &probe);
    if (probed == kSuccess || probed == kErrPipeBusy)
        return kErrAlreadyExists;
    if (probed != kErrFileNotFound)
        return probed;

    // Bind and listen under a private name first and rename it into place, so the name never
    // leads to a socket that is not listening yet.
    const std::string staging = path + "." + std::to_string(::getpid()) + ".new";
    ::unlink(staging.c_str());
    SocketAddress address(staging);
    if (address.error() != kSuccess)
        return address.error();
    UniqueFd fd(
        ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0));
    if (!fd)
        return errnoToError(errno);
    if (::bind(fd.get(), address.get(), address.length()) != 0)
        return errnoToError(errno);
    struct stat st {};
    if (::chmod(staging.c_str(), directory.fileMode) != 0 || ::listen(fd.get(), backlog) != 0 ||
        ::lstat(staging.c_str(), &st) != 0 || ::rename(staging.c_str(), path.c_str()) != 0) {
        uint32_t error = errnoToError(errno);
        ::unlink(staging.c_str());
        return error;
    }

    PipeServer server;
    server.fd_ = std::move(fd);
    server.path_ = path;
    server.device_ = st.st_dev;
    server.inode_ = st.st_ino;
    server.nonBlocking_ = nonBlocking;
    *out = std::move(server);
    return kSuccess;
}

uint32_t PipeServer::accept(PipeConnection* out) {
    if (!fd_)
        return kErrInvalidHandle;
    for (;;) {
        int fd = ::accept4(fd_.get(), nullptr, nullptr,
                           SOCK_CLOEXEC | (nonBlocking_ ? SOCK_NONBLOCK : 0));
        if (fd >= 0) {
            *out = PipeConnection(fd);
            return kSuccess;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (errno == EAGAIN)
            return kErrNoData;
        return errnoToError(errno);
    }
}

void PipeServer::stopListening() {
    removeSocketFile();
    // A listening socket shut down for reading refuses new connections but still hands out
    // the ones already queued.
    if (fd_)
        ::shutdown(fd_.get(), SHUT_RD);
}

void PipeServer::removeSocketFile() {
    if (inode_ == 0)
        return;
    // Only our own socket: a successor may already have replaced a name we left.
    FileWriteLock lock(path_);
    struct stat st {};
    if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_) {
        ::unlink(path_.c_str());
    }
    device_ = 0;
    inode_ = 0;
}

}  // namespace nvl::sys
