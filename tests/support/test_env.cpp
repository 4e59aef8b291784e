#include "support/test_env.h"

#include <ftw.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/file.h"
#include "platform/paths.h"
#include "platform/registry.h"

namespace nvl::test {

namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    return ::remove(path);
}

void saveEnv(const char* name, std::string* saved, bool* had) {
    const char* value = std::getenv(name);
    *had = value != nullptr;
    if (value != nullptr)
        *saved = value;
}

void restoreEnv(const char* name, const std::string& saved, bool had) {
    if (had) {
        ::setenv(name, saved.c_str(), 1);
    } else {
        ::unsetenv(name);
    }
}

}  // namespace

TestEnv::TestEnv() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/cgishare-test.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    home_ = root_ + "/home/";
    registry_ = root_ + "/etc/registry.reg";
    runtime_ = root_ + "/run";
    sys::makeDirectories(root_ + "/home");
    sys::makeDirectories(root_ + "/etc");
    sys::makeDirectories(runtime_);

    std::string escapedHome;
    for (char c : home_) {
        if (c == '\\' || c == '"')
            escapedHome += '\\';
        escapedHome += c;
    }
    writeFile("etc/registry.reg",
              "Windows Registry Editor Version 5.00\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\HaldenLabs\\Norvel\\service\\Information]\r\n"
              "\"Local_Path\"=\"" +
                  escapedHome + "\"\r\n");

    saveEnv("NVL_REGISTRY", &savedRegistry_, &hadRegistry_);
    saveEnv("NVL_RUNTIME_DIR", &savedRuntime_, &hadRuntime_);
    ::setenv("NVL_REGISTRY", registry_.c_str(), 1);
    ::setenv("NVL_RUNTIME_DIR", runtime_.c_str(), 1);
    sys::forgetRegistryCache();  // a registry of an earlier world may have had this path
}

TestEnv::~TestEnv() {
    restoreEnv("NVL_REGISTRY", savedRegistry_, hadRegistry_);
    restoreEnv("NVL_RUNTIME_DIR", savedRuntime_, hadRuntime_);
    if (std::getenv("CGISHARE_KEEP_TEST_FILES") == nullptr) {
        ::nftw(root_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
}

std::string TestEnv::writeFile(std::string_view relativePath, std::string_view text) const {
    std::string path = root_ + "/" + std::string(relativePath);
    sys::makeDirectories(path.substr(0, path.rfind('/')));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out)
        throw std::runtime_error("cannot write " + path);
    // An edit by hand: this process sees it at its next look-up.
    if (path == sys::registryPath())
        sys::forgetRegistryCache();
    return path;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace nvl::test
