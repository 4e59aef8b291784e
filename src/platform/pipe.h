// Message pipes: the named pipe of the original platform, in message mode, as a local socket.
//
// A pipe named N is the socket file <runtime dir>/pipe/N, a SOCK_SEQPACKET socket: every send
// is one message and every receive returns one whole message, and one connection normally
// carries one message. Only the server's own accounts reach it: the pipe directory and the socket
// are the owner's alone (0700, 0600), or its group's in a group-shared runtime directory (2770,
// 0660); see paths.h. A runtime directory that fails its checks makes every call here fail with
// kErrAccessDenied, so the trace client simply finds no log server.
//
// Client side, in the original's terms:
//   connect()        CreateFile: one attempt that never blocks. kErrFileNotFound when no
//                    server listens (no socket file, or a stale one), kErrPipeBusy when the
//                    server's backlog of unaccepted connections is full.
//   waitForServer()  WaitNamedPipe: waits up to a time-out for room in the backlog. When it
//                    succeeds the connection is already made and kept, so the connect() that
//                    follows uses it; a server never sees an empty connection from a wait.
//                    kErrSemTimeout when the time runs out; kErrFileNotFound at once when no
//                    server listens.
//   send()           WriteFile: one message, never SIGPIPE; a closed peer gives kErrNoData.
//
// Server side: PipeServer::create() binds the name, refusing with kErrAlreadyExists while
// another live server holds it. A socket file left behind by a server that died is detected
// by a probe (a connect is refused) and replaced. Creation is serialised by a lock file beside
// the socket, and the socket appears under its name only once it listens, so a client never
// finds a socket that refuses it while the server is starting.
//
// A message holds at most kPipeMaxMessage bytes; send() refuses a longer one and receive()
// reports one that did not fit the caller's buffer (kErrMoreData) instead of cutting it
// silently.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/file.h"

namespace nvl::sys {

constexpr size_t kPipeMaxMessage = 64 * 1024;

// The socket file of pipe `name`: runtimeDir() + "/pipe/" + name.
std::string pipePath(std::string_view name);

// One end of one connection.
class PipeConnection {
  public:
    PipeConnection() = default;
    PipeConnection(PipeConnection&&) noexcept = default;
    PipeConnection& operator=(PipeConnection&&) noexcept = default;

    // Connects to the server of `name` without waiting. When a previous waitForServer()
    // succeeded, the connection it made is used and kSuccess returned.
    uint32_t connect(std::string_view name);

    // Waits at most `timeoutMs` for the server of `name` to take a connection; on kSuccess
    // the connection is open.
    uint32_t waitForServer(std::string_view name, uint32_t timeoutMs);

    // Sends `size` bytes as one message (at most kPipeMaxMessage; longer is
    // kErrInvalidParameter).
    uint32_t send(const void* data, size_t size);

    // Receives one message into `buffer`. kSuccess with its size; kErrMoreData when it was
    // longer than `capacity` (the rest is lost; *size is the full length); kErrBrokenPipe when
    // the peer has closed and nothing is left; kErrNoData when the connection does not block
    // and nothing has arrived yet.
    uint32_t receive(void* buffer, size_t capacity, size_t* size);

    // The process id of the peer, 0 when unknown.
    uint32_t peerProcessId() const;

    // The user id of the peer, (uid_t)-1 when unknown (no account has that id).
    uid_t peerUserId() const;

    bool isOpen() const { return static_cast<bool>(fd_); }
    int fd() const { return fd_.get(); }
    void close() { fd_.reset(); }

  private:
    friend class PipeServer;
    explicit PipeConnection(int fd) : fd_(fd) {}
    UniqueFd fd_;
};

// The listening end of a pipe. Destroying it closes the socket and removes the socket file
// (when it is still this server's).
class PipeServer {
  public:
    PipeServer() = default;
    PipeServer(PipeServer&& other) noexcept;
    PipeServer& operator=(PipeServer&& other) noexcept;
    ~PipeServer();

    // Listens on pipe `name` with room for `backlog` unaccepted connections. With
    // `nonBlocking`, accept() and the connections it returns never block (for an event loop).
    static uint32_t create(std::string_view name, int backlog, bool nonBlocking, PipeServer* out);

    // Takes the next connection. kErrNoData when none waits and the server does not block.
    uint32_t accept(PipeConnection* out);

    // Stops taking new clients (their connect fails with kErrFileNotFound) and removes the
    // socket file; connections already made can still be accepted, so a server can drain
    // them before it exits.
    void stopListening();

    int fd() const { return fd_.get(); }
    const std::string& path() const { return path_; }
    bool isOpen() const { return static_cast<bool>(fd_); }

  private:
    void removeSocketFile();

    UniqueFd fd_;
    std::string path_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    bool nonBlocking_ = false;
};

}  // namespace nvl::sys
