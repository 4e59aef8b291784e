// The multipart reader: the first part of a multipart/form-data body, its bytes streamed into
// a temporary file in the home directory's TEMP directory.
//
// The body is read as lines until one holds the boundary; the following lines up to an empty
// one are the part's headers, split into tokens at ';', CR and LF. Everything after them, up
// to the end of the body, is the file's content, except that the last boundary found in the
// final 2048 bytes, and the last CRLF at or before it, end the file. The copy keeps those
// final 2048 bytes in memory instead of reading them back, so the file is written once, in
// 64 KiB pieces, and holds exactly the content when the reader reports success; a body that
// ends before CONTENT_LENGTH, or a write that fails, removes the file.
//
// A stored file belongs to the page that received it: an exit handler removes it when the
// process ends, unless the page has moved it (the name then holds nothing, or another file).
// Nobody else would ever remove it, and a page that ignores an upload must not leave it behind.
#include <cgishare/config.h>
#include <cgishare/form_vars.h>
#include <cgishare/trace.h>

#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "cgi/form_vars_internal.h"
#include "cgi/request_input.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "trace/trace_sources.h"

namespace nvl::cgi {

namespace {

constexpr int kTraceLevel = 4;
constexpr size_t kHomeDirSize = 260;
constexpr char kTempPrefix[] = "NVCE";

// Heap copy of a C string; the empty text for null.
char* copyText(const char* text) {
    return ::strdup(text != nullptr ? text : "");
}

// Splits one header line into tokens at ';', CR and LF. The line is text: it ends at its
// first zero byte.
void splitHeaderLine(const char* line, size_t length, std::vector<std::string>* tokens) {
    std::string text(line, ::strnlen(line, length));
    char* save = nullptr;
    for (char* token = ::strtok_r(text.data(), ";\r\n", &save); token != nullptr;
         token = ::strtok_r(nullptr, ";\r\n", &save)) {
        tokens->emplace_back(token);
    }
}

constexpr char kSizeName[] = "NewFileSize";
constexpr char kPathName[] = "TempFileName";

// The array: one name/value pair per header token, then the size and the file's path. A token
// that bears the name of one of the library's own entries is dropped: a client could otherwise
// name the "stored" file itself, and a page looking up the first match would take its word.
char** buildResult(std::vector<std::string>& tokens, uint64_t size, const std::string& path) {
    VarArray vars(2 * tokens.size() + 5);
    if (!vars)
        return nullptr;
    size_t slot = 0;
    for (std::string& token : tokens) {
        // The name stops at ':', ' ', '=' or '"'; the value runs from there to the next
        // '"', CR or LF, so "Content-Type: text/plain" keeps the space before its value
        // and name="file" loses its quotes.
        char* save = nullptr;
        const char* name = ::strtok_r(token.data(), ": =\"", &save);
        const char* value = name != nullptr ? ::strtok_r(nullptr, "\"\r\n", &save) : nullptr;
        if (name != nullptr &&
            (::strcasecmp(name, kSizeName) == 0 || ::strcasecmp(name, kPathName) == 0))
            continue;
        vars.set(slot++, copyText(name));
        vars.set(slot++, copyText(value));
    }
    char sizeText[24];
    std::snprintf(sizeText, sizeof sizeText, "%llu", static_cast<unsigned long long>(size));
    vars.set(slot++, copyText(kSizeName));
    vars.set(slot++, copyText(sizeText));
    vars.set(slot++, copyText(kPathName));
    vars.set(slot++, copyText(path.c_str()));
    return vars.release();
}

// The uploads this process stored, each with the identity of its file, so that the exit
// handler removes only a file that is still the one stored (and only in the process that
// stored it: a forked child that exits runs its parent's handlers too).
struct StoredUpload {
    std::string path;
    dev_t device;
    ino_t inode;
    pid_t owner;
};

std::mutex gStoredMutex;
std::vector<StoredUpload>* gStored = nullptr;  // never freed: the exit handler reads it

void rememberUpload(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return;
    std::lock_guard lock(gStoredMutex);
    if (gStored == nullptr) {
        gStored = new std::vector<StoredUpload>;
        std::atexit(removeStoredUploads);
    }
    gStored->push_back({path, st.st_dev, st.st_ino, ::getpid()});
}

// The upload's file, removed unless kept.
class UploadFile {
  public:
    UploadFile() = default;
    ~UploadFile() {
        if (!path_.empty() && !kept_)
            sys::fileOps().unlink(path_.c_str());
    }
    UploadFile(const UploadFile&) = delete;
    UploadFile& operator=(const UploadFile&) = delete;

