// The pieces of the form reader that its tests, fuzz targets and benchmarks reach directly.
//
// Every reader takes its input from a file descriptor, standard input in production, so a
// test can feed it a pipe or a memory file; it never reads more than the request's
// CONTENT_LENGTH and never waits longer than the idle time-out for the next byte.
#pragma once

#include <cgishare/output_stream.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

namespace nvl::cgi {

// Largest URL-encoded body that is read (its CONTENT_LENGTH may not exceed it).
constexpr size_t kMaxUrlEncodedBody = size_t{64} << 20;
// The multipart reader's line length (a longer line is taken as several), the longest
// boundary, how much of the end of the upload is searched for the closing boundary, and the
// most bytes a part's header lines may take together.
constexpr size_t kMultipartLineMax = 2047;
constexpr size_t kBoundaryMax = 2047;
constexpr size_t kTrailerWindow = 2048;
constexpr size_t kPartHeadersMax = 16 * 1024;
// Reads from standard input and writes of the upload move this many bytes at a time.
constexpr size_t kIoBufferSize = 64 * 1024;
// How long standard input may stay silent before the request counts as cut short.
constexpr int kDefaultIdleTimeoutMs = 60 * 1000;

// The digit rule of cgiX2C: a character that is at least 'A' as a signed char gives
// (character & ~0x20) - 0x37, any other character - 0x30; the byte is 16 * high + low.
inline unsigned char hexPairValue(char high, char low) {
    auto digit = [](char c) { return c >= 'A' ? (c & ~0x20) - 0x37 : c - 0x30; };
    return static_cast<unsigned char>(digit(high) * 16 + digit(low));
}

struct FreeDeleter {
    void operator()(void* block) const { std::free(block); }
};
// A malloc block freed when it goes out of scope.
using FreeOnExit = std::unique_ptr<void, FreeDeleter>;

// A form-variable array being built: `entries` null pointers, freed with every string set
// into it unless released to the caller.
class VarArray {
  public:
    explicit VarArray(size_t entries)
        : vars_(static_cast<char**>(std::calloc(entries, sizeof(char*)))), entries_(entries) {}
    ~VarArray() {
        if (vars_ == nullptr)
            return;
        for (size_t i = 0; i < entries_; ++i)
            std::free(vars_[i]);
        std::free(vars_);
    }
    VarArray(const VarArray&) = delete;
    VarArray& operator=(const VarArray&) = delete;

    explicit operator bool() const { return vars_ != nullptr; }
    // Replaces entry `index`, freeing what it held.
    void set(size_t index, char* text) {
        std::free(vars_[index]);
        vars_[index] = text;
    }
    char** release() {
        char** vars = vars_;
        vars_ = nullptr;
        return vars;
    }

  private:
    char** vars_;
    size_t entries_;
};

// CONTENT_LENGTH as a number: leading digits with an optional sign, clamped to 32 bits; 0
// when unset or not a number.
int parseContentLength(const char* text);

// cgiGetVars reading the body from `inputFd`.
char** getVarsFromFd(int inputFd, CharEncoding encoding, bool forceMultipart,
                     unsigned char** trailingData, long* trailingLength);

// Splits an URL-encoded text (`data`, ended by its first zero byte or its size) into a
// form-variable array. `*trailingOffset` (when not null) receives the offset just after the
// last variable, the byte that ends it; 0 when there is no variable. Null when memory is
// short. Throws UTFDataFormatException* for a malformed value under UTF_8.
char** splitUrlEncoded(std::string_view data, CharEncoding encoding, size_t* trailingOffset);

// The multipart reader on `inputFd` (ParseMultiPartData() reads standard input).
char** ParseMultiPartData();
char** ParseMultiPartData(int inputFd);

bool VerifyUploadSize(int contentLength);

const unsigned char* FindLastPattern(const unsigned char* buffer, unsigned length,
                                     const char* pattern, const unsigned char* start);

// Messages of the form reader, by their numbers in the resource library.
enum Message : int {
    kMsgBadMethod = 4000,
    kMsgBadContentType = 4001,
    kMsgReadFailed = 4002,
    kMsgNoMemory = 4003,
    kMsgNoContent = 4004,
    kMsgUploadRefused = 4005,
    kMsgUploadFailed = 4006,
    kMsgBadCharacters = 4007,
};

// The flags set with cgiSetReadFlags.
unsigned readFlags();
// Records `id` as the failure of this read and writes its text to standard output, as the
// whole response, unless the page asked for quiet errors.
void reportMessage(int id);
// Records `id` as the failure of this read without writing anything.
void recordFailure(int id);

// Removes the stored uploads of this process that are still where they were stored; runs
// when the process exits. Exposed so that tests can run it without exiting.
void removeStoredUploads();

// Replaces the idle time-out (milliseconds) for tests; a negative value restores the default.
void setIdleTimeoutForTesting(int milliseconds);
int idleTimeoutMs();

}  // namespace nvl::cgi
