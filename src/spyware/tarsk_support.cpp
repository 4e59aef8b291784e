// What the facade's parts share: exceptions and report lines, the engine's error texts, the
// stopwatch, the registry values that publish a scan's progress, and the scan lock.
#include <cgishare/trace.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <vector>

#include "platform/byte_text.h"
#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/wide_format.h"
#include "spyware/tarsk_internal.h"

namespace nvl::tarsk {

namespace {

std::u16string formatV(const char16_t* format, va_list args) {
    char16_t small[512];
    va_list copy;
    va_copy(copy, args);
    size_t n = nvl::sys::formatWideV(small, std::size(small), format, copy);
    va_end(copy);
    if (n < std::size(small))
        return std::u16string(small, n);
    std::u16string big(n + 1, u'\0');
    nvl::sys::formatWideV(big.data(), big.size(), format, args);
    big.resize(n);
    return big;
}

std::string toUtf8(std::u16string_view text) {
    if (text.empty())
        return {};
    int size = static_cast<int>(text.size());
    int need =
        nvl::sys::wideCharToMultiByte(nvl::sys::kCodePageUtf8, text.data(), size, nullptr, 0);
    std::string out(static_cast<size_t>(need > 0 ? need : 0), '\0');
    if (need > 0)
        nvl::sys::wideCharToMultiByte(nvl::sys::kCodePageUtf8, text.data(), size, out.data(), need);
    return out;
}

std::mutex& sinkMutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}
TarskMessageSink messageSink = nullptr;
void* messageSinkContext = nullptr;

const char16_t* hiveName(nvl::sys::RegHive hive) {
    switch (hive) {
        case nvl::sys::RegHive::LocalMachine:
            return u"HKLM";
        case nvl::sys::RegHive::CurrentUser:
            return u"HKCU";
        case nvl::sys::RegHive::ClassesRoot:
            return u"HKCR";
        case nvl::sys::RegHive::CurrentConfig:
            return u"HKCC";
        case nvl::sys::RegHive::Users:
            return u"HKU";
    }
    return u"";
}

const char16_t* errorText(uint32_t error) {
    switch (error) {
        case nvl::sys::kErrAccessDenied:
            return u"Access is denied.";
        case nvl::sys::kErrPathNotFound:
            return u"The system cannot find the path specified.";
        case nvl::sys::kErrFileNotFound:
            return u"The system cannot find the file specified.";
        case nvl::sys::kErrDiskFull:
            return u"There is not enough space on the disk.";
        case nvl::sys::kErrKeyDeleted:
            return u"The key has been marked for deletion.";
        default:
            return u"The operation failed.";
    }
}

}  // namespace

std::u16string formatW(const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::u16string text = formatV(format, args);
    va_end(args);
    return text;
}

void throwTarsk(const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::u16string text = formatV(format, args);
    va_end(args);
    throw CTARSKfException(std::move(text));
}

void throwStop(const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::u16string text = formatV(format, args);
    va_end(args);
    throw CTARSKfStopScanException(std::move(text));
}

void tarskPrint(const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::u16string line = formatV(format, args);
    va_end(args);
    TarskMessageSink sink;
    void* context;
    {
        std::lock_guard lock(sinkMutex());
        sink = messageSink;
        context = messageSinkContext;
    }
    if (sink != nullptr) {
        while (!line.empty() && line.back() == u'\n')
            line.pop_back();
        sink(line.c_str(), context);
        return;
    }
    // File names go out as the bytes they are; other text as UTF-8. One write per line, so
    // that lines of several threads do not mix.
    std::string bytes;
    if (!nvl::sys::wideToBytes(line, &bytes))
        bytes = toUtf8(line);
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n <= 0)
            break;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

EngineError lastEngineError(uint32_t handle) {
    EngineError e;
    if (tk.TkGetLastError != nullptr)
        tk.TkGetLastError(handle, &e.code, e.text, std::size(e.text));
    e.text[std::size(e.text) - 1] = 0;
    return e;
}

void ScanStopwatch::start() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    startNs_ = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double ScanStopwatch::stop() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    int64_t now = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    return static_cast<double>(now - startNs_) / 1e9;
}

