#include "cgi/request_input.h"

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "cgi/form_vars_internal.h"
#include "platform/file.h"

namespace nvl::cgi {

namespace {

std::atomic<int> g_idleTimeoutMs{-1};

}  // namespace

void setIdleTimeoutForTesting(int milliseconds) {
    g_idleTimeoutMs.store(milliseconds);
}

int idleTimeoutMs() {
    int value = g_idleTimeoutMs.load();
    return value < 0 ? kDefaultIdleTimeoutMs : value;
}

RequestInput::RequestInput(int fd, size_t limit, int idleTimeoutMs)
    : fd_(fd), limit_(limit), idleTimeoutMs_(idleTimeoutMs) {}

size_t RequestInput::fill(char* out, size_t size) {
    size = std::min(size, limit_ - fetched_);
    while (size != 0 && !ended_) {
        pollfd pfd{fd_, POLLIN, 0};
        int ready = ::poll(&pfd, 1, idleTimeoutMs_);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0) {
            timedOut_ = true;
            ended_ = true;
            break;
        }
        // A hang-up or an error shows in the read below.
        ssize_t n = sys::fileOps().read(fd_, out, size);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0) {
            ended_ = true;
            break;
        }
        fetched_ += static_cast<size_t>(n);
        return static_cast<size_t>(n);
    }
    return 0;
}

size_t RequestInput::read(void* out, size_t size) {
    if (begin_ < end_) {
        size_t n = std::min(size, end_ - begin_);
        std::memcpy(out, buffer_.get() + begin_, n);
        begin_ += n;
        consumed_ += n;
        return n;
    }
    size_t n = fill(static_cast<char*>(out), size);
    consumed_ += n;
    return n;
}

size_t RequestInput::readLine(char* out, size_t max) {
    if (!buffer_)
        buffer_ = std::make_unique<char[]>(kLineBufferSize);
    size_t length = 0;
    while (length < max) {
        if (begin_ == end_) {
            begin_ = 0;
            end_ = fill(buffer_.get(), kLineBufferSize);
            if (end_ == 0)
                break;
        }
        size_t want = std::min(max - length, end_ - begin_);
        const char* start = buffer_.get() + begin_;
        const void* newline = std::memchr(start, '\n', want);
        size_t take = newline != nullptr
                          ? static_cast<size_t>(static_cast<const char*>(newline) - start) + 1
                          : want;
        std::memcpy(out + length, start, take);
        begin_ += take;
        consumed_ += take;
        length += take;
        if (newline != nullptr)
            break;
    }
    return length;
}

}  // namespace nvl::cgi
