// The GUID check log, the KRMS hand-off files and the master service's liveness; what they
// promise is set out in <cgishare/guid_log.h>.
#include "cgishare/guid_log.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "cgishare/config.h"
#include "cgishare/trace.h"
#include "cgishare/update_log.h"
#include "cgishare/validation.h"
#include "logs/log_file.h"
#include "pattern/pattern_files_internal.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/named_object.h"
#include "platform/paths.h"

#define GUID_LOG_TRACE(level, ...) DebugTraceA(level, __FILE__, __LINE__, __VA_ARGS__)

namespace {

namespace sys = nvl::sys;

constexpr char kChkGuidMutex[] = "Norvel ChkGUID Mutex";
constexpr char kStopEvent[] = "Halden_Norvel_Server_Stop_Event";
constexpr char kChkGuidLogName[] = "Log/chkGUID.log";
constexpr char kStartFileName[] = "download/KRMSDrop.txt";
constexpr char kEndFileName[] = "download/DropDone.txt";
constexpr size_t kGuidPathBuffer = 256;
constexpr size_t kHomePathBuffer = 260;
constexpr int kDefaultClientPort = 12345;

// Owns the wait on a mutex: releases it when the scope ends, however it ends.
class MutexOwnership {
  public:
    explicit MutexOwnership(sys::HandleValue mutex) : mutex_(mutex) {}
    ~MutexOwnership() { sys::releaseMutex(mutex_); }
    MutexOwnership(const MutexOwnership&) = delete;
    MutexOwnership& operator=(const MutexOwnership&) = delete;

  private:
    sys::HandleValue mutex_;
};

// A text as one field of a record: a line break inside it would end the record early.
void appendField(std::string* record, const char* text) {
    if (text == nullptr)
        return;
    for (const char* p = text; *p != '\0'; ++p)
        record->push_back(*p == '\r' || *p == '\n' ? ' ' : *p);
}

int clientPort(unsigned long port) {
    if (port != 0)
        return static_cast<int>(static_cast<uint32_t>(port));
    char section[] = "INI_CLIENT_SECTION";
    char key[] = "Client_LocalServer_Port";
    return getINIint(section, key, kDefaultClientPort, nullptr);
}

// The log's path under `baseDirectory`; false when there is no base or the path does not fit
// the original's path buffer.
bool guidLogPath(const char* baseDirectory, std::string* path) {
    if (baseDirectory == nullptr || baseDirectory[0] == '\0')
        return false;
    *path = baseDirectory;
    if (path->back() != '/')
        *path += '/';
    *path += kChkGuidLogName;
    return path->size() < kGuidPathBuffer;
}

// Appends one record; the caller holds the mutex.
void writeRecord(const char* baseDirectory, const char* text1, const char* text2,
                 unsigned long port) {
    std::string path;
    bool pathOk = guidLogPath(baseDirectory, &path);
    int number = clientPort(port);
    sys::UniqueFd fd;
    if (pathOk)
        fd = nvl::logs::openServerFile(path, O_WRONLY | O_CREAT | O_APPEND);
    if (!fd) {
        GUID_LOG_TRACE(5, "[WriteChkGUIDLog] Could not open file <%s>", path.c_str());
        return;
    }
    std::string record;
    appendField(&record, text1);
    record += ',';
    appendField(&record, text2);
    char tail[32];
    std::snprintf(tail, sizeof tail, ",%d,\r\n", number);
    record += tail;

    const char* shown1 = text1 != nullptr ? text1 : "";
    const char* shown2 = text2 != nullptr ? text2 : "";
    if (nvl::logs::appendRecord(fd.get(), record) != static_cast<ssize_t>(record.size())) {
        GUID_LOG_TRACE(5, "[WriteChkGUIDLog] Could not write record <%s,%s,>", shown1, shown2);
        return;
    }
    fd.reset();
    GUID_LOG_TRACE(5, "[WriteChkGUIDLog] Could write record <%s,%s,>", shown1, shown2);
}

// Existence and last-write time of a hand-off file, in 100-nanosecond units as the original
// compared them.
struct HandOffFile {
    std::string path;
    bool exists = false;
    int64_t writeTime = 0;
};

HandOffFile probe(const std::string& home, const char* name) {
    HandOffFile file;
    if (home.empty())
        return file;
    std::string path = home + name;
    if (path.size() >= kHomePathBuffer)
        return file;
    file.path = sys::resolvePath(path);
    struct stat st {};
    if (::stat(file.path.c_str(), &st) == 0) {
        file.exists = true;
        file.writeTime = static_cast<int64_t>(st.st_mtim.tv_sec) * 10000000 +
                         static_cast<int64_t>(st.st_mtim.tv_nsec) / 100;
    }
    return file;
}

std::string homeDirectory() {
    char home[kHomePathBuffer];
    return getHomeDir(home, sizeof home) != 0 ? std::string(home) : std::string();
}

// Deletes a leftover end file; a failure leaves it for the next check.
void deleteLeftover(const HandOffFile& file) {
    if (sys::fileOps().unlink(file.path.c_str()) != 0)
        GUID_LOG_TRACE(6, "[checkKRMSAgentWorking] Fail to delete file <%s>", file.path.c_str());
}

}  // namespace

