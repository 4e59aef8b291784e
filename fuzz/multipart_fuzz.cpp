// The multipart reader on any body, read from a memory file as from standard input, with a
// private server home whose TEMP directory receives the uploads (each removed again).
#include <cgishare/form_vars.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "cgi/form_vars_internal.h"
#include "platform/file.h"

namespace {

std::string g_root;

void removeRoot() {
    std::error_code ignored;
    std::filesystem::remove_all(g_root, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char root[] = "/tmp/cgishare-fuzz.XXXXXX";
    if (::mkdtemp(root) == nullptr)
        std::abort();
    g_root = root;
    std::atexit(removeRoot);
    std::string home = g_root + "/home/";
    nvl::sys::makeDirectories(home + "TEMP");
    std::string registry = std::string(root) + "/registry.reg";
    std::string text =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\HaldenLabs\\Norvel\\service\\Information]\r\n"
        "\"Local_Path\"=\"" +
        home + "\"\r\n";
    nvl::sys::replaceFileAtomically(registry, text);
    // Uploads of at most 1 MiB keep the runs fast.
    nvl::sys::replaceFileAtomically(home + "nvlscan.ini",
                                    "[INI_SERVER_SECTION]\r\nMaxUploadSize=1\r\n");
    ::setenv("NVL_REGISTRY", registry.c_str(), 1);
    ::setenv("NVL_RUNTIME_DIR", root, 1);
    ::setenv("REQUEST_METHOD", "POST", 1);
    ::setenv("CONTENT_TYPE", "multipart/form-data; boundary=XyZ", 1);
    nvl::cgi::setIdleTimeoutForTesting(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    // The first byte makes CONTENT_LENGTH claim more or less than arrives.
    long claimed = static_cast<long>(size - 1) + static_cast<int8_t>(data[0]);
    ::setenv("CONTENT_LENGTH", std::to_string(claimed).c_str(), 1);
    nvl::sys::UniqueFd fd(::memfd_create("body", MFD_CLOEXEC));
    if (nvl::sys::writeAll(
            fd.get(), std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1)) != 0)
        std::abort();
    ::lseek(fd.get(), 0, SEEK_SET);

    char** vars = nvl::cgi::ParseMultiPartData(fd.get());
    if (vars != nullptr) {
        char** p = vars;
        while (p[0] != nullptr && p[2] != nullptr)
            p += 2;
        // The last pair names the file; it holds no more than the body.
        if (std::strcmp(p[0], "TempFileName") != 0 || std::strtoul(p[-1], nullptr, 10) > size - 1)
            std::abort();
        cgiFreeVars(vars, nullptr);
        nvl::cgi::removeStoredUploads();  // what the end of a page does
    }
    return 0;
}
