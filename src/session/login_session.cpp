#include "session/login_session.h"

#include <cgishare/config.h>
#include <cgishare/dump_page.h>
#include <cgishare/login_session.h>
#include <cgishare/trace.h>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/file.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/random.h"
#include "trace/trace_sources.h"

namespace nvl::session {

namespace {

constexpr int kTraceLevel = 4;
constexpr size_t kHomeDirSize = 260;
constexpr char kKeyPrefix[] = ".key_";

#define SESSION_TRACE(...) DebugTraceA(kTraceLevel, nvl::trace::kShareSource, __LINE__, __VA_ARGS__)

std::string tempDirectory() {
    char home[kHomeDirSize] = {};
    getHomeDir(home, sizeof home);
    return sys::resolvePath(std::string(home) + "TEMP");
}

std::string keyFilePath(const std::string& dir, const char* session) {
    return dir + "/" + kKeyPrefix + session;
}

int64_t expireLimitMs() {
    char section[] = "INI_SERVER_SECTION";
    char key[] = "Cookie_Expire_Period";
    return static_cast<int64_t>(getINIint(section, key, kDefaultExpirePeriod, nullptr)) * 60000;
}

bool expired(uint32_t since, int64_t limitMs) {
    uint32_t elapsed = sys::tickCount() - since;  // unsigned: the counter's wrap is harmless
    return static_cast<int64_t>(elapsed) > limitMs;
}

// The stamp cookie read as a decimal number modulo 2^32; empty or non-numeric text is 0.
uint32_t parseStamp(const char* text) {
    while (*text == ' ' || *text == '\t')
        ++text;
    uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text)
        value = value * 10u + static_cast<uint32_t>(*text - '0');
    return value;
}

void storeTick(unsigned char* record, uint32_t tick) {
    for (int i = 0; i < 4; ++i)
        record[kKeyFieldSize + i] = static_cast<unsigned char>(tick >> (8 * i));
}

uint32_t loadTick(const unsigned char* record) {
    uint32_t tick = 0;
    for (int i = 3; i >= 0; --i)
        tick = (tick << 8) | record[kKeyFieldSize + i];
    return tick;
}

// Reads the whole record; false when the file holds fewer than kKeyRecordSize bytes.
bool readRecord(int fd, unsigned char* record) {
    size_t done = 0;
    while (done < kKeyRecordSize) {
        ssize_t n = ::pread(fd, record + done, kKeyRecordSize - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Compares two key texts without a data-dependent early exit. Keys longer than the key
// field never match.
bool keysEqual(const char* serverKey, const char* browserKey) {
    size_t serverLength = strnlen(serverKey, kKeyFieldSize);
    size_t browserLength = strnlen(browserKey, kKeyFieldSize);
    if (serverLength >= kKeyFieldSize || browserLength >= kKeyFieldSize)
        return false;
    unsigned char difference = serverLength == browserLength ? 0 : 1;
    for (size_t i = 0; i < kKeyFieldSize - 1; ++i) {
        unsigned char a = i < serverLength ? static_cast<unsigned char>(serverKey[i]) : 0;
        unsigned char b = i < browserLength ? static_cast<unsigned char>(browserKey[i]) : 0;
        difference |= static_cast<unsigned char>(a ^ b);
    }
    return difference == 0;
}

void drawKey(char* key) {
    for (int i = 0; i < kKeyDigits; ++i)
        key[i] = static_cast<char>('0' + sys::randomBelow(10));
    key[kKeyDigits] = '\0';
}

// Writes the record under a private name and links it to a free key-file name, drawing
// session numbers until one is free. Returns the session number, or -1.
long createKeyFile(const std::string& dir, const unsigned char* record, std::string* path) {
    static std::atomic<unsigned> counter{0};
    std::string temp = dir + "/.tmpkey_" + std::to_string(sys::currentProcessId()) + "_" +
                       std::to_string(counter.fetch_add(1)) + "_" +
                       std::to_string(sys::randomBelow(1u << 30));
    sys::UniqueFd fd(
        ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd)
        return -1;
    bool written = sys::writeAll(fd.get(), std::string_view(reinterpret_cast<const char*>(record),
                                                            kKeyRecordSize)) == 0;
    fd.reset();
    long session = -1;
    for (int attempt = 0; written && attempt < kMaxSessionDraws; ++attempt) {
        long candidate = static_cast<long>(sys::randomBelow(kSessionLimit));
        *path = keyFilePath(dir, std::to_string(candidate).c_str());
        SESSION_TRACE("[cgiShare:ShowSetCookeHeader] Prepare to CreateFile \"%s\"", path->c_str());
        if (::link(temp.c_str(), path->c_str()) == 0) {
            session = candidate;
            break;
        }
        if (errno != EEXIST)
            break;  // the name is another session's: draw again
    }
    ::unlink(temp.c_str());
    return session;
}

}  // namespace

bool isIssuedSessionValue(const char* session) {
    size_t length = strnlen(session, 6);
    if (length == 0 || length > 5)
        return false;
    if (length > 1 && session[0] == '0')
        return false;
    uint32_t value = 0;
    for (size_t i = 0; i < length; ++i) {
        if (session[i] < '0' || session[i] > '9')
            return false;
        value = value * 10 + static_cast<uint32_t>(session[i] - '0');
    }
    return value < kSessionLimit;
}

namespace {
// The session number as traces may show it: a value the library never issues is not copied
// into the log.
const char* sessionForTrace(const char* session) {
    return isIssuedSessionValue(session) ? session : "(none)";
}
}  // namespace

void ParseCookieValue(char* cookieHeader, CookieValues* values) {
    SESSION_TRACE("[cgiShare:ParseCookieValue] ==> ParseCookieValue");
    values->key[0] = values->stamp[0] = values->session[0] = '\0';
    char* save = nullptr;
    for (char* item = strtok_r(cookieHeader, ";", &save); item != nullptr;
         item = strtok_r(nullptr, ";", &save)) {
        char buffer[kCookieItemMax + 1];
        std::strncpy(buffer, item, kCookieItemMax);
        buffer[kCookieItemMax] = '\0';

        char* itemSave = nullptr;
        char* name = strtok_r(buffer, "= ", &itemSave);
        if (name == nullptr)
            continue;
        SESSION_TRACE("[cgiShare:ParseCookieValue] name:%s", name);
        char* field = nullptr;
        if (std::strcmp(name, "stamp") == 0) {
            field = values->stamp;
        } else if (std::strcmp(name, "key") == 0) {
            field = values->key;
        } else if (std::strcmp(name, "session") == 0) {
            field = values->session;
        } else {
            continue;
        }
        char* value = strtok_r(nullptr, "\r\n", &itemSave);
        if (value == nullptr)
            continue;
        if (field == values->key) {
            SESSION_TRACE("[cgiShare:ParseCookieValue] value:(hidden, %d characters)",
                          static_cast<int>(std::strlen(value)));
        } else {
            SESSION_TRACE("[cgiShare:ParseCookieValue] value:%s", value);
        }
        std::strncpy(field, value, kCookieFieldSize - 1);
        field[kCookieFieldSize - 1] = '\0';
    }
    SESSION_TRACE("[cgiShare:ParseCookieValue] <== ParseCookieValue");
}

int RetriveKey(const CookieValues* values, char* serverKeyOut, int size, uint32_t* lastUse) {
    if (!isIssuedSessionValue(values->session))
        return 0;
    std::string path = keyFilePath(tempDirectory(), values->session);
    SESSION_TRACE("[cgiShare:RetriveKey] Prepare to open File \"%s\"", path.c_str());
    sys::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) {
        SESSION_TRACE("[cgiShare:RetriveKey] open File \"%s\" FAILED!!", path.c_str());
        return 0;
    }
    unsigned char record[kKeyRecordSize];
    if (!readRecord(fd.get(), record))
        return 0;
    record[kKeyFieldSize - 1] = '\0';
    if (size > 0) {
        std::strncpy(serverKeyOut, reinterpret_cast<const char*>(record),
                     static_cast<size_t>(size) - 1);
        serverKeyOut[size - 1] = '\0';
    }
    if (lastUse != nullptr)
        *lastUse = loadTick(record);
    return 1;
}

bool renewKeyFile(const CookieValues* values) {
    if (!isIssuedSessionValue(values->session))
        return false;
    std::string path = keyFilePath(tempDirectory(), values->session);
    sys::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd)
        return false;
    // Only the tick field changes, so a concurrent reader always sees the same key.
    unsigned char record[kKeyRecordSize] = {};
    storeTick(record, sys::tickCount());
    return ::pwrite(fd.get(), record + kKeyFieldSize, 4, kKeyFieldSize) == 4;
}

void RemoveExpireKey() {
    SESSION_TRACE("[cgiShare:RemoveExpireKey] ==> RemoveExpireKey");
    int64_t limit = expireLimitMs();
    std::string dir = tempDirectory();
    bool found = false;
    if (DIR* listing = ::opendir(dir.c_str())) {
        while (dirent* entry = ::readdir(listing)) {
            if (std::strncmp(entry->d_name, kKeyPrefix, sizeof kKeyPrefix - 1) != 0)
                continue;
            found = true;
            SESSION_TRACE("[cgiShare:RemoveExpireKey] Open %s", entry->d_name);
            std::string path = dir + "/" + entry->d_name;
            unsigned char record[kKeyRecordSize];
            bool complete;
            {
                sys::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
                if (!fd)
                    continue;
                complete = readRecord(fd.get(), record);
            }
            SESSION_TRACE("[cgiShare:RemoveExpireKey] stamp:%s", "");
            // Key files are linked into place complete, so a short one can never admit
            // anybody: it goes as well.
            if (!complete || expired(loadTick(record), limit)) {
                SESSION_TRACE("[cgiShare:RemoveExpireKey] file %s is expire. removed.",
                              path.c_str());
                ::unlink(path.c_str());
            }
        }
        ::closedir(listing);
    }
    if (!found)
        SESSION_TRACE("[cgiShare:RemoveExpireKey] Can not find any file.");
    SESSION_TRACE("[cgiShare:RemoveExpireKey] <== RemoveExpireKey");
}

void ShowTimeoutPage(OutputStreamConverter& out) {
    CDumpPage page;
    char name[] = "timeout.htm";
    if (page.LoadPage(name)) {
        page.DumpPage(out);
    } else {
        out << "Load Page "
            << "timeout.htm"
            << " failed!!" << endl;
    }
}

}  // namespace nvl::session

