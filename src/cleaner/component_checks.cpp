// The checks of the Components page (cgishare/executable_checks.h): the cleaner library's own
// checks, made one by one on one open file so that a page can show what each finds.
#include <cgishare/executable_checks.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "cleaner/cleaner.h"
#include "cleaner/executable_checks.h"
#include "platform/file.h"
#include "platform/file_times.h"
#include "signature/appended_signature.h"
#include "signature/publisher_signature.h"
#include "wintrust.h"

namespace {

using nvl::signature::PublisherFailure;

static_assert(static_cast<int>(PublisherFailure::kNone) == EXEC_PUBLISHER_PASSED);
static_assert(static_cast<int>(PublisherFailure::kNullPath) == EXEC_PUBLISHER_NULL_PATH);
static_assert(static_cast<int>(PublisherFailure::kLibraryMissing) ==
              EXEC_PUBLISHER_LIBRARY_MISSING);
static_assert(static_cast<int>(PublisherFailure::kEntryMissing) == EXEC_PUBLISHER_ENTRY_MISSING);
static_assert(static_cast<int>(PublisherFailure::kRootsUnavailable) ==
              EXEC_PUBLISHER_ROOTS_UNAVAILABLE);
static_assert(static_cast<int>(PublisherFailure::kCannotOpen) == EXEC_PUBLISHER_CANNOT_OPEN);
static_assert(static_cast<int>(PublisherFailure::kNotTrusted) == EXEC_PUBLISHER_NOT_TRUSTED);
static_assert(static_cast<int>(PublisherFailure::kCertificateCount) ==
              EXEC_PUBLISHER_CERTIFICATE_COUNT);
static_assert(static_cast<int>(PublisherFailure::kCertificateUnreadable) ==
              EXEC_PUBLISHER_CERTIFICATE_UNREADABLE);
static_assert(static_cast<int>(PublisherFailure::kSignatureInvalid) ==
              EXEC_PUBLISHER_SIGNATURE_INVALID);
static_assert(static_cast<int>(PublisherFailure::kWrongSigner) == EXEC_PUBLISHER_WRONG_SIGNER);

// A trust-roots file is a few certificates; anything larger is not read.
constexpr size_t kRootsFileLimit = 4u << 20;

void copyText(char* out, size_t size, std::string_view text) {
    if (out == nullptr || size == 0)
        return;
    size_t length = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(out, text.data(), length);
    out[length] = '\0';
}

}  // namespace

extern "C" {

CGISHARE_API int VerifyAppendedSignature(const char* path) {
    return nvl::signature::VerifyAppendedSignature(path);
}

CGISHARE_API unsigned long VerifyPublisherSignature(const char* path) {
    return nvl::signature::VerifyPublisherSignature(path);
}

CGISHARE_API int checkExecutable(const char* path, ExecutableCheck* check) {
    if (check == nullptr)
        return 0;
    *check = ExecutableCheck{};
    check->appendedSignature = -1;
    check->publisher = nvl::signature::kPublisherNullPath;
    check->publisherResult = EXEC_PUBLISHER_NULL_PATH;
    if (path == nullptr)
        return 0;

    std::string file = nvl::sys::serverFilePath(path);
    nvl::sys::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        check->publisher = nvl::signature::kPublisherNotPassed;
        check->publisherResult = EXEC_PUBLISHER_CANNOT_OPEN;
        return 0;
    }

    check->appendedSignature = nvl::signature::verifyAppendedSignatureFd(fd.get());
    nvl::signature::PublisherVerdict verdict;
    check->publisher = nvl::signature::verifyPublisherSignatureFd(fd.get(), path, &verdict);
    check->publisherResult = static_cast<int>(verdict.failure);
    check->trustResult = verdict.trustResult;
    if (verdict.signerKnown)
        copyText(check->signer, sizeof check->signer, verdict.signer);

    nvl::cleaner::CleanerSettings settings;
    nvl::cleaner::readExecutableVersion(fd.get(), &settings);
    copyText(check->version, sizeof check->version, settings.executableVersion);
    copyText(check->specialBuild, sizeof check->specialBuild, settings.specialBuild);
    ::explicit_bzero(&settings, sizeof settings);
    return 1;
}

CGISHARE_API unsigned long checkCleanerExecutable(const char* directory,
                                                  const char* executableName) {
    uint32_t status = nvl::cleaner::CleanerLibInit(directory, executableName);
    if (status == nvl::cleaner::kCleanerOk)
        nvl::cleaner::CleanerLibQuit();
    return status;
}

CGISHARE_API int getQXCPattern(unsigned long* version) {
    return nvl::cleaner::getQXCPattern(version);
}

CGISHARE_API int getKPWSpyPattern(unsigned long* version) {
    return nvl::cleaner::getKPWSpyPattern(version);
}

CGISHARE_API unsigned long getCleanerPatternFile(const char* directory, const char* patternName,
                                                 char* path, unsigned long pathSize,
                                                 unsigned long* version) {
    std::string file;
    uint16_t number = 0;
    uint32_t status = nvl::cleaner::readPatternFileOf(directory, patternName, &file, &number);
    copyText(path, pathSize, file);
    if (version != nullptr)
        *version = status == nvl::cleaner::kCleanerOk ? number : 0;
    return status;
}

CGISHARE_API int getTrustRootsFile(char* path, unsigned long size) {
    const char* configured = std::getenv(NVL_TRUST_ROOTS_VARIABLE);
    std::string file =
        configured != nullptr && *configured != '\0' ? configured : NVL_TRUST_ROOTS_DEFAULT;
    copyText(path, size, file);
    std::string contents;
    if (nvl::sys::readWholeFile(file, &contents, kRootsFileLimit) != 0)
        return -1;
    int count = 0;
    constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
    for (size_t at = contents.find(kBegin); at != std::string::npos;
         at = contents.find(kBegin, at + kBegin.size()))
        ++count;
    return count;
}

}  // extern "C"
