// What the fuzz targets share: settings the library reads once per process, taken from a
// registry of the target's own.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace nvl::fuzz {

// Writes a registry file holding `sections` (what follows the editor's first line), points
// NVL_REGISTRY at it, runs `readOnce` (which makes the library read and keep what it needs:
// the code page, the locales), then removes the file and its change counter.
template <class ReadOnce>
void withRegistry(const char* sections, ReadOnce readOnce) {
    char path[] = "/tmp/cgishare-fuzz-XXXXXX";
    int fd = ::mkstemp(path);
    if (fd < 0)
        return;
    std::string text = std::string("Windows Registry Editor Version 5.00\r\n\r\n") + sections;
    bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    if (written) {
        ::setenv("NVL_REGISTRY", path, 1);
        readOnce();
    }
    ::unlink(path);
    ::unlink((std::string(path) + ".gen").c_str());
}

}  // namespace nvl::fuzz
