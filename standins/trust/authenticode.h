// The verifier behind wintrust.so: embedded (Authenticode) signatures of PE images, on
// OpenSSL 3.
//
// An image passes verifyImage when, in this order (the first failure is the answer):
//   1. it is a PE32 or PE32+ image whose certificate table is well-formed (8-aligned, after the
//      headers, ending exactly at the end of the file) and holds exactly one entry, of revision
//      0x0200 and type PKCS_SIGNED_DATA, at most kMaxCertificateBytes long;
//   2. the entry holds one DER PKCS #7 SignedData (followed by at most 7 zero bytes of padding)
//      with exactly one SignerInfo, whose content is an SpcIndirectDataContent naming a PE image
//      (SpcPeImageData) and carrying the image's DigestInfo, and whose signed contentType
//      attribute names that content type;
//   3. every digest named (the SignedData's list, the signer's, the image's) is SHA-1, SHA-256,
//      SHA-384 or SHA-512. This comes before OpenSSL's PKCS7_verify, which leaks a buffer when
//      it meets a digest it cannot make;
//   4. the image hash matches: the digest of the file's bytes up to the certificate table
//      without the CheckSum field and the security directory entry (the linear form that
//      signing tools write), streamed through one fixed buffer;
//   5. the signer's signature over the signed attributes, and their messageDigest over the
//      SpcIndirectDataContent's value, verify (PKCS7_verify with the content given, no chain);
//   6. the signer's certificate chains to a root of the given store, the certificates the
//      message carries serving as untrusted intermediates, at the given time (now by default):
//      an expired signer fails even if the signature carries a time stamp;
//   7. the signer may sign code: its extended key usage, if any, includes code signing, its key
//      usage, if any, includes digitalSignature; a CA of the chain that limits its extended
//      key usage allows code signing or any use.
// Nested signatures and time stamps in the unsigned attributes are not read: the primary
// signer is the one judged.
//
// Results are the trust services' codes (wintrust.h); 0 is success. Nothing is allocated from
// a size the file declares: the one entry read into memory is bounded by kMaxCertificateBytes
// and by the file's real size.
#pragma once

#include <openssl/ossl_typ.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "platform/pe_image.h"
#include "wintrust.h"

namespace nvl::trust {

// The largest certificate entry judged: far above a real signature with its chain (a few KiB),
// far below anything that would make memory a concern.
constexpr uint32_t kMaxCertificateBytes = 1024 * 1024;
// The read buffer of the image hash.
constexpr size_t kHashBufferSize = 64 * 1024;

struct StoreFree {
    void operator()(X509_STORE* store) const;
};
using StorePtr = std::unique_ptr<X509_STORE, StoreFree>;
struct X509Free {
    void operator()(X509* cert) const;
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

// NVL_TRUST_ROOTS when set and not empty, else NVL_TRUST_ROOTS_DEFAULT.
std::string rootsPath();
// A store holding the certificates of the PEM file at `path`; null when it cannot be read or
// holds none (or anything unreadable).
StorePtr loadRoots(const std::string& path);

// What verifyImage learnt besides its result (for tests and diagnostics).
struct ImageReport {
    int digestNid = 0;   // the image hash's digest
    std::string signer;  // the signer's simple display name, once its signature verified
};

// Judges the image read from `source` against `roots`. `at`: the time the chain is judged at
// (null: now).
int32_t verifyImage(const sys::pe::ByteSource& source, X509_STORE* roots,
                    const time_t* at = nullptr, ImageReport* report = nullptr);

// Steps 2, 3 and 5 on one certificate (a DER SignedData of `size` bytes with its padding):
// the signed message verifies. On success *signer is the signer's certificate. *content, when
// asked for, is the SpcIndirectDataContent's value.
int32_t verifyMessage(const uint8_t* der, size_t size, X509Ptr* signer,
                      std::string* content = nullptr);

// The simple display name of the subject (or, `issuer`, the issuer) in UTF-8: the first of
// commonName, organizationalUnitName, organizationName, emailAddress; else the first rfc822
// name of the subject (issuer) alternative name; else the name's first attribute; else "".
// A chosen attribute that occurs more than once gives "" (which of them is meant is not
// clear); an embedded NUL is kept (the caller must never match such a name); a value that does
// not convert to UTF-8 gives "".
std::string simpleDisplayName(X509* cert, bool issuer = false);

}  // namespace nvl::trust