using namespace nvl::session;

void ShowSetCookeHeader(OutputStreamConverter& out) {
    RemoveExpireKey();
    char key[kKeyFieldSize];
    drawKey(key);
    std::string dir = tempDirectory();
    nvl::sys::makeDirectories(dir);
    uint32_t ticks = nvl::sys::tickCount();

    unsigned char record[kKeyRecordSize] = {};
    std::memcpy(record, key, std::strlen(key) + 1);
    storeTick(record, ticks);
    std::string path;
    long session = createKeyFile(dir, record, &path);
    std::string sessionText;
    if (session < 0) {
        SESSION_TRACE("[cgiShare:ShowSetCookeHeader] CreateFile \"%s\" FAILED!", path.c_str());
        // The cookies are written all the same; the next page shows the time-out page.
        sessionText = std::to_string(nvl::sys::randomBelow(kSessionLimit));
    } else {
        sessionText = std::to_string(session);
    }

    char tickText[16];
    std::snprintf(tickText, sizeof tickText, "%u", ticks);
    out << "Set-Cookie: session=" << sessionText.c_str() << ";path=/norvel\r\n";
    out << "Set-Cookie: key=" << key << ";path=/norvel\r\n";
    out << "Set-Cookie: stamp=" << tickText << ";path=/norvel\r\n";
    out << "Set-Cookie: serror=0\r\n";
}

