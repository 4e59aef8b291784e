// The console's resource strings, its language, and the server's platform and address.
//
// The resource library is bound by name ("CGIRes.dll", found as CGIRes.so beside the page
// program or on the library path; see platform/library.h), so the console's language is
// chosen by which copy is installed. Its state is plain process-wide data: pages call
// loadResource once at start and freeResource at the end, never concurrently.
//
// Decisions of this port:
//   - The host's address is the first IPv4 address the system's resolver gives for the host
//     name (platform/host.h), as the first entry of the host table was.
//   - The web port comes from "../../nvlscan.ini" relative to the current directory, read
//     through the profile functions and not through getINIString: a page runs two levels
//     below the home directory.
//   - getResourceLanguage answers "": the text is reserved and nothing ever fills it.
//   - A null platform name is no platform family (0) rather than a crash.
#include <cgishare/resource.h>

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/resource_testing.h"
#include "platform/codepage.h"
#include "platform/host.h"
#include "platform/library.h"
#include "platform/profile.h"

namespace {

using ResourceStringEntry = const char* (*)(int id);

constexpr const char kResourceLibrary[] = "CGIRes.dll";
constexpr const char kResourceEntry[] = "_getResourceString";
constexpr size_t kResourceLanguageSize = 260;
constexpr size_t kProfileValueSize = 256;
constexpr size_t kWideAddressBufferSize = 60;
constexpr const char kServerIni[] = "../../nvlscan.ini";

struct ResourceState {
    std::string libraryName = kResourceLibrary;
    nvl::sys::Library library;
    ResourceStringEntry entry = nullptr;
    char language[kResourceLanguageSize] = {};
};

ResourceState& resourceState() {
    static ResourceState state;
    return state;
}

unsigned long languagePart(int id, unsigned long whenEmpty) {
    const char* text = getResourceString(id);
    if (text == nullptr || *text == '\0')
        return whenEmpty;
    return static_cast<unsigned long>(std::strtol(text, nullptr, 0));
}

// The web port the server is reached on from this request: the SSL port when the request
// came in over HTTPS, else the plain one.
int serverPort() {
    const char* https = std::getenv("HTTPS");
    bool secure = https != nullptr && ::strcasecmp(https, "on") == 0;
    char port[kProfileValueSize] = {};
    nvl::sys::getPrivateProfileString("INI_SERVER_SECTION",
                                      secure ? "Master_SSLPort" : "Master_DomainPort",
                                      secure ? "443" : "80", port, sizeof port, kServerIni);
    return std::atoi(port);
}

}  // namespace

namespace nvl::config {

void setResourceLibraryForTesting(const char* libraryName) {
    resourceState().libraryName = libraryName != nullptr ? libraryName : kResourceLibrary;
}

}  // namespace nvl::config

bool loadResource() {
    ResourceState& state = resourceState();
    if (state.library)
        return false;
    state.library = nvl::sys::Library::load(state.libraryName);
    if (!state.library)
        return false;
    // The handle stays held without its entry, so a second call still reports false.
    state.entry = state.library.function<ResourceStringEntry>(kResourceEntry);
    return state.entry != nullptr;
}

void freeResource() {
    ResourceState& state = resourceState();
    if (!state.library)
        return;
    state.library.reset();
    state.entry = nullptr;
}

const char* getResourceString(int id) {
    ResourceStringEntry entry = resourceState().entry;
    return entry != nullptr ? entry(id) : "";
}

const char* getResourceLanguage() {
    return resourceState().language;
}

unsigned long getLANGID() {
    unsigned long primary = languagePart(101, 0);
    unsigned long sub = languagePart(102, 1);
    return ((sub & 0xFFFF) << 10) | (primary & 0xFFFF);
}

int getPlatformType(char* platformName) {
    if (platformName == nullptr)
        return 0;
    if (std::strstr(platformName, " NT") != nullptr)
        return 1;
    if (std::strstr(platformName, " 95") != nullptr || std::strstr(platformName, " 98") != nullptr)
        return 2;
    return 0;
}

int getIPAddr(char* address) {
    std::string host;
    std::string dotted;
    if (!nvl::sys::hostName(&host) || !nvl::sys::firstIPv4Address(host, &dotted))
        return 0;
    int port = serverPort();
    if (port == 80) {
        std::sprintf(address, "%s", dotted.c_str());
    } else {
        std::sprintf(address, "%s:%d", dotted.c_str(), port);
    }
    return 1;
}

int getIPAddrW(char16_t* address) {
    char narrow[kWideAddressBufferSize] = {};
    int result = getIPAddr(narrow);
    std::u16string wide = nvl::sys::ansiToWide(narrow);
    std::memcpy(address, wide.c_str(), (wide.size() + 1) * sizeof(char16_t));
    return result;
}
