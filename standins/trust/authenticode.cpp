#include "authenticode.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <stdlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "wintrust.h"

namespace nvl::trust {

namespace pe = sys::pe;

void StoreFree::operator()(X509_STORE* store) const {
    X509_STORE_free(store);
}
void X509Free::operator()(X509* cert) const {
    X509_free(cert);
}

namespace {

struct Pkcs7Free {
    void operator()(PKCS7* p7) const { PKCS7_free(p7); }
};
struct SigFree {
    void operator()(X509_SIG* sig) const { X509_SIG_free(sig); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct StoreCtxFree {
    void operator()(X509_STORE_CTX* ctx) const { X509_STORE_CTX_free(ctx); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct ObjectFree {
    void operator()(ASN1_OBJECT* object) const { ASN1_OBJECT_free(object); }
};
struct SignersFree {
    // The stack only: its certificates belong to the message.
    void operator()(STACK_OF(X509) * signers) const { sk_X509_free(signers); }
};
struct AltNamesFree {
    void operator()(GENERAL_NAMES* names) const { GENERAL_NAMES_free(names); }
};

// The encoded contents of the object identifiers (without tag and length).
// 1.3.6.1.4.1.311.2.1.4, SPC_INDIRECT_DATA
constexpr uint8_t kOidIndirectData[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x04};
// 1.3.6.1.4.1.311.2.1.15, SPC_PE_IMAGE_DATA
constexpr uint8_t kOidPeImageData[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x0F};

template <size_t N>
bool isOid(const ASN1_OBJECT* object, const uint8_t (&oid)[N]) {
    return object != nullptr && OBJ_length(object) == N &&
           std::memcmp(OBJ_get0_data(object), oid, N) == 0;
}

bool allowedDigest(int nid) {
    return nid == NID_sha1 || nid == NID_sha256 || nid == NID_sha384 || nid == NID_sha512;
}

bool allowedDigest(const X509_ALGOR* algorithm) {
    if (algorithm == nullptr)
        return false;
    const ASN1_OBJECT* object = nullptr;
    X509_ALGOR_get0(&object, nullptr, nullptr, algorithm);
    return object != nullptr && allowedDigest(OBJ_obj2nid(object));
}

// The signer's signature algorithm: RSA or ECDSA, by key or with one of the allowed digests.
bool allowedSignatureAlgorithm(const X509_ALGOR* algorithm) {
    const ASN1_OBJECT* object = nullptr;
    if (algorithm != nullptr)
        X509_ALGOR_get0(&object, nullptr, nullptr, algorithm);
    switch (object != nullptr ? OBJ_obj2nid(object) : NID_undef) {
        case NID_rsaEncryption:
        case NID_sha1WithRSAEncryption:
        case NID_sha256WithRSAEncryption:
        case NID_sha384WithRSAEncryption:
        case NID_sha512WithRSAEncryption:
        case NID_X9_62_id_ecPublicKey:
        case NID_ecdsa_with_SHA1:
        case NID_ecdsa_with_SHA256:
        case NID_ecdsa_with_SHA384:
        case NID_ecdsa_with_SHA512:
            return true;
        default:
            return false;
    }
}

// A decoded, structurally sound signed message of an embedded signature.
struct Message {
    std::unique_ptr<PKCS7, Pkcs7Free> p7;
    std::unique_ptr<X509_SIG, SigFree> digestInfo;  // the image's DigestInfo
    const unsigned char* content = nullptr;         // the SpcIndirectDataContent's value
    long contentLength = 0;
    int imageDigestNid = NID_undef;
    const ASN1_OCTET_STRING* imageDigest = nullptr;
};

// Reads a DER header at *p (at most `max` bytes): a definite-length constructed SEQUENCE of the
// universal class that fits. Moves *p to its contents.
bool enterSequence(const unsigned char** p, long max, long* length) {
    if (max <= 0)
        return false;
    int tag = 0, cls = 0;
    int flags = ASN1_get_object(p, length, &tag, &cls, max);
    return flags == V_ASN1_CONSTRUCTED && tag == V_ASN1_SEQUENCE && cls == V_ASN1_UNIVERSAL;
}

// Steps 2 and 3 of the header comment: decode and check the shape and the digests.
int32_t decodeMessage(const uint8_t* der, size_t size, Message* message) {
    if (der == nullptr || size == 0 || size > kMaxCertificateBytes)
        return CRYPT_E_ASN1_BADTAG;
    const unsigned char* p = der;
    message->p7.reset(d2i_PKCS7(nullptr, &p, static_cast<long>(size)));
    PKCS7* p7 = message->p7.get();
    if (p7 == nullptr)
        return CRYPT_E_ASN1_BADTAG;
    // Only the padding to 8 may follow the message, and it must be zeros.
    size_t used = static_cast<size_t>(p - der);
    if (size - used > 7)
        return CRYPT_E_ASN1_BADTAG;
    for (size_t i = used; i < size; ++i) {
        if (der[i] != 0)
            return CRYPT_E_ASN1_BADTAG;
    }
    // PKCS #7 v1.5 SignedData (version 1).
    if (!PKCS7_type_is_signed(p7) || p7->d.sign == nullptr ||
        ASN1_INTEGER_get(p7->d.sign->version) != 1) {
        return CRYPT_E_ASN1_BADTAG;
    }
    STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7);
    if (infos == nullptr || sk_PKCS7_SIGNER_INFO_num(infos) != 1)
        return TRUST_E_NO_SIGNER_CERT;
    PKCS7* contents = p7->d.sign->contents;
    if (contents == nullptr || !isOid(contents->type, kOidIndirectData))
        return CRYPT_E_ASN1_BADTAG;
    ASN1_TYPE* value = contents->d.other;
    if (value == nullptr || value->type != V_ASN1_SEQUENCE || value->value.sequence == nullptr)
        return CRYPT_E_ASN1_BADTAG;

    // SpcIndirectDataContent ::= SEQUENCE { data SpcAttributeTypeAndOptionalValue,
    //                                       messageDigest DigestInfo }
    const unsigned char* whole = ASN1_STRING_get0_data(value->value.sequence);
    long wholeLength = ASN1_STRING_length(value->value.sequence);
    const unsigned char* q = whole;
    long length = 0;
    if (whole == nullptr || !enterSequence(&q, wholeLength, &length) ||
        length != wholeLength - (q - whole)) {
        return CRYPT_E_ASN1_BADTAG;
    }
    message->content = q;
    message->contentLength = length;
    const unsigned char* end = q + length;
    long dataLength = 0;
    if (!enterSequence(&q, end - q, &dataLength))
        return CRYPT_E_ASN1_BADTAG;
    const unsigned char* dataEnd = q + dataLength;
    std::unique_ptr<ASN1_OBJECT, ObjectFree> type(d2i_ASN1_OBJECT(nullptr, &q, dataEnd - q));
    if (!isOid(type.get(), kOidPeImageData))
        return CRYPT_E_ASN1_BADTAG;
    q = dataEnd;
    message->digestInfo.reset(d2i_X509_SIG(nullptr, &q, end - q));
    if (message->digestInfo == nullptr || q != end)
        return CRYPT_E_ASN1_BADTAG;
    const X509_ALGOR* imageAlgorithm = nullptr;
    X509_SIG_get0(message->digestInfo.get(), &imageAlgorithm, &message->imageDigest);
    const ASN1_OBJECT* imageObject = nullptr;
    X509_ALGOR_get0(&imageObject, nullptr, nullptr, imageAlgorithm);
    message->imageDigestNid = imageObject != nullptr ? OBJ_obj2nid(imageObject) : NID_undef;

    // Every digest that anything will be computed with is one we allow, before OpenSSL meets
    // it (its PKCS7_verify leaks a buffer on a digest it cannot make).
    if (!allowedDigest(message->imageDigestNid))
        return NTE_BAD_ALGID;
    STACK_OF(X509_ALGOR)* listed = p7->d.sign->md_algs;
    if (listed == nullptr || sk_X509_ALGOR_num(listed) == 0)
        return NTE_BAD_ALGID;
    for (int i = 0; i < sk_X509_ALGOR_num(listed); ++i) {
        if (!allowedDigest(sk_X509_ALGOR_value(listed, i)))
            return NTE_BAD_ALGID;
    }
    PKCS7_SIGNER_INFO* signer = sk_PKCS7_SIGNER_INFO_value(infos, 0);
    if (signer == nullptr || ASN1_INTEGER_get(signer->version) != 1)
        return CRYPT_E_ASN1_BADTAG;
    // OpenSSL takes the signature algorithm from the signer's key and never reads this field;
    // a value that names something else is not let through unread.
    if (!allowedDigest(signer->digest_alg) || !allowedSignatureAlgorithm(signer->digest_enc_alg))
        return NTE_BAD_ALGID;
    ASN1_TYPE* contentType = PKCS7_get_signed_attribute(signer, NID_pkcs9_contentType);
    if (contentType == nullptr || contentType->type != V_ASN1_OBJECT ||
        !isOid(contentType->value.object, kOidIndirectData)) {
        return CRYPT_E_ASN1_BADTAG;
    }
    return 0;
}

// Step 5: the signer's signature over the message, without a chain. *signer gets the signer.
int32_t verifySignature(const Message& message, X509Ptr* signer) {
    PKCS7* p7 = message.p7.get();
    std::unique_ptr<STACK_OF(X509), SignersFree> signers(PKCS7_get0_signers(p7, nullptr, 0));
    if (signers == nullptr || sk_X509_num(signers.get()) != 1)
        return TRUST_E_NO_SIGNER_CERT;
    if (message.contentLength > INT_MAX)
        return CRYPT_E_ASN1_BADTAG;
    std::unique_ptr<BIO, BioFree> content(
        BIO_new_mem_buf(message.content, static_cast<int>(message.contentLength)));
    if (content == nullptr)
        return E_OUTOFMEMORY;
    // The content is given: OpenSSL 3.0 cannot find a content that is not an OCTET STRING
    // inside the message by itself.
    if (PKCS7_verify(p7, nullptr, nullptr, content.get(), nullptr, PKCS7_NOVERIFY) != 1)
        return NTE_BAD_SIGNATURE;
    X509* cert = sk_X509_value(signers.get(), 0);
    if (cert == nullptr || X509_up_ref(cert) != 1)
        return TRUST_E_NO_SIGNER_CERT;
    signer->reset(cert);
    return 0;
}

// Step 4: the image hash, streamed.
int32_t checkImageHash(const pe::ByteSource& source, const pe::Image& image,
                       const Message& message) {
    pe::HashRanges ranges;
    if (pe::imageHashRanges(image, &ranges) != pe::Status::kOk)
        return TRUST_E_FAIL;
    const EVP_MD* md = EVP_get_digestbynid(message.imageDigestNid);
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (md == nullptr || ctx == nullptr || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1)
        return E_OUTOFMEMORY;
    std::vector<uint8_t> buffer;
    for (const pe::Range& range : ranges.ranges) {
        if (range.offset > source.size() || range.size > source.size() - range.offset)
            return TRUST_E_FAIL;
        if (source.data() != nullptr) {
            // A memory image is hashed where it lies.
            if (EVP_DigestUpdate(ctx.get(), source.data() + range.offset, range.size) != 1)
                return E_OUTOFMEMORY;
            continue;
        }
        if (buffer.empty())
            buffer.resize(kHashBufferSize);
        for (uint64_t done = 0; done < range.size;) {
            size_t piece =
                static_cast<size_t>(std::min<uint64_t>(range.size - done, kHashBufferSize));
            if (!source.read(range.offset + done, buffer.data(), piece))
                return source.ioFailed() ? CRYPT_E_FILE_ERROR : TRUST_E_BAD_DIGEST;
            if (EVP_DigestUpdate(ctx.get(), buffer.data(), piece) != 1)
                return E_OUTOFMEMORY;
            done += piece;
        }
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &digestLength) != 1)
        return E_OUTOFMEMORY;
    const ASN1_OCTET_STRING* expected = message.imageDigest;
    if (expected == nullptr || ASN1_STRING_length(expected) != static_cast<int>(digestLength) ||
        CRYPTO_memcmp(ASN1_STRING_get0_data(expected), digest, digestLength) != 0) {
        return TRUST_E_BAD_DIGEST;
    }
    return 0;
}

int32_t chainError(int error) {
    switch (error) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID:
        case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
        case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
            return CERT_E_EXPIRED;
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
            return CERT_E_UNTRUSTEDROOT;
        case X509_V_ERR_CERT_SIGNATURE_FAILURE:
            return TRUST_E_CERT_SIGNATURE;
        case X509_V_ERR_INVALID_PURPOSE:
            return CERT_E_WRONG_USAGE;
        default:
            return CERT_E_CHAINING;
    }
}

// Steps 6 and 7: the chain to the roots, and the uses the chain allows.
int32_t checkChain(X509* signer, STACK_OF(X509) * carried, X509_STORE* roots, const time_t* at) {
    if (roots == nullptr)
        return CERT_E_UNTRUSTEDROOT;
    std::unique_ptr<X509_STORE_CTX, StoreCtxFree> ctx(X509_STORE_CTX_new());
    if (ctx == nullptr || X509_STORE_CTX_init(ctx.get(), roots, signer, carried) != 1)
        return E_OUTOFMEMORY;
    if (at != nullptr)
        X509_STORE_CTX_set_time(ctx.get(), 0, *at);
    if (X509_verify_cert(ctx.get()) != 1)
        return chainError(X509_STORE_CTX_get_error(ctx.get()));
    if ((X509_get_extended_key_usage(signer) & XKU_CODE_SIGN) == 0 ||
        (X509_get_key_usage(signer) & KU_DIGITAL_SIGNATURE) == 0) {
        return CERT_E_WRONG_USAGE;
    }
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx.get());
    for (int i = 1; i < sk_X509_num(chain); ++i) {
        X509* ca = sk_X509_value(chain, i);
        if ((X509_get_extension_flags(ca) & EXFLAG_XKUSAGE) != 0 &&
            (X509_get_extended_key_usage(ca) & (XKU_CODE_SIGN | XKU_ANYEKU)) == 0) {
            return CERT_E_WRONG_USAGE;
        }
    }
    return 0;
}

std::string utf8(const ASN1_STRING* value) {
    if (value == nullptr)
        return {};
    unsigned char* out = nullptr;
    int length = ASN1_STRING_to_UTF8(&out, value);
    if (length < 0)
        return {};
    std::string text(reinterpret_cast<const char*>(out), static_cast<size_t>(length));
    OPENSSL_free(out);
    return text;
}

int32_t judgeImage(const pe::ByteSource& source, X509_STORE* roots, const time_t* at,
                   ImageReport* report) {
    pe::Image image;
    switch (pe::parseImage(source, &image)) {
        case pe::Status::kOk:
            break;
        case pe::Status::kIoError:
            return CRYPT_E_FILE_ERROR;
        default:
            return TRUST_E_SUBJECT_FORM_UNKNOWN;
    }
    pe::CertificateTable table;
    switch (pe::walkCertificateTable(source, image, &table)) {
        case pe::Status::kOk:
            break;
        case pe::Status::kNotFound:
            return TRUST_E_NOSIGNATURE;
        case pe::Status::kIoError:
            return CRYPT_E_FILE_ERROR;
        default:
            return TRUST_E_FAIL;
    }
    if (table.count != 1)
        return TRUST_E_FAIL;
    const pe::CertificateEntry& entry = table.entries[0];
    if (entry.revision != pe::kCertificateRevision2 ||
        entry.type != pe::kCertificateTypePkcsSigned) {
        return TRUST_E_FAIL;
    }
    pe::Range certificate = entry.certificate();
    if (certificate.size == 0 || certificate.size > kMaxCertificateBytes)
        return TRUST_E_FAIL;
    std::vector<uint8_t> der(static_cast<size_t>(certificate.size));
    if (!source.read(certificate.offset, der.data(), der.size()))
        return source.ioFailed() ? CRYPT_E_FILE_ERROR : TRUST_E_FAIL;

    Message message;
    if (int32_t result = decodeMessage(der.data(), der.size(), &message); result != 0)
        return result;
    if (report != nullptr)
        report->digestNid = message.imageDigestNid;
    if (int32_t result = checkImageHash(source, image, message); result != 0)
        return result;
    X509Ptr signer;
    if (int32_t result = verifySignature(message, &signer); result != 0)
        return result;
    if (report != nullptr)
        report->signer = simpleDisplayName(signer.get());
    return checkChain(signer.get(), message.p7->d.sign->cert, roots, at);
}

}  // namespace

std::string rootsPath() {
    const char* configured = ::getenv(NVL_TRUST_ROOTS_VARIABLE);
    return configured != nullptr && *configured != '\0' ? configured : NVL_TRUST_ROOTS_DEFAULT;
}

StorePtr loadRoots(const std::string& path) {
    StorePtr store(X509_STORE_new());
    bool ok = store != nullptr && X509_STORE_load_file(store.get(), path.c_str()) == 1;
    if (ok) {
        // A file of revocation lists alone is no set of roots.
        ok = false;
        STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(store.get());
        for (int i = 0; !ok && i < sk_X509_OBJECT_num(objects); ++i)
            ok = X509_OBJECT_get_type(sk_X509_OBJECT_value(objects, i)) == X509_LU_X509;
    }
    ERR_clear_error();
    if (!ok)
        store.reset();
    return store;
}

int32_t verifyImage(const pe::ByteSource& source, X509_STORE* roots, const time_t* at,
                    ImageReport* report) {
    int32_t result = judgeImage(source, roots, at, report);
    ERR_clear_error();
    return result;
}

int32_t verifyMessage(const uint8_t* der, size_t size, X509Ptr* signer, std::string* content) {
    Message message;
    int32_t result = decodeMessage(der, size, &message);
    if (result == 0)
        result = verifySignature(message, signer);
    if (result == 0 && content != nullptr) {
        content->assign(reinterpret_cast<const char*>(message.content),
                        static_cast<size_t>(message.contentLength));
    }
    ERR_clear_error();
    return result;
}

std::string simpleDisplayName(X509* cert, bool issuer) {
    if (cert == nullptr)
        return {};
    const X509_NAME* name = issuer ? X509_get_issuer_name(cert) : X509_get_subject_name(cert);
    if (name == nullptr)
        return {};
    for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName,
                    NID_pkcs9_emailAddress}) {
        int index = X509_NAME_get_index_by_NID(name, nid, -1);
        if (index < 0)
            continue;
        if (X509_NAME_get_index_by_NID(name, nid, index) >= 0)
            return {};  // two values: which one is meant is not clear
        return utf8(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
    }
    std::unique_ptr<GENERAL_NAMES, AltNamesFree> alternatives(
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(
            cert, issuer ? NID_issuer_alt_name : NID_subject_alt_name, nullptr, nullptr)));
    for (int i = 0; alternatives != nullptr && i < sk_GENERAL_NAME_num(alternatives.get()); ++i) {
        const GENERAL_NAME* alternative = sk_GENERAL_NAME_value(alternatives.get(), i);
        if (alternative->type == GEN_EMAIL) {
            std::string text = utf8(alternative->d.rfc822Name);
            ERR_clear_error();
            return text;
        }
    }
    std::string text;
    if (X509_NAME_entry_count(name) > 0)
        text = utf8(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, 0)));
    ERR_clear_error();
    return text;
}

}  // namespace nvl::trust
