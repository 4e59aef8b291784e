// Checks of the executables the server ships and of the system cleaner it keeps in Admin, for
// the console's Components page. The cleaner library makes the same checks before it accepts
// the cleaner (QXC.EXE); these calls let a page show what each check finds.
//
// Every call is self-contained: it opens what it examines and closes it again, and writes no
// trace. A file is judged as one open file, so a file renamed over the path meanwhile is never
// judged half by its old and half by its new contents.
#pragma once

#include <cgishare/export.h>

#ifdef __cplusplus
extern "C" {
#endif

// 1 when the file carries a valid signature of the cleaner's signing key appended behind its
// content, 0 when it has none or an invalid one, -1 when the file cannot be opened or read.
CGISHARE_API int VerifyAppendedSignature(const char* path);

// 0 when the file carries exactly one embedded publisher signature that the trust services
// accept and whose signer is the server's maker; 0x80000014 when not; 0x80000001 when the trust
// services (or their roots) are not available; 0x8000000c for a null path.
CGISHARE_API unsigned long VerifyPublisherSignature(const char* path);

// Why a publisher check did not pass.
enum ExecutablePublisherResult {
    EXEC_PUBLISHER_PASSED = 0,
    EXEC_PUBLISHER_NULL_PATH = 1,
    EXEC_PUBLISHER_LIBRARY_MISSING = 2,         // the trust services cannot be loaded
    EXEC_PUBLISHER_ENTRY_MISSING = 3,           // they lack an entry point
    EXEC_PUBLISHER_ROOTS_UNAVAILABLE = 4,       // the configured trust roots cannot be read
    EXEC_PUBLISHER_CANNOT_OPEN = 5,             // the file cannot be opened
    EXEC_PUBLISHER_NOT_TRUSTED = 6,             // no signature, or one they refuse (trustResult)
    EXEC_PUBLISHER_CERTIFICATE_COUNT = 7,       // not exactly one certificate entry
    EXEC_PUBLISHER_CERTIFICATE_UNREADABLE = 8,  // the entry cannot be read
    EXEC_PUBLISHER_SIGNATURE_INVALID = 9,       // the signed message does not verify
    EXEC_PUBLISHER_WRONG_SIGNER = 10,           // signed, but by another signer
};

// What the checks find in one executable.
typedef struct ExecutableCheck {
    char version[32];         // file version "major.minor"; empty without a version resource
    char specialBuild[260];   // the first translation's SpecialBuild text (ANSI code page)
    int appendedSignature;    // as VerifyAppendedSignature
    unsigned long publisher;  // as VerifyPublisherSignature
    int publisherResult;      // an ExecutablePublisherResult
    long trustResult;         // the trust services' verdict (0: accepted or not asked)
    char signer[260];         // the signer's display name when the signature was read
} ExecutableCheck;

// Examines the executable at `path` as one open file. Returns 1 with `*check` filled, or 0 when
// the file cannot be opened as a regular file (appendedSignature is then -1 and publisherResult
// EXEC_PUBLISHER_CANNOT_OPEN).
CGISHARE_API int checkExecutable(const char* path, ExecutableCheck* check);

// Whether the cleaner library accepts the cleaner `executableName` ("QXC.EXE" when null) in
// `directory`: the status with which it opens (0 accepted), after which it is closed again.
CGISHARE_API unsigned long checkCleanerExecutable(const char* directory,
                                                  const char* executableName);

// The version numbers of the cleaner pattern and of the spyware-cleanup pattern "hladce.ptn" in
// the server's Admin directory: 1 and the version, or 0 with a version of 0.
CGISHARE_API int getQXCPattern(unsigned long* version);
CGISHARE_API int getKPWSpyPattern(unsigned long* version);

// The cleaner's pattern file in `directory` as the cleaner library would find it (the settings
// file QXC.INI there names its directory and name), or the file `patternName` in that pattern
// directory when not null, read without judging the cleaner executable: its path into `path`
// (cut to `pathSize`) and its version. Returns 0 with `*version` set, or the cleaner library's
// status (0x80000008 no such file, 0x80000001 no pattern header, ...) with `*version` 0.
CGISHARE_API unsigned long getCleanerPatternFile(const char* directory, const char* patternName,
                                                 char* path, unsigned long pathSize,
                                                 unsigned long* version);

// The trust roots the publisher check uses: the file named by NVL_TRUST_ROOTS, else
// "/etc/norvel/trust-roots.pem", into `path` (cut to `size`). Returns the number of certificates
// the file holds, or -1 when it cannot be read.
CGISHARE_API int getTrustRootsFile(char* path, unsigned long size);

#ifdef __cplusplus
}
#endif
