// The hot-fix package rebuild: a new pattern, cleaner or spyware file dropped into the server
// home is packed into its component's download package and announced in the update manifest
// download/server.ini, with its version recorded in nvlscan.ini and private/component.ini.
//
// How a rebuild stays safe while agents download and other rebuilds run:
//   - one rebuild at a time on the server: a named mutex ("NvlHotfixRebuild") is held from the
//     source search to the records; a holder that dies lets it go, and the next rebuild sees
//     what the first one published;
//   - the package is replaced by rename: the new zip is copied beside the package, flushed,
//     given the old package's mode (0644 for a new one) and renamed over it, so an agent reads
//     the old package or the new one, never a part; the manifest is written after the package;
//   - a temporary zip left by an interrupted run is published only when it holds exactly the
//     current source (one entry, its name, size and CRC-32); anything else is deleted and the
//     source packed anew;
//   - a source that another process still has open is waited for (a write lease stands in for
//     the original's open without sharing), and after the retries it is packed only if its size
//     and modification time did not change from the first attempt to the end of packing.
// The zip utility hlu.so is bound by name once per process; without it nothing is packed.
#include <cgishare/component_info.h>
#include <cgishare/config.h>
#include <cgishare/executable_checks.h>
#include <cgishare/hotfix.h>
#include <cgishare/pattern_files.h>
#include <cgishare/spyware.h>
#include <cgishare/trace.h>
#include <cgishare/validation.h>
#include <cgishare/virus_types.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "config/home_ini.h"
#include "pattern/hotfix_internal.h"
#include "platform/byte_text.h"
#include "platform/dir_search.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/file_version.h"
#include "platform/library.h"
#include "platform/named_object.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "platform/test_stop.h"
#include "trace/trace_sources.h"

namespace nvl::hotfix {

// --- Manifest values and versions ---------------------------------------------------------

std::vector<std::string_view> manifestFields(std::string_view value) {
    std::vector<std::string_view> fields;
    size_t i = 0;
    while (i < value.size()) {
        while (i < value.size() && (value[i] == ',' || value[i] == ' '))
            ++i;
        size_t start = i;
        while (i < value.size() && value[i] != ',' && value[i] != ' ')
            ++i;
        if (i > start)
            fields.push_back(value.substr(start, i - start));
    }
    return fields;
}

uint32_t manifestNumber(std::string_view text) {
    uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            break;
        n = n * 10 + static_cast<uint64_t>(c - '0');
        if (n > 0xFFFFFFFFu)
            return 0xFFFFFFFFu;
    }
    return static_cast<uint32_t>(n);
}

void scaleMinorVersion(uint32_t* minor) {
    if (*minor < 10)
        *minor *= 1000;
    else if (*minor < 100)
        *minor *= 100;
    else if (*minor < 1000)
        *minor *= 10;
}

bool isEngineVersionDifferent(uint32_t major, uint32_t minor, uint32_t revision,
                              std::string_view text) {
    uint32_t fields[3] = {0, 0, 0};
    for (int i = 0; i < 3 && !text.empty(); ++i) {
        size_t dot = text.find('.');
        fields[i] = manifestNumber(text.substr(0, dot));
        text = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
    }
    scaleMinorVersion(&minor);
    scaleMinorVersion(&fields[1]);
    return major != fields[0] || minor != fields[1] || revision != fields[2];
}

uint32_t packedEngineNumber(uint32_t major, uint32_t minor) {
    if (minor >= 1000)
        return 0;
    const char* pad = minor < 10 ? "000" : minor < 100 ? "00" : "0";
    std::string text = std::to_string(major) + std::to_string(minor) + pad;
    uint64_t n = 0;
    for (char c : text)
        n = (n << 4 | static_cast<uint64_t>(c - '0')) & 0xFFFFFFFFu;
    return static_cast<uint32_t>(n);
}

}  // namespace nvl::hotfix