// --- Registry ---------------------------------------------------------------------------

void PutRegSetting(nvl::sys::RegHive hive, const char16_t* key, const char16_t* valueName,
                   const void* data, uint32_t type) {
    std::string keyPath = toUtf8(key);
    nvl::sys::RegistryKey k;
    uint32_t error = nvl::sys::RegistryKey::open(hive, keyPath, &k);
    if (error != nvl::sys::kSuccess) {
        TARSK_TRACE(5, kHelperSource,
                    u"[TARSKMOD][PutRegSetting] Registry key '%s\\%s' does not exist. Will attempt "
                    u"to create the key. Error=%ld.",
                    hiveName(hive), key, static_cast<long>(error));
        error = nvl::sys::RegistryKey::create(hive, keyPath, &k);
        if (error != nvl::sys::kSuccess) {
            TARSK_TRACE(4, kHelperSource,
                        u"[TARSKMOD][PutRegSetting] Can't create registry key '%s\\%s'. "
                        u"Error=%ld.\n",
                        hiveName(hive), key, static_cast<long>(error));
            return;
        }
        TARSK_TRACE(8, kHelperSource,
                    u"[TARSKMOD][PutRegSetting] The key '%s\\%s' did not exist and was created.",
                    hiveName(hive), key);
    }
    std::string name = toUtf8(valueName);
    if (type == nvl::sys::kRegSz) {
        error = k.setString(name, toUtf8(static_cast<const char16_t*>(data)));
    } else if (type == nvl::sys::kRegDword) {
        uint32_t number;
        std::memcpy(&number, data, sizeof number);
        error = k.setDword(name, number);
    } else {
        TARSK_TRACE(4, kHelperSource,
                    u"[TARSKMOD][PutRegSetting] Unsupported registry key type %ld. Will skip "
                    u"registry key writing.",
                    static_cast<long>(type));
        return;
    }
    if (error != nvl::sys::kSuccess)
        TARSK_TRACE(4, kHelperSource,
                    u"[TARSKMOD][PutRegSetting] RegSetValueEx() failed with error %d: %s ]",
                    static_cast<int>(error), errorText(error));
}

bool GetRegDWSetting(nvl::sys::RegHive hive, const char16_t* key, const char16_t* valueName,
                     uint32_t* value) {
    nvl::sys::RegValue v;
    uint32_t error = nvl::sys::RegistryKey::getValue(hive, toUtf8(key), toUtf8(valueName), &v);
    if (error == nvl::sys::kSuccess && v.type == nvl::sys::kRegDword && v.data.size() == 4) {
        std::memcpy(value, v.data.data(), 4);
        return true;
    }
    if (error == nvl::sys::kSuccess)
        error = nvl::sys::kErrInvalidData;
    TARSK_TRACE(4, kHelperSource,
                u"[TARSKMOD][GetRegDWSetting] Unable to query registry key '%s\\%s\\%s'. "
                u"Error=%ld.",
                hiveName(hive), key, valueName, static_cast<long>(error));
    return false;
}

void putProgressNumber(const char16_t* valueName, uint32_t value) {
    PutRegSetting(nvl::sys::RegHive::LocalMachine, kSpywareKey, valueName, &value,
                  nvl::sys::kRegDword);
}

void putProgressText(const char16_t* valueName, const char16_t* text) {
    PutRegSetting(nvl::sys::RegHive::LocalMachine, kSpywareKey, valueName, text, nvl::sys::kRegSz);
}

void publishProgress(uint32_t percent) {
    uint32_t stored = 0;
    if (!GetRegDWSetting(nvl::sys::RegHive::LocalMachine, kSpywareKey, kProgressValue, &stored))
        return;
    if (percent <= stored)
        return;
    putProgressNumber(kProgressValue, percent > 100 ? 98 : percent);
}

// --- The scan lock ----------------------------------------------------------------------

namespace {
// The mutex is recursive for its owning thread; a scan started from inside a scan (a message
// sink that calls back) must be refused all the same.
thread_local bool scanLockHeld = false;
}  // namespace

