// The request body as the form reader sees it: at most `limit` bytes (the request's
// CONTENT_LENGTH) of one file descriptor, read through the platform's file table. Lines (a
// multipart body's boundaries and part headers) come through a 16 KiB buffer; bulk reads go
// straight into the caller's buffer once the buffered bytes are used up, so an upload is held
// in memory once, in the caller's buffer.
//
// The descriptor is never read past the limit, so whatever the client sends after its body
// stays unread. Each read first waits, at most the idle time-out, for the descriptor to
// become readable: a client that stops sending ends the body as if the input had ended, and
// timedOut() tells the two apart. The descriptor is not owned and its flags are not changed
// (standard input is shared with the web server).
#pragma once

#include <cstddef>
#include <memory>

namespace nvl::cgi {

// The buffer of readLine: as large as the part headers may be together, so that the
// headers of a part take one read.
constexpr size_t kLineBufferSize = 16 * 1024;

class RequestInput {
  public:
    RequestInput(int fd, size_t limit, int idleTimeoutMs);
    RequestInput(const RequestInput&) = delete;
    RequestInput& operator=(const RequestInput&) = delete;

    // One line as fgets reads it into a buffer of max + 1 bytes: up to and including the
    // next '\n', or `max` bytes, or what is left. Returns its length, 0 at the end.
    size_t readLine(char* out, size_t max);

    // Up to `size` bytes: what is buffered, else one read of the descriptor. 0 at the end.
    size_t read(void* out, size_t size);

    // Bytes of the body not read yet (buffered ones included).
    size_t remaining() const { return limit_ - consumed_; }
    bool timedOut() const { return timedOut_; }
    // True when the descriptor failed or ended, or stayed silent, before the limit.
    bool cutShort() const { return ended_ && fetched_ < limit_; }

  private:
    // Reads at most `size` bytes of the descriptor into `out`; 0 marks the end of input.
    size_t fill(char* out, size_t size);

    int fd_;
    size_t limit_;
    int idleTimeoutMs_;
    size_t consumed_ = 0;  // bytes handed to the caller
    size_t fetched_ = 0;   // bytes taken from the descriptor
    std::unique_ptr<char[]> buffer_;
    size_t begin_ = 0, end_ = 0;  // the buffered bytes: buffer_[begin_, end_)
    bool ended_ = false;
    bool timedOut_ = false;
};

}  // namespace nvl::cgi