namespace {

using nvl::trace::kShareSource;

#define HOTFIX_TRACE(level, ...) DebugTraceA(level, kShareSource, __LINE__, __VA_ARGS__)

constexpr char kRebuildMutex[] = "NvlHotfixRebuild";
constexpr char kTarskMutex[] = "Halden_TARSK_Load_Mutex";
constexpr char kPidKey[] =
    "SOFTWARE\\HaldenLabs\\VeridexNTCorp\\CurrentVersion\\Real Time Scan Configuration\\";
constexpr char kCleanSpywareEvent[] = "_AFX_CMNSRC_CLEANSPYWAREINFO_H__453877AA_E0F7_GENLIST";

// What each component kind is built from and recorded as.
struct Kind {
    int kind;
    const char* source;                  // a pattern of the home directory, or a file below it
    bool newest;                         // a pattern: the file with the highest internal version
    int component;                       // section of private/component.ini
    const char* section;                 // of server.ini
    const char* key;                     // of server.ini
    const char* valueFormat;             // version text, package size
    const char* packageDir;              // below the home
    const char* package;                 // in packageDir
    const char* versionKey;              // nvlscan.ini, INI_PROGRAM_VERSION_SECTION (or null)
    const char* timeKey;                 // the same section
    std::vector<const char*> mergeKeys;  // server.ini PATTERN, set to "0"
    const char* compareTrace;            // what the comparison trace calls the source
};

const std::vector<Kind>& kinds() {
    static const std::vector<Kind> table = {
        {0,
         "sig$vpf.*",
         true,
         6101,
         "PATTERN",
         "P.4",
         "Pattern/MARLIN.zip,%s,%d",
         "download/Pattern",
         "marlin.zip",
         nullptr,
         "Pattern_Last_Update",
         {"MergeCount", "P.4.MergeCount"},
         "Pattern in VDXSRV"},
        {1,
         "hlaptn.*",
         true,
         6109,
         "PATTERN",
         "P.400",
         "pattern/hlaptn.zip, %s, %d",
         "download/Pattern",
         "hlaptn.zip",
         "SpyWarePtn_Version",
         "SpyWarePtn_Last_Update",
         {"P.400.MergeCountEx"},
         "Spyware in VDXSRV"},
        {2,
         "Admin/QXC.exe",
         false,
         6108,
         "ENGINE",
         "E.1000000",
         "MARLIN32_QXC, engine/QXC.zip, %s, %d, 1.0",
         "download/Engine",
         "QXC.zip",
         "QXCEng_Version",
         "QXCEng_Last_Update",
         {},
         nullptr},
        {3,
         "Admin/QXC.ptn",
         false,
         6107,
         "PATTERN",
         "P.800",
         "Pattern/QXCPtn.zip, %s, %d",
         "download/Pattern",
         "QXCPtn.zip",
         "QXCPtn_Version",
         "QXCPtn_Last_Update",
         {"P.800.MergeCountEx", "P.800.MergeCountIU"},
         "QXC Ptn in Admin"},
        {4,
         "Admin/HLADCE.ptn",
         false,
         6033,
         "PATTERN",
         "P.1000000",
         "Pattern/Hladce.zip, %s, %d",
         "download/Pattern",
         "Hladce.zip",
         "KPW_Spy_Ptn_Version",
         "KPW_Spy_Ptn_Last_Update",
         {"P.1000000.MergeCountEx"},
         "KPW Spyware Ptn in Admin"},
        {6,
         "hlwhite.*",
         true,
         6051,
         "PATTERN",
         "P.20000020",
         "Pattern/hlwhite.zip, %s, %d",
         "download/Pattern",
         "hlwhite.zip",
         "Trap_WhiteList_Version",
         "Trap_WhiteList_Last_Update",
         {"P.20000020.MergeCountEx", "P.20000020.MergeCountIU"},
         "Hexlok white list Admin"},
        {7,
         "hlblack.*",
         true,
         6052,
         "PATTERN",
         "P.20000040",
         "Pattern/hlblack.zip, %s, %d",
         "download/Pattern",
         "hlblack.zip",
         "Trap_BlackList_Version",
         "Trap_BlackList_Last_Update",
         {"P.20000040.MergeCountEx", "P.20000040.MergeCountIU"},
         "Hexlok black list Admin"},
        {8,
         "tarskptn.da5",
         false,
         6064,
         "PATTERN",
         "P.20001000",
         "Pattern/tarskptn.zip, %s, %d",
         "download/Pattern",
         "tarskptn.zip",
         "TARSK_Pattern_Version",
         "TARSK_Pattern_Last_Update",
         {"P.20001000.MergeCountEx", "P.20001000.MergeCountIU"},
         "TARSK Pattern Admin"},
        {9,
         "tkaptn.*",
         true,
         6065,
         "PATTERN",
         "P.20000400",
         "Pattern/tkaptn.zip, %s, %d",
         "download/Pattern",
         "tkaptn.zip",
         "TARSK_MARLIN_Spy_Pattern_Version",
         "TARSK_MARLIN_Spy_Pattern_Last_Update",
         {"P.20000400.MergeCountEx", "P.20000400.MergeCountIU"},
         "HLA TKA Pattern Admin"},
    };
    return table;
}

const Kind* findKind(int kind) {
    for (const Kind& k : kinds())
        if (k.kind == kind)
            return &k;
    return nullptr;
}

std::string lastThree(const std::string& name) {
    return name.size() >= 3 ? name.substr(name.size() - 3) : name;
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char buffer[2048];
    va_list args;
    va_start(args, fmt);
    int n = std::vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    return std::string(buffer, static_cast<size_t>(std::clamp(n, 0, 2047)));
}

// A manifest value: `form` with its "%s" replaced by the version text and its "%d" by the
// package size.
std::string manifestValue(std::string form, const std::string& text, int size) {
    size_t at = form.find("%s");
    if (at != std::string::npos)
        form.replace(at, 2, text);
    at = form.find("%d");
    if (at != std::string::npos)
        form.replace(at, 2, std::to_string(size));
    return form;
}

// The internal version of <home><stem>.<ext> for `kind`; 0 when it cannot be read.
uint32_t internalVersion(const std::string& home, const std::string& ext, int kind) {
    char out[32] = "";
    std::string e = ext, h = home;
    getInternal_ptn(e.data(), out, h.data(), kind);
    return nvl::hotfix::manifestNumber(out);
}

// The source of the kind: its path and name, or "" when there is none.
bool findSource(const std::string& home, const Kind& k, std::string* path, std::string* name) {
    if (!k.newest) {
        std::string p = nvl::sys::resolvePath(home + k.source);
        struct stat st {};
        if (::stat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            return false;
        *path = p;
        *name = p.substr(p.rfind('/') + 1);
        return true;
    }
    std::vector<nvl::sys::FoundFile> files;
    nvl::sys::findFiles(home + k.source, &files);
    if (files.empty())
        return false;
    size_t best = 0;
    uint32_t bestVersion = internalVersion(home, lastThree(files[0].name), k.kind);
    for (size_t i = 1; i < files.size(); ++i) {
        uint32_t v = internalVersion(home, lastThree(files[i].name), k.kind);
        if (v > bestVersion) {
            best = i;
            bestVersion = v;
        }
    }
    *name = files[best].name;
    *path = home + files[best].name;
    return true;
}

// The executable's file version; all 0 when its version resource cannot be read.
void getExeFileVersion(const std::string& path, uint32_t v[4]) {
    v[0] = v[1] = v[2] = v[3] = 0;
    uint32_t handle = 0;
    uint32_t size = nvl::sys::getFileVersionInfoSizeA(path.c_str(), &handle);
    if (size == 0)
        return;
    std::vector<unsigned char> block(size);
    void* fixed = nullptr;
    uint32_t length = 0;
    if (!nvl::sys::getFileVersionInfoA(path.c_str(), handle, size, block.data()) ||
        !nvl::sys::verQueryValueA(block.data(), "\\", &fixed, &length) || length < 52)
        return;
    uint32_t ms, ls;
    std::memcpy(&ms, static_cast<unsigned char*>(fixed) + 8, 4);
    std::memcpy(&ls, static_cast<unsigned char*>(fixed) + 12, 4);
    v[0] = ms >> 16;
    v[1] = ms & 0xFFFF;
    v[2] = ls >> 16;
    v[3] = ls & 0xFFFF;
}

void setServicePidValue(const char* which) {
    nvl::sys::RegistryKey key;
    if (nvl::sys::RegistryKey::create(nvl::sys::RegHive::LocalMachine, std::string(kPidKey) + which,
                                      &key) == nvl::sys::kSuccess)
        key.setDword("nvlservice", nvl::sys::currentProcessId());
}

// The spyware pattern's number (its version text without the first '.'), or 0.
uint32_t spywarePatternNumber(const std::string& home) {
    nvl::sys::Handle mutex = nvl::sys::openMutex(kTarskMutex);
    if (!mutex)
        return 0;
    uint32_t wait = nvl::sys::waitForSingleObject(mutex.get(), nvl::sys::kInfinite);
    // A holder that died leaves the mutex abandoned: it is ours then, as any other wait.
    if (wait != nvl::sys::kWaitObject0 && wait != nvl::sys::kWaitAbandoned0)
        return 0;
    uint32_t number = 0;
    setServicePidValue("Add PIDs");
    std::u16string engine = nvl::sys::bytesToWide(home + "Engine");
    std::u16string patterns = nvl::sys::bytesToWide(home);
    CTARSKfFacadeBase* facade = GetTarskFacade();
    if (facade->RunInitTARSK(engine.c_str(), patterns.c_str(), 0) == 1) {
        TarskVersionInfo info;
        if (facade->RunQueryVersion(&info) == 1) {
            std::string text;
            for (const char16_t* p = info.patternVersion; *p != 0 && text.size() < 20; ++p)
                text.push_back(*p < 0x80 ? static_cast<char>(*p) : '?');
            size_t dot = text.find('.');
            if (dot != std::string::npos)
                text.erase(dot, 1);
            number = nvl::hotfix::manifestNumber(text);
        }
        facade->RunDeInitTARSK();
    }
    setServicePidValue("Delete PIDs");
    nvl::sys::releaseMutex(mutex.get());
    return number;
}

// The version the manifest announces for the kind; kind 2's as text.
uint32_t getServerIniVersion(const std::string& home, const Kind& k, std::string* text) {
    std::string manifest = nvl::sys::resolvePath(home + "download/server.ini");
    struct stat st {};
    if (::stat(manifest.c_str(), &st) != 0) {
        HOTFIX_TRACE(4, "Hotfix>not found %s.", manifest.c_str());
        return 0xFFFFFFFFu;
    }
    char value[2049] = "";
    nvl::sys::getPrivateProfileString(k.section, k.key, "", value, sizeof value, manifest.c_str());
    std::vector<std::string_view> fields = nvl::hotfix::manifestFields(value);
    uint32_t version = 0;
    if (k.kind == 2)
        *text = fields.size() > 2 ? std::string(fields[2]) : std::string();
    else
        version = fields.size() > 1 ? nvl::hotfix::manifestNumber(fields[1]) : 0;
    HOTFIX_TRACE(5, "Hotfix>pattern version in server.ini = %u, (from Server.ini)", version);
    return version;
}

// The zip utility, bound once per process.
using AddFileToZipFunction = int (*)(char*, char*);
AddFileToZipFunction addFileToZip() {
    static AddFileToZipFunction bound = [] {
        nvl::sys::Library library = nvl::sys::Library::load("hlu.dll");
        AddFileToZipFunction f =
            library ? library.function<AddFileToZipFunction>("AddFileToZip") : nullptr;
        if (f != nullptr)
            library.release();
        return f;
    }();
    return bound;
}

struct FileState {
    bool ok = false;
    off_t size = 0;
    timespec mtime{};
    bool operator==(const FileState& o) const {
        return ok && o.ok && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

FileState stateOf(const std::string& path) {
    FileState s;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        s.ok = true;
        s.size = st.st_size;
        s.mtime = st.st_mtim;
    }
    return s;
}

// Waits while another process has the source open. True when nobody else had it open at the
// end; false when it was still in use after the retries, or when nobody can tell.
bool waitForSource(const std::string& source) {
    char section[] = "INI_SERVER_SECTION", timeKey[] = "Pattern_Pending_Time",
         retryKey[] = "Pattern_Pending_ReTry";
    long wait = getINIint(section, timeKey, 5000, nullptr);
    int retry = getINIint(section, retryKey, 3, nullptr);
    HOTFIX_TRACE(6, "Hotfix> Try to access (%s) WaitTime<%ld> Retry<%d>", source.c_str(), wait,
                 retry);
    for (int attempt = 0;;) {
        uint32_t error = nvl::sys::probeFileNotInUse(source);
        if (error == nvl::sys::kSuccess || error == nvl::sys::kErrNotSupported) {
            HOTFIX_TRACE(6, "Hotfix> Can access. (%s) retry<%d/%d>", source.c_str(), attempt,
                         retry);
            return error == nvl::sys::kSuccess;
        }
        ++attempt;
        if (attempt > retry) {
            HOTFIX_TRACE(6, "Hotfix> Access Error. Retry count is over max. <%d/%d>", attempt,
                         retry);
            return false;
        }
        HOTFIX_TRACE(6,
                     "Hotfix> Access Error. This file haven't touch yet. (%s) err<%d> retry<%d/%d>",
                     source.c_str(), static_cast<int>(error), attempt, retry);
        HOTFIX_TRACE(6, "Hotfix> Access Error. going to sleep.");
        std::this_thread::sleep_for(std::chrono::milliseconds(std::max(wait, 0L)));
        HOTFIX_TRACE(6, "Hotfix> Access Error. wake up and continue.");
    }
}

// Whether the temporary zip holds exactly the current source.
bool leftoverHoldsSource(const std::string& zip, const std::string& source,
                         const std::string& name) {
    // The zip is mapped, not read: the check looks at its end records, its directory and its
    // local header only, so a leftover costs a few pages of memory whatever its size. Only
    // rebuilds write it, under the rebuild lock, so it cannot shrink under the mapping.
    nvl::sys::UniqueFd zipFd(::open(zip.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!zipFd || ::fstat(zipFd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 22)
        return false;
    size_t zipSize = static_cast<size_t>(st.st_size);
    void* mapped = ::mmap(nullptr, zipSize, PROT_READ, MAP_PRIVATE, zipFd.get(), 0);
    if (mapped == MAP_FAILED)
        return false;
    struct Unmap {
        void* address;
        size_t size;
        ~Unmap() { ::munmap(address, size); }
    } unmap{mapped, zipSize};
    std::string_view bytes(static_cast<const char*>(mapped), zipSize);
    nvl::sys::UniqueFd fd(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return false;
    nvl::hotfix::ZipExpectation expected;
    expected.name = name;
    std::vector<char> buffer(1 << 20);
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
        if (n < 0)
            return false;
        if (n == 0)
            break;
        expected.crc = nvl::hotfix::crc32(expected.crc, buffer.data(), static_cast<size_t>(n));
        expected.size += static_cast<uint64_t>(n);
    }
    return nvl::hotfix::zipHoldsExactly(bytes, expected);
}

// Copies the zip over the kind's package: beside it, flushed, with the package's mode, renamed.
// 1 when done, 0 when the copy failed, -1 when there is no zip.
int replacePatternZip(const std::string& home, const std::string& zip, const Kind& k) {
    struct stat st {};
    if (::stat(zip.c_str(), &st) != 0)
        return -1;
    std::string dir = nvl::sys::resolvePath(home + k.packageDir);
    nvl::sys::makeDirectories(dir, 0755);
    std::string package = nvl::sys::resolvePath(dir + "/" + k.package);
    mode_t mode = 0644;
    if (::stat(package.c_str(), &st) == 0)
        mode = st.st_mode & 07777;
    // Rebuilds run one at a time, so the copy has one name: a copy left by a rebuild that died
    // is overwritten and renamed by the next one, never left behind beside the package.
    std::string temp = dir + "/." + k.package + ".new";
    nvl::sys::UniqueFd in(::open(zip.c_str(), O_RDONLY | O_CLOEXEC));
    nvl::sys::UniqueFd out(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    bool ok = in && out;
    while (ok) {
        ssize_t n = ::copy_file_range(in.get(), nullptr, out.get(), nullptr, 1 << 30, 0);
        if (n == 0)
            break;
        ok = n > 0;
    }
    nvl::sys::testStopPoint("hotfix-package-copied");
    ok = ok && ::fchmod(out.get(), mode) == 0 && ::fsync(out.get()) == 0;
    out.reset();
    ok = ok && ::rename(temp.c_str(), package.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return 0;
    }
    nvl::sys::UniqueFd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d)
        ::fsync(d.get());
    return 1;
}

int64_t fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

// Writes the manifest and version records of the kind. Always 1 (failures are traced).
int modifyServerIni(const std::string& home, const std::string& manifest,
                    const std::string& versionText, const Kind& k) {
    std::string package = nvl::sys::resolvePath(home + k.packageDir + "/" + k.package);
    int size = static_cast<int>(fileSize(package));
    char stamp[32] = "";
    getCurrentTime(stamp, 1);
    std::vector<nvl::sys::ProfileWrite> manifestWrites, iniWrites;
    std::string text = versionText;
    if (k.kind == 0 || k.kind == 1) {
        text = std::to_string(internalVersion(home, versionText, k.kind));
    }
    if (k.kind == 0) {
        bool versionOk = nvl::sys::writePrivateProfileString("PATTERN", "Version",
                                                             versionText.c_str(), manifest.c_str());
        HOTFIX_TRACE(4, versionOk ? "Hotfix> Succeeded to modify version number in server.ini."
                                  : "Hotfix> Failed to modify version number in server.ini.");
        manifestWrites.push_back({"PATTERN", "MergeCount", "0"});
        manifestWrites.push_back({"PATTERN", "P.4.MergeCount", "0"});
        manifestWrites.push_back({"PATTERN", "Path_MARLIN", format("Pattern/MARLIN.zip,%d", size)});
        manifestWrites.push_back({"PATTERN", "P.4", manifestValue(k.valueFormat, text, size)});
        iniWrites.push_back({"INI_PROGRAM_VERSION_SECTION", k.timeKey, std::string(stamp)});
    } else {
        manifestWrites.push_back({k.section, k.key, manifestValue(k.valueFormat, text, size)});
        for (const char* merge : k.mergeKeys)
            manifestWrites.push_back({"PATTERN", merge, "0"});
        iniWrites.push_back({"INI_PROGRAM_VERSION_SECTION", k.versionKey, text});
        iniWrites.push_back({"INI_PROGRAM_VERSION_SECTION", k.timeKey, std::string(stamp)});
    }
    if (!nvl::sys::writePrivateProfileStrings(manifestWrites, manifest.c_str()))
        HOTFIX_TRACE(4, "Hotfix>The manifest %s could not be written (error %u).", manifest.c_str(),
                     nvl::sys::lastError());
    if (!nvl::config::writeINIStrings(iniWrites, nullptr))
        HOTFIX_TRACE(4, "Hotfix>nvlscan.ini could not be written (error %u).",
                     nvl::sys::lastError());
    if (k.kind == 0 || k.kind == 1)
        notifyPatternUpdate();
    if (k.kind == 4) {
        nvl::sys::Handle event = nvl::sys::openEvent(kCleanSpywareEvent);
        if (event)
            nvl::sys::setEvent(event.get());
    }
    return 1;
}

int supportUpdraft(const std::string& home, const std::string& zip, const std::string& versionText,
                   const Kind& k) {
    std::string manifest = nvl::sys::resolvePath(home + "download/server.ini");
    int result;
    struct stat st {};
    if (::stat(manifest.c_str(), &st) != 0) {
        HOTFIX_TRACE(4, "Hotfix>not found %s.", manifest.c_str());
        result = -1;
    } else {
        result = replacePatternZip(home, zip, k);
        if (result != 1)
            HOTFIX_TRACE(4, "Hotfix>can't copy temporary zip file to marlin.zip.");
        else
            result = modifyServerIni(home, manifest, versionText, k);
    }
    HOTFIX_TRACE(5, "Hotfix>changed updraft setting = %d", result);
    return result;
}

// What the rebuild learnt of the source's version.
struct Versions {
    uint32_t admin = 0;          // the number compared with the manifest
    std::string display;         // for the caller
    std::string componentValue;  // component.ini "Version"
    std::string versionText;     // handed to supportUpdraft
    uint32_t exe[4] = {0, 0, 0, 0};
    bool known = false;  // the display text may be written
};

Versions adminVersion(const std::string& home, const Kind& k, const std::string& source,
                      const std::string& name) {
    Versions v;
    switch (k.kind) {
        case 0:
        case 1:
        case 6:
        case 7:
        case 9: {
            uint32_t n = internalVersion(home, lastThree(name), k.kind);
            v.admin = n;
            if (k.kind <= 1)
                HOTFIX_TRACE(6, "Hotfix>pattern version = %s(%u)", std::to_string(n).c_str(), n);
            v.display = format("%d.%03d.%02d", static_cast<int>(n / 100000),
                               static_cast<int>(n / 100 % 1000), static_cast<int>(n % 100));
            v.componentValue = k.kind <= 1 ? format("%s %d %d", std::to_string(n).c_str(), 0, 0)
                                           : format("%d %d %d", static_cast<int>(n), 0, 0);
            v.versionText = k.kind <= 1 ? lastThree(name) : format("%d", static_cast<int>(n));
            v.known = true;
            break;
        }
        case 2: {
            getExeFileVersion(source, v.exe);
            uint32_t packed = nvl::hotfix::packedEngineNumber(v.exe[0], v.exe[1]);
            v.display = format("%d.%d.%d", static_cast<int>(v.exe[0]), static_cast<int>(v.exe[1]),
                               static_cast<int>(v.exe[3]));
            v.componentValue =
                format("%d %d 0", static_cast<int>(packed), static_cast<int>(v.exe[3]));
            v.versionText = v.display;
            v.known = true;
            break;
        }
        case 3:
        case 4: {
            unsigned long n = 0;
            if (k.kind == 3)
                getQXCPattern(&n);
            else
                getKPWSpyPattern(&n);
            v.admin = static_cast<uint32_t>(n);
            v.display = format("%u", v.admin);
            v.componentValue = format("%d %d %d", static_cast<int>(v.admin), 0, 0);
            v.versionText = format("%d", static_cast<int>(v.admin));
            v.known = true;
            break;
        }
        case 8: {
            v.admin = spywarePatternNumber(home);
            v.known = v.admin != 0;
            v.display = format("%d", static_cast<int>(v.admin));
            v.componentValue = format("%d %d %d", static_cast<int>(v.admin), 0, 0);
            v.versionText = format("%d", static_cast<int>(v.admin));
            break;
        }
        default:
            break;
    }
    return v;
}

bool sameVersion(const Kind& k, const Versions& v, uint32_t manifest,
                 const std::string& manifestText) {
    switch (k.kind) {
        case 0:
        case 1:
            HOTFIX_TRACE(6, "%s = %u, Server.ini = %u", k.compareTrace, v.admin, manifest);
            return v.admin == manifest;
        case 2:
            HOTFIX_TRACE(6, "QXC in Admin = %d.%d.%d, Server.ini = %s", static_cast<int>(v.exe[0]),
                         static_cast<int>(v.exe[1]), static_cast<int>(v.exe[3]),
                         manifestText.c_str());
            return !nvl::hotfix::isEngineVersionDifferent(v.exe[0], v.exe[1], v.exe[3],
                                                          manifestText);
        default:
            HOTFIX_TRACE(6, "%s = %d, Server.ini = %d", k.compareTrace, static_cast<int>(v.admin),
                         static_cast<int>(manifest));
            return v.admin == 0 || v.admin == manifest;
    }
}

void recordComponent(const std::string& home, const Kind& k, const Versions& v) {
    // The records go to private/component.ini, whose directory is made when missing.
    std::string dir = nvl::sys::resolvePath(home + "private");
    nvl::sys::makeDirectories(dir, 0755);
    std::string path = nvl::sys::resolvePath(dir + "/component.ini");
    std::string section = std::to_string(k.component);
    std::vector<nvl::sys::ProfileWrite> writes = {
        {section, "Version", v.componentValue},
        {section, "LastUpdate", std::to_string(static_cast<long long>(nvl::sys::currentTime()))}};
    if (!nvl::sys::writePrivateProfileStrings(writes, path.c_str()))
        HOTFIX_TRACE(4, "Hotfix>%s could not be written (error %u).", path.c_str(),
                     nvl::sys::lastError());
}

// Holds the rebuild lock for the life of the object.
class RebuildLock {
  public:
    RebuildLock() : mutex_(nvl::sys::createMutex(kRebuildMutex, false)) {
        uint32_t wait = mutex_ ? nvl::sys::waitForSingleObject(mutex_.get(), nvl::sys::kInfinite)
                               : nvl::sys::kWaitFailed;
        held_ = wait == nvl::sys::kWaitObject0 || wait == nvl::sys::kWaitAbandoned0;
        if (wait == nvl::sys::kWaitAbandoned0)
            HOTFIX_TRACE(4, "Hotfix>An earlier rebuild ended before its end; going on.");
    }
    ~RebuildLock() {
        if (held_)
            nvl::sys::releaseMutex(mutex_.get());
    }
    bool held() const { return held_; }

  private:
    nvl::sys::Handle mutex_;
    bool held_ = false;
};

int rebuild(const Kind& k, char* versionOut, int versionOutSize) {
    char homeBuffer[4096];
    if (getHomeDir(homeBuffer, sizeof homeBuffer) != 1)
        return 0;
    std::string home = homeBuffer;
    RebuildLock lock;
    if (!lock.held()) {
        HOTFIX_TRACE(2, "Hotfix>The rebuild lock cannot be taken (error %u).",
                     nvl::sys::lastError());
        return 0;
    }

    // 1. The source.
    std::string source, name;
    if (!findSource(home, k, &source, &name)) {
        HOTFIX_TRACE(6, "%s not found", (home + k.source).c_str());
        return 0;
    }
    // 2. Its version, and the caller's text.
    Versions v = adminVersion(home, k, source, name);
    if (v.known && versionOut != nullptr && versionOutSize >= 1)
        std::snprintf(versionOut, static_cast<size_t>(versionOutSize), "%s", v.display.c_str());
    // 3 and 4. The manifest's, and the comparison.
    std::string manifestText;
    uint32_t manifest = getServerIniVersion(home, k, &manifestText);
    if (sameVersion(k, v, manifest, manifestText)) {
        HOTFIX_TRACE(5, "Hotfix>The same version as current pattern.");
        return 0;
    }
    // 5. The temporary zip: one left by an interrupted run is used only when it holds exactly
    // this source.
    std::string zip = nvl::sys::resolvePath(home + "download") + "/PTN" + lastThree(name) + ".ZIP";
    bool packed = false;
    if (::access(zip.c_str(), F_OK) == 0) {
        HOTFIX_TRACE(6, "Hotfix>Temporary zip file already exists.");
        if (leftoverHoldsSource(zip, source, name)) {
            packed = true;
        } else {
            HOTFIX_TRACE(4, "Hotfix>The temporary zip %s does not hold %s; packing anew.",
                         zip.c_str(), name.c_str());
            ::unlink(zip.c_str());
        }
    }
    if (!packed) {
        // 6. Wait while another process still has the source open.
        HOTFIX_TRACE(6, "Hotfix>make temporary zip file as %s.", zip.c_str());
        FileState before = stateOf(source);
        bool free = waitForSource(source);
        // 7. Pack.
        AddFileToZipFunction add = addFileToZip();
        int added = -1;
        if (add == nullptr) {
            HOTFIX_TRACE(2, "Hotfix>The zip utility hlu.dll cannot be loaded.");
        } else {
            nvl::sys::makeDirectories(zip.substr(0, zip.rfind('/')), 0755);
            std::string z = zip, s = source;
            added = add(z.data(), s.data());
        }
        HOTFIX_TRACE(6, "Hotfix> AddFileToZip( ) return<%d>", added);
        nvl::sys::testStopPoint("hotfix-packed");
        // A source still in use (or one nobody could tell about) may have been packed half
        // written: it is published only when it did not change while it was packed.
        if (!free && !(stateOf(source) == before)) {
            HOTFIX_TRACE(2, "Hotfix>%s changed while it was packed; nothing is published.",
                         source.c_str());
            ::unlink(zip.c_str());
            return 0;
        }
        if (k.kind == 0 && added == 0)
            UD_QueryMajorVirusTypes(source.c_str());
    }
    // 8. Publish.
    int published = supportUpdraft(home, zip, v.versionText, k);
    HOTFIX_TRACE(6, "Hotfix> supportUpdraft( ) was called for server.ini. retUD = %d", published);
    ::unlink(zip.c_str());
    // 9. Record.
    if (published != 1) {
        HOTFIX_TRACE(2, "Hotfix>fail to replace new pattern zip.");
        return 0;
    }
    recordComponent(home, k, v);
    return 1;
}

}  // namespace

int rebuildPtnZip(int kind, char* versionOut, int versionOutSize) {
    const Kind* k = findKind(kind);
    return k != nullptr ? rebuild(*k, versionOut, versionOutSize) : 0;
}

unsigned long FilterUpdateFlagWithServiceModel(unsigned long flags, unsigned long model) {
    static constexpr struct {
        unsigned long modelBit, flagBits;
    } kMasks[] = {{0x1, 0x7E01},    {0x400, 0x40000}, {0x800, 0x80000},
                  {0x2, 0x2400018}, {0x200, 0x20000}, {0x10, 0x80},
                  {0x20, 0x100},    {0x80, 0x8000},   {0x100, 0x10000}};
    for (const auto& m : kMasks)
        if ((model & m.modelBit) == 0)
            flags &= ~m.flagBits;
    return flags;
}