ScanLock::ScanLock() {
    if (scanLockHeld)
        return;
    mutex_ = nvl::sys::createMutex(kScanMutexName, false);
    if (!mutex_) {
        TARSK_TRACE(2, kFacadeSource,
                    u"[TARSKMOD][ScanLock] The scan lock cannot be made. Error Code: %ld",
                    static_cast<long>(nvl::sys::lastError()));
        return;
    }
    uint32_t wait = nvl::sys::waitForSingleObject(mutex_.get(), 0);
    acquired_ = wait == nvl::sys::kWaitObject0 || wait == nvl::sys::kWaitAbandoned0;
    if (!acquired_)
        return;
    scanLockHeld = true;
    uint32_t running = 0;
    nvl::sys::RegValue v;
    if (nvl::sys::RegistryKey::getValue(nvl::sys::RegHive::LocalMachine, toUtf8(kSpywareKey),
                                        toUtf8(kRunningValue), &v) == nvl::sys::kSuccess &&
        v.type == nvl::sys::kRegDword && v.data.size() == 4)
        std::memcpy(&running, v.data.data(), 4);
    if (running != 0 || wait == nvl::sys::kWaitAbandoned0)
        TARSK_TRACE(4, kFacadeSource,
                    u"[TARSKMOD][ScanLock] The previous spyware scan ended before its end (killed "
                    u"or crashed); its items are in place or in a backup set.");
    putProgressNumber(kRunningValue, 1);
}

ScanLock::~ScanLock() {
    if (!acquired_)
        return;
    putProgressNumber(kRunningValue, 0);
    nvl::sys::releaseMutex(mutex_.get());
    scanLockHeld = false;
}

}  // namespace nvl::tarsk

using namespace nvl::tarsk;

void SetTarskMessageSink(TarskMessageSink sink, void* context) {
    std::lock_guard lock(sinkMutex());
    messageSink = sink;
    messageSinkContext = context;
}

TarskScanRequest* TarskAllocScanRequest(uint32_t findings) {
    size_t size = offsetof(TarskScanRequest, result) + sizeof(TarskScanResult) +
                  static_cast<size_t>(findings) * sizeof(TarskFinding);
    auto* request = static_cast<TarskScanRequest*>(std::calloc(1, size));
    if (request != nullptr)
        request->resultSize = static_cast<uint32_t>(size - offsetof(TarskScanRequest, result));
    return request;
}

void TarskFreeScanRequest(TarskScanRequest* request) {
    std::free(request);
}

int QueryTarskScanProgress(TarskScanProgress* progress) {
    if (progress == nullptr)
        return 0;
    std::memset(progress, 0, sizeof *progress);
    nvl::sys::RegistryKey key;
    if (nvl::sys::RegistryKey::open(nvl::sys::RegHive::LocalMachine, toUtf8(kSpywareKey), &key) !=
        nvl::sys::kSuccess)
        return 1;
    auto number = [&](const char16_t* name) {
        uint32_t value = 0;
        return key.getDword(toUtf8(name), &value) == nvl::sys::kSuccess ? value : 0;
    };
    progress->progress = number(kProgressValue);
    progress->currentTask = number(kCurrentTaskValue);
    progress->detected = number(kDetectedValue);
    std::string location;
    if (key.getString(toUtf8(kLocationValue), &location) == nvl::sys::kSuccess &&
        !location.empty()) {
        int n = nvl::sys::multiByteToWideChar(nvl::sys::kCodePageUtf8, location.data(),
                                              static_cast<int>(location.size()), progress->location,
                                              static_cast<int>(std::size(progress->location) - 1));
        if (n <= 0)
            n = static_cast<int>(std::size(progress->location) - 1);
        progress->location[std::min<size_t>(static_cast<size_t>(n),
                                            std::size(progress->location) - 1)] = 0;
    }
    if (number(kRunningValue) != 0) {
        // Only a live scan holds the lock's name open: a name that nobody holds means the scan
        // that set the value died.
        nvl::sys::Handle held = nvl::sys::openMutex(kScanMutexName);
        progress->state = held ? TARSK_SCAN_RUNNING : TARSK_SCAN_INTERRUPTED;
    }
    return 1;
}