void WriteChkGUIDLog(char* baseDirectory, char* text1, char* text2, unsigned long port) {
    GUID_LOG_TRACE(6, "Enter WriteChkGUIDLog( )");
    sys::Handle mutex = sys::createMutex(kChkGuidMutex, false);
    if (!mutex) {
        GUID_LOG_TRACE(5, "[WriteChkGUIDLog] Failed to create chkGUID Mutex");
        return;
    }
    GUID_LOG_TRACE(5, "[WriteChkGUIDLog] Wait for ChkGUID Mutex");
    uint32_t wait = sys::waitForSingleObject(mutex.get(), sys::kInfinite);
    // An abandoned mutex is owned like any other: its last holder wrote whole records or none.
    if (wait != sys::kWaitObject0 && wait != sys::kWaitAbandoned0) {
        GUID_LOG_TRACE(5, "[WriteChkGUIDLog] Failed to wait for chkGUID Mutex (%u)",
                       static_cast<unsigned>(sys::lastError()));
        return;
    }
    GUID_LOG_TRACE(5, "[WriteChkGUIDLog] Go ChkGUID Mutex");
    {
        MutexOwnership owned(mutex.get());
        writeRecord(baseDirectory, text1, text2, port);
    }
    mutex.reset();
    GUID_LOG_TRACE(6, "Exit WriteChkGUIDLog( )");
}

void checkKRMSAgentWorking(int& started, int& finished) {
    started = 0;
    finished = 0;
    std::string home = homeDirectory();
    HandOffFile start = probe(home, kStartFileName);
    HandOffFile end = probe(home, kEndFileName);
    if (!start.exists) {
        if (end.exists) {
            deleteLeftover(end);
            GUID_LOG_TRACE(6, "KRMS push EndFile only, or StartFile killed");
        }
        return;
    }
    started = 1;
    if (!end.exists)
        return;
    if (end.writeTime >= start.writeTime) {
        finished = 1;
        return;
    }
    deleteLeftover(end);
    GUID_LOG_TRACE(6, "KRMS push EndTime > StartTime");
}

void deleteKRMSAgentCheckFile() {
    std::string home = homeDirectory();
    for (const char* name : {kStartFileName, kEndFileName}) {
        std::string path = home + name;
        std::string resolved = home.empty() ? path : sys::resolvePath(path);
        if (home.empty() || sys::fileOps().unlink(resolved.c_str()) != 0)
            GUID_LOG_TRACE(6, "[deleteKRMSAgentCheckFile] Fail to delete file <%s>",
                           resolved.c_str());
    }
}

void writeServerUpdateLogFromKRMS() {
    char stamp[15] = {};
    getCurrentTime(stamp, 1);
    // The pattern the hand-off left: the current virus pattern, reached by the name found and
    // not by one rebuilt from its number. Without a readable one there is nothing to record; a
    // record with a made-up version would be worse than none.
    nvl::pattern::VirusPatternChoice choice;
    uint32_t version = 0;
    if (!nvl::pattern::chooseVirusPatterns(nullptr, &choice) ||
        !nvl::pattern::readInternalVersion(choice.currentPath, &version)) {
        GUID_LOG_TRACE(5, "[writeServerUpdateLogFromKRMS] no readable virus pattern: no record");
        return;
    }
    char message[32];
    std::snprintf(message, sizeof message, "%u.%03u.%02u", static_cast<unsigned>(version / 100000),
                  static_cast<unsigned>(version / 100 % 1000),
                  static_cast<unsigned>(version % 100));
    char kind[] = "4";
    writeUpdateLog(stamp, kind, 1, 1, message, nullptr);
}

bool isAliveMasterService() {
    GUID_LOG_TRACE(6, "[isAliveMasterService] Enter");
    sys::Handle event = sys::openEvent(kStopEvent);
    if (!event) {
        GUID_LOG_TRACE(6, "[isAliveMasterService] Master service was stopped.");
        return false;
    }
    GUID_LOG_TRACE(6, "[isAliveMasterService] Master service was still alive.");
    event.reset();
    GUID_LOG_TRACE(6, "[isAliveMasterService] Exit");
    return true;
}