void ShowResetCookeHeader(OutputStreamConverter& out) {
    // Logging off also ends the session on the server, so the old cookies cannot be replayed.
    // Only a browser that holds the session's key can remove its file.
    RemoveExpireKey();
    if (const char* cookie = std::getenv("HTTP_COOKIE")) {
        char header[kCookieFieldSize];
        std::strncpy(header, cookie, sizeof header - 1);
        header[sizeof header - 1] = '\0';
        static CookieValues values;
        ParseCookieValue(header, &values);
        char serverKey[kCookieFieldSize] = {};
        if (RetriveKey(&values, serverKey, sizeof serverKey) == 1 &&
            keysEqual(serverKey, values.key)) {
            ::unlink(keyFilePath(tempDirectory(), values.session).c_str());
        }
    }
    out << "Set-Cookie: session="
        << ";path=/norvel\r\n";
    out << "Set-Cookie: key="
        << ";path=/norvel\r\n";
    out << "Set-Cookie: stamp="
        << ";path=/norvel\r\n";
}

bool VerifyLoginCookie(OutputStreamConverter& out) {
    RemoveExpireKey();
    const char* cookie = std::getenv("HTTP_COOKIE");
    if (cookie == nullptr) {
        SESSION_TRACE("[cgiShare:VerifyLoginCookie] get HTTP_COOKIE failed!");
        ShowTimeoutPage(out);
        return false;
    }
    SESSION_TRACE("[cgiShare:VerifyLoginCookie] get HTTP_COOKIE success!");
    char header[kCookieFieldSize];
    std::strncpy(header, cookie, sizeof header - 1);
    header[sizeof header - 1] = '\0';
    SESSION_TRACE("[cgiShare:VerifyLoginCookie] cookie: (hidden, %d characters)",
                  static_cast<int>(std::strlen(header)));
    static CookieValues values;  // 6 KiB: kept off the stack of the page
    ParseCookieValue(header, &values);

    char serverKey[kCookieFieldSize] = {};
    uint32_t lastUse = 0;
    bool retrieved = RetriveKey(&values, serverKey, sizeof serverKey, &lastUse) == 1;
    if (!retrieved)
        out << " " << endl;
    if (!retrieved || !keysEqual(serverKey, values.key)) {
        SESSION_TRACE(
            "[cgiShare:VerifyLoginCookie] session %s: user key (%d characters) does "
            "not match the server key",
            sessionForTrace(values.session), static_cast<int>(std::strlen(values.key)));
        ShowTimeoutPage(out);
        return false;
    }
    int64_t limit = expireLimitMs();
    if (expired(parseStamp(values.stamp), limit) || expired(lastUse, limit)) {
        SESSION_TRACE("[cgiShare:VerifyLoginCookie] session %s expired",
                      sessionForTrace(values.session));
        ShowTimeoutPage(out);
        return false;
    }
    renewKeyFile(&values);
    char tickText[16];
    std::snprintf(tickText, sizeof tickText, "%u", nvl::sys::tickCount());
    out << "<SCRIPT language=\"JavaScript\">" << endl;
    out << "window.onload = function ()" << endl;
    out << "{" << endl;
    out << "document.cookie=\"stamp=" << tickText << ";path=/norvel\";" << endl;
    out << "document.cookie=\"retry=0;path=/norvel\";" << endl;
    out << "}" << endl;
    out << "</SCRIPT>" << endl;
    return true;
}

bool CookieExist() {
    RemoveExpireKey();
    const char* cookie = std::getenv("HTTP_COOKIE");
    if (cookie == nullptr)
        return false;
    char header[kCookieFieldSize];
    std::strncpy(header, cookie, sizeof header - 1);
    header[sizeof header - 1] = '\0';
    static CookieValues values;
    ParseCookieValue(header, &values);
    if (values.key[0] == '\0' && values.stamp[0] == '\0' && values.session[0] == '\0')
        return false;
    char serverKey[kCookieFieldSize] = {};
    uint32_t lastUse = 0;
    if (RetriveKey(&values, serverKey, sizeof serverKey, &lastUse) != 1)
        return true;
    if (!keysEqual(serverKey, values.key)) {
        SESSION_TRACE(
            "[cgiShare:CookieExist] session %s: user key (%d characters) does not "
            "match the server key",
            sessionForTrace(values.session), static_cast<int>(std::strlen(values.key)));
        return true;
    }
    int64_t limit = expireLimitMs();
    return expired(parseStamp(values.stamp), limit) || expired(lastUse, limit);
}