    bool create(const std::string& directory) {
        return sys::createUniqueFile(directory, kTempPrefix, 0600, &path_, &fd_) == sys::kSuccess;
    }
    bool write(const unsigned char* data, size_t size) {
        return sys::writeAll(fd_.get(), std::string_view(reinterpret_cast<const char*>(data),
                                                         size)) == sys::kSuccess;
    }
    bool close() { return sys::fileOps().close(fd_.release()) == 0; }
    void keep() { kept_ = true; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    sys::UniqueFd fd_;
    bool kept_ = false;
};

}  // namespace

void removeStoredUploads() {
    std::lock_guard lock(gStoredMutex);
    if (gStored == nullptr)
        return;
    pid_t self = ::getpid();
    for (const StoredUpload& upload : *gStored) {
        struct stat st {};
        if (upload.owner == self && ::lstat(upload.path.c_str(), &st) == 0 &&
            st.st_dev == upload.device && st.st_ino == upload.inode)
            sys::fileOps().unlink(upload.path.c_str());
    }
    gStored->clear();
}

bool VerifyUploadSize(int contentLength) {
    static char section[] = "INI_SERVER_SECTION";
    static char key[] = "MaxUploadSize";
    int megabytes = getINIint(section, key, 64, nullptr);
    if (megabytes < 1)
        megabytes = 64;
    // A limit of 2048 MiB or more would not fit the 32-bit size: it is held at the largest.
    int64_t limit = std::min<int64_t>(int64_t{megabytes} << 20, INT_MAX);
    if (contentLength <= limit)
        return true;
    DebugTraceA(kTraceLevel, nvl::trace::kShareSource, __LINE__,
                "[cgiShare:VerifyUploadSize] FILE TOO BIG, MaxSize=%d byte",
                static_cast<int>(limit));
    return false;
}

const unsigned char* FindLastPattern(const unsigned char* buffer, unsigned length,
                                     const char* pattern, const unsigned char* start) {
    size_t k = std::strlen(pattern);
    if (k == 0 || k > length)
        return nullptr;
    // A start too near the end would compare bytes past it: the search begins where the
    // whole pattern still fits.
    const unsigned char* last = buffer + (length - k);
    const unsigned char* p = start == nullptr || start > last ? last : start;
    for (; p >= buffer; --p) {
        if (std::memcmp(p, pattern, k) == 0)
            return p;
        if (p == buffer)
            break;
    }
    return nullptr;
}

namespace {
char** readMultipart(int inputFd);
}  // namespace

char** ParseMultiPartData() {
    return ParseMultiPartData(STDIN_FILENO);
}

char** ParseMultiPartData(int inputFd) {
    char** vars = readMultipart(inputFd);
    if (vars == nullptr)
        recordFailure(kMsgUploadFailed);
    return vars;
}

namespace {

char** readMultipart(int inputFd) {
    // The boundary is everything after the first '=', quotes and further parameters included.
    const char* type = std::getenv("CONTENT_TYPE");
    const char* equals = type != nullptr ? std::strchr(type, '=') : nullptr;
    const char* boundary = equals != nullptr ? equals + 1 : "";
    size_t boundaryLength = std::strlen(boundary);
    if (boundaryLength == 0 || boundaryLength > kBoundaryMax) {
        DebugTraceA(kTraceLevel, nvl::trace::kShareSource, __LINE__,
                    "[ParseMultiPartData] Cannot find start boundary");
        return nullptr;
    }

    // Standard input has no text mode to leave on this system.
    int contentLength = parseContentLength(std::getenv("CONTENT_LENGTH"));
    if (!VerifyUploadSize(contentLength))
        return nullptr;
    RequestInput input(inputFd, contentLength > 0 ? static_cast<size_t>(contentLength) : 0,
                       idleTimeoutMs());

    char line[kMultipartLineMax + 1];
    for (;;) {
        size_t n = input.readLine(line, kMultipartLineMax);
        if (n == 0) {
            DebugTraceA(kTraceLevel, nvl::trace::kShareSource, __LINE__,
                        "[ParseMultiPartData] Cannot find start boundary");
            return nullptr;
        }
        if (::memmem(line, n, boundary, boundaryLength) != nullptr)
            break;
    }

    std::vector<std::string> tokens;
    size_t headerBytes = 0;
    for (;;) {
        size_t n = input.readLine(line, kMultipartLineMax);
        if (n == 0) {
            DebugTraceA(kTraceLevel, nvl::trace::kShareSource, __LINE__,
                        "[ParseMultiPartData] fgets failed.");
            return nullptr;
        }
        headerBytes += n;
        if (headerBytes > kPartHeadersMax) {
            DebugTraceA(kTraceLevel, nvl::trace::kShareSource, __LINE__,
                        "[ParseMultiPartData] part headers longer than %d bytes.",
                        static_cast<int>(kPartHeadersMax));
            return nullptr;
        }
        if (n == 2 && line[0] == '\r' && line[1] == '\n')
            break;
        size_t before = tokens.size();
        splitHeaderLine(line, n, &tokens);
        if (tokens.size() == before)
            break;
    }

    char home[kHomeDirSize] = {};
    UploadFile file;
    if (getHomeDir(home, sizeof home) == 0 ||
        !file.create(sys::resolvePath(std::string(home) + "TEMP"))) {
        DebugTraceA(kTraceLevel, nvl::trace::kShareSource, __LINE__,
                    "[ParseMultiPartData] GetTempFileName failed.");
        return nullptr;
    }

    // The last kTrailerWindow bytes seen are held back: the closing boundary is looked for
    // in them once the body is complete. The file is written in whole pieces of
    // kIoBufferSize bytes, at offsets that stay aligned to them.
    constexpr size_t kCapacity = kIoBufferSize + kTrailerWindow;
    auto buffer = std::make_unique<unsigned char[]>(kCapacity);
    size_t held = 0;
    uint64_t written = 0;
    bool writeFailed = false;
    while (input.remaining() != 0 && !writeFailed) {
        size_t n = input.read(buffer.get() + held, kCapacity - held);
        if (n == 0)
            break;
        held += n;
        if (held == kCapacity) {
            writeFailed = !file.write(buffer.get(), kIoBufferSize);
            written += kIoBufferSize;
            std::memcpy(buffer.get(), buffer.get() + kIoBufferSize, kTrailerWindow);
            held = kTrailerWindow;
        }
    }
    if (input.cutShort()) {
        DebugTraceA(kTraceLevel, nvl::trace::kShareSource, __LINE__,
                    "[ParseMultiPartData] upload cut short, %d of %d bytes missing%s.",
                    static_cast<int>(input.remaining()), contentLength,
                    input.timedOut() ? " (time-out)" : "");
        return nullptr;
    }

    // The window: the last min(size, kTrailerWindow) bytes of the upload.
    size_t before = held > kTrailerWindow ? held - kTrailerWindow : 0;
    const unsigned char* window = buffer.get() + before;
    auto windowLength = static_cast<unsigned>(held - before);
    size_t keep = windowLength;
    if (const unsigned char* p = FindLastPattern(window, windowLength, boundary, nullptr)) {
        if (const unsigned char* q = FindLastPattern(window, windowLength, "\r\n", p))
            keep = static_cast<size_t>(q - window);
    }
    if (!writeFailed)
        writeFailed = !file.write(buffer.get(), before + keep);
    if (writeFailed || !file.close()) {
        DebugTraceA(kTraceLevel, nvl::trace::kShareSource, __LINE__,
                    "[ParseMultiPartData] WriteFile %s failed.", file.path().c_str());
        return nullptr;
    }
    written += before + keep;

    char** vars = buildResult(tokens, written, file.path());
    if (vars != nullptr) {
        file.keep();
        rememberUpload(file.path());
    }
    return vars;
}

}  // namespace

}  // namespace nvl::cgi
