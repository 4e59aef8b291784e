// hlu.so: the zip utility. AddFileToZip adds one file to a zip with libzip.
//
// libzip writes the new archive to a temporary file beside the zip and renames it over the
// zip when it is complete (zip_close), so a crash never leaves a partial zip under its name; the
// file added is read while the archive is written, a buffer at a time, so memory does not grow
// with its size. An existing zip that libzip cannot read as a sound archive is refused rather
// than replaced.
#pragma GCC visibility push(default)
#include "hlu.h"
#pragma GCC visibility pop

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cstring>
#include <string>

namespace {

constexpr zip_uint32_t kDeflateLevel = 6;

int fromZipError(int code) {
    return code == ZIP_ER_MEMORY ? HLU_E_MEMORY : HLU_E_ARCHIVE;
}

}  // namespace

extern "C" int AddFileToZip(char* zipPath, char* filePath) {
    if (zipPath == nullptr || filePath == nullptr || *zipPath == 0 || *filePath == 0)
        return HLU_E_ARGUMENT;
    struct stat st {};
    if (::stat(filePath, &st) != 0 || !S_ISREG(st.st_mode))
        return HLU_E_SOURCE;
    std::string path(filePath);
    size_t slash = path.rfind('/');
    std::string entry = slash == std::string::npos ? path : path.substr(slash + 1);
    if (entry.empty())
        return HLU_E_ARGUMENT;

    int error = 0;
    zip_t* archive = zip_open(zipPath, ZIP_CREATE | ZIP_CHECKCONS, &error);
    if (archive == nullptr)
        return fromZipError(error);
    zip_source_t* source = zip_source_file(archive, filePath, 0, -1);
    if (source == nullptr) {
        zip_discard(archive);
        return HLU_E_SOURCE;
    }
    zip_int64_t index =
        zip_file_add(archive, entry.c_str(), source, ZIP_FL_OVERWRITE | ZIP_FL_ENC_GUESS);
    if (index < 0) {
        zip_source_free(source);
        zip_discard(archive);
        return HLU_E_ADD;
    }
    if (zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE,
                                 kDeflateLevel) != 0) {
        zip_discard(archive);
        return HLU_E_ADD;
    }
    if (zip_close(archive) != 0) {
        zip_error_t* why = zip_get_error(archive);
        int code =
            why != nullptr && zip_error_code_zip(why) == ZIP_ER_MEMORY ? HLU_E_MEMORY : HLU_E_WRITE;
        zip_discard(archive);
        return code;
    }
    return HLU_OK;
}
