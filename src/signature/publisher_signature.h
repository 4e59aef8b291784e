// The publisher check: whether an executable carries one valid embedded (Authenticode)
// signature whose signer is "Halden Labs, Inc.", judged by the platform's trust services.
//
// The trust services are the outside library wintrust.so (standins/trust), loaded by name on
// every call and unloaded before return, so the shared library links no cryptography and a page
// that never checks a publisher never loads it. The original bound three libraries by name,
// "winTrust.dll", "imagehlp.dll" and "crypt32.dll"; here all three names map to the one file
// "wintrust.so" (a name map in this module: one file to ship, found like every other outside
// library, beside the program first, see platform/library.h). Each name is still loaded and
// released on its own, so the loader's count of users returns to where it was.
//
// A call, in order (the first failure is the answer):
//   1. a null path gives 0x8000000c; otherwise the result starts as 0x80000014 (not passed);
//   2. the three libraries and their seven entry points: any missing gives 0x80000001;
//   3. the file is judged by WinVerifyTrust (generic verify, no user interface, no revocation
//      checks) with the path in UTF-16 (converted from the ANSI code page) and the descriptor
//      of the one open file: the embedded signature, the image hash, the chain to the server's
//      configured roots, the use for code signing. The trust services' own code for "the roots
//      cannot be read" (NVL_TRUST_E_ROOTS_UNAVAILABLE) gives 0x80000001, as a missing platform
//      part does: no file can pass until the server is set up;
//   4. the image's certificate table holds exactly one entry (of any type); its header and its
//      data are read (an entry under 8 bytes or over kMaxPublisherCertificateBytes is refused
//      before anything is allocated for it);
//   5. CryptVerifyMessageSignature on the entry's certificate (behind its 8-byte header) gives
//      the signer;
//   6. the signer's simple display name (CertGetNameStringA, asked once for its size, once for
//      the text) must be "Halden Labs, Inc." byte for byte. The trust services give the name in
//      UTF-8; the name wanted is ASCII, so the comparison is the same in every code page. The
//      size reported must be the text's length plus its NUL: a name with an embedded NUL
//      ("Halden Labs, Inc.\0evil") never matches.
// Every step works on the one open file, by positional reads: the file judged in step 3 is the
// file whose certificate and signer are read in steps 4 to 6, even if its path is replaced in
// between. verifyPublisherSignatureFd lets a caller that holds the file (the cleaner library
// checks one open executable) have it judged; VerifyPublisherSignature opens the path itself.
//
// Results: 0 passed; 0x80000014 not passed; 0x80000001 trust services missing or not set up;
// 0x8000000c null path. Nothing here writes a trace; the verdict tells a console page what
// happened.
#pragma once

#include <cstdint>

namespace nvl::signature {

constexpr uint32_t kPublisherPassed = 0;
constexpr uint32_t kPublisherNotPassed = 0x80000014;
constexpr uint32_t kPublisherUnavailable = 0x80000001;
constexpr uint32_t kPublisherNullPath = 0x8000000c;

// The signer the check accepts.
constexpr char kPublisherName[] = "Halden Labs, Inc.";
// The largest certificate entry read: a real signature with its chain is a few KiB.
constexpr uint32_t kMaxPublisherCertificateBytes = 1024 * 1024;

// Why a check did not pass (kNone when it did).
enum class PublisherFailure : uint32_t {
    kNone = 0,
    kNullPath,               // 0x8000000c
    kLibraryMissing,         // a trust library cannot be loaded (0x80000001)
    kEntryMissing,           // a trust library lacks an entry point (0x80000001)
    kRootsUnavailable,       // the configured trust roots cannot be read (0x80000001)
    kCannotOpen,             // the file cannot be opened
    kNotTrusted,             // WinVerifyTrust refused the file; trustResult says why
    kCertificateCount,       // not exactly one certificate entry (certificateCount)
    kCertificateUnreadable,  // its header or data cannot be read, or its length is unusable
    kSignatureInvalid,       // the signed message does not verify
    kWrongSigner,            // the signer's name is not the publisher's (signer)
};

// What a check found, for the console page.
struct PublisherVerdict {
    uint32_t status = kPublisherNotPassed;  // the result of the call
    PublisherFailure failure = PublisherFailure::kNone;
    int32_t trustResult = 0;        // WinVerifyTrust's result (0 when passed or not reached)
    uint32_t certificateCount = 0;  // entries of the certificate table, once enumerated
    bool signerKnown = false;       // the signed message verified and named its signer
    // The signer's simple display name in the ANSI code page, NUL-terminated, cut to fit;
    // an embedded NUL shows as '?'. Empty while !signerKnown.
    char signer[260] = {};
};

// A short English name of `failure` ("wrong signer"), for traces and diagnostics.
const char* publisherFailureName(PublisherFailure failure);

// Checks the executable at `path`. See above.
uint32_t VerifyPublisherSignature(const char* path);

// Checks the file open on `fd` (readable; the offset does not matter and is not moved), known
// by `path`, which must not be null; fd < 0: opens `path` itself. `verdict` (may be null)
// receives the details.
uint32_t verifyPublisherSignatureFd(int fd, const char* path, PublisherVerdict* verdict);

}  // namespace nvl::signature
