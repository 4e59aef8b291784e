// Texts from requests and from nvlscan.ini through the date and validation functions: a time
// stamp for converDateString, a field for the validators, a file name for
// GetDownloadFileCreateDate. Any bytes, any length.
//
// Besides memory safety (every output is a heap block of exactly its documented size, so
// AddressSanitizer sees a write past it) it checks what the functions promise: only 14 digits
// make a date, a digit-only text passes every validator that digits pass, and no name with a
// separator, "." or ".." finds a file.
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "cgishare/validation.h"

namespace {

std::string g_root;

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    return ::remove(path);
}

void removeServerHome() {
    ::nftw(g_root.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// A server home with a Download directory holding one file, and a registry naming the home, in
// a new directory below the current one (removed at exit). A file of the same name beside the
// home and in the root of the tree, where a name that climbs out of Download would find it.
void makeServerHome() {
    if (!g_root.empty())
        return;
    char dir[] = "stamp_fuzz_home.XXXXXX";
    char* cwd = ::getcwd(nullptr, 0);
    if (cwd == nullptr || ::mkdtemp(dir) == nullptr)
        std::abort();
    g_root = std::string(cwd) + "/" + dir;
    std::free(cwd);
    std::atexit(removeServerHome);
    const std::string& root = g_root;
    for (const char* sub : {"/home", "/home/Download", "/etc"}) {
        if (::mkdir((root + sub).c_str(), 0700) != 0)
            std::abort();
    }
    for (const char* file : {"/home/Download/a.zip", "/home/a.zip", "/a.zip"})
        std::ofstream(root + file) << "x";
    std::ofstream(root + "/etc/registry.reg")
        << "Windows Registry Editor Version 5.00\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\HaldenLabs\\Norvel\\service\\Information]\r\n"
           "\"Local_Path\"=\""
        << root << "/home/\"\r\n";
    ::setenv("NVL_REGISTRY", (root + "/etc/registry.reg").c_str(), 1);
    ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
}

bool isFourteenDigits(const std::string& text) {
    return text.size() == 14 && text.find_first_not_of("0123456789") == std::string::npos;
}

bool leavesDownload(const std::string& name) {
    return name.empty() || name == "." || name == ".." ||
           name.find_first_of("/\\") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    makeServerHome();
    std::string input(reinterpret_cast<const char*>(data), size);
    std::string text = input.substr(0, input.find('\0'));  // what a C caller can pass

    std::vector<char> display(256);
    std::vector<char> stamp(text.begin(), text.end());
    stamp.push_back('\0');
    converDateString(stamp.data(), display.data(), 0);
    if (std::memchr(display.data(), '\0', display.size()) == nullptr)
        std::abort();
    if (display[0] != '\0' && !isFourteenDigits(text))
        std::abort();

    bool number = isNumber(stamp.data());
    bool phone = isPhoneNumber(stamp.data());
    bool ascii = isASCII(stamp.data());
    bool extension = isExtention(stamp.data(), false, false);
    bool loose = isExtention(stamp.data(), true, true);
    if ((number && !(phone && ascii && extension)) || (phone && !ascii) || (extension && !loose))
        std::abort();

    std::fill(display.begin(), display.end(), '#');
    GetDownloadFileCreateDate(stamp.data(), display.data());
    if (std::memchr(display.data(), '\0', display.size()) == nullptr)
        std::abort();
    if (display[0] != '\0' && leavesDownload(text))
        std::abort();
    return 0;
}
