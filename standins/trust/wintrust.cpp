// wintrust.so: the trust services that the publisher check of the server's library binds by
// name. The seven entry points of wintrust.h, thin over the verifier (authenticode.h) and the
// platform's PE reader, which is compiled into this library from the same source.
//
// Nothing is kept between calls: the roots are read from their file on every WinVerifyTrust
// (a page is a short process, and the console's "check again" must see a changed file), and
// each Image* call parses the image afresh through positional reads of the handle it is given.
// The certificate contexts handed out are the only state, owned by the caller until
// CertFreeCertificateContext. OpenSSL's error queue is left empty on return.
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

// Only the entry points leave the library (default visibility here, and the version script
// wintrust.map for everything else).
#pragma GCC visibility push(default)
#include "wintrust.h"
#pragma GCC visibility pop

#include "authenticode.h"

namespace {

namespace pe = nvl::sys::pe;
using nvl::trust::X509Ptr;

constexpr TRUST_GUID kGenericVerifyV2 = WINTRUST_ACTION_GENERIC_VERIFY_V2;

// A certificate context as handed out: the record the caller sees first, then what it owns.
struct OwnedContext {
    CERT_CONTEXT context;
    unsigned char* der;  // OPENSSL_malloc'ed; context.pbCertEncoded
};

// UTF-16 to UTF-8 for a path given by name; a lone surrogate becomes U+FFFD.
std::string utf8Path(const char16_t* wide) {
    std::string out;
    for (size_t i = 0; wide[i] != 0; ++i) {
        uint32_t c = wide[i];
        if (c >= 0xD800 && c <= 0xDBFF && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

bool regularFileSize(int fd, uint64_t* size) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

// Parses the image on `handle` and walks its certificate table (no table: no entries), then
// calls `use(source, table)`.
template <class Use>
WT_BOOL withCertificateTable(HANDLE handle, Use use) {
    int fd = NVL_HANDLE_FD(handle);
    uint64_t size = 0;
    if (!regularFileSize(fd, &size))
        return 0;
    pe::ByteSource source = pe::ByteSource::file(fd, size);
    pe::Image image;
    if (pe::parseImage(source, &image) != pe::Status::kOk)
        return 0;
    pe::CertificateTable table;
    pe::Status walked = pe::walkCertificateTable(source, image, &table);
    if (walked == pe::Status::kNotFound)
        table.count = 0;
    else if (walked != pe::Status::kOk)
        return 0;
    return use(source, table) ? 1 : 0;
}

int32_t verifyTrust(const WINTRUST_DATA* data) {
    if (data == nullptr || data->cbStruct < sizeof(WINTRUST_DATA))
        return E_INVALIDARG;
    if (data->dwUnionChoice != WTD_CHOICE_FILE || data->pFile == nullptr)
        return TRUST_E_SUBJECT_FORM_UNKNOWN;
    if (data->dwStateAction != WTD_STATEACTION_IGNORE)
        return E_INVALIDARG;
    const WINTRUST_FILE_INFO* file = data->pFile;
    if (file->cbStruct < sizeof(WINTRUST_FILE_INFO))
        return E_INVALIDARG;
    if (file->pgKnownSubject != nullptr)
        return TRUST_E_SUBJECT_FORM_UNKNOWN;

    // Without its roots no file can be judged: that is the answer, whatever the file.
    nvl::trust::StorePtr roots = nvl::trust::loadRoots(nvl::trust::rootsPath());
    if (roots == nullptr)
        return NVL_TRUST_E_ROOTS_UNAVAILABLE;

    int fd = -1;
    bool owned = false;
    if (file->hFile != nullptr && file->hFile != NVL_FD_HANDLE(-1)) {
        fd = NVL_HANDLE_FD(file->hFile);
    } else if (file->pcwszFilePath != nullptr) {
        fd = ::open(utf8Path(file->pcwszFilePath).c_str(),
                    O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd < 0)
            return CRYPT_E_FILE_ERROR;
        owned = true;
    } else {
        return E_INVALIDARG;
    }
    int32_t result;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        result = CRYPT_E_FILE_ERROR;
    } else if (!S_ISREG(st.st_mode)) {
        result = TRUST_E_SUBJECT_FORM_UNKNOWN;
    } else {
        pe::ByteSource source = pe::ByteSource::file(fd, static_cast<uint64_t>(st.st_size));
        result = nvl::trust::verifyImage(source, roots.get());
    }
    if (owned)
        ::close(fd);
    return result;
}

}  // namespace

extern "C" {

int32_t WinVerifyTrust(HWND, TRUST_GUID* pgActionID, void* pWVTData) {
    if (pgActionID == nullptr ||
        std::memcmp(pgActionID, &kGenericVerifyV2, sizeof kGenericVerifyV2))
        return TRUST_E_ACTION_UNKNOWN;
    return verifyTrust(static_cast<const WINTRUST_DATA*>(pWVTData));
}

WT_BOOL ImageEnumerateCertificates(HANDLE FileHandle, uint16_t TypeFilter,
                                   uint32_t* CertificateCount, uint32_t* Indices,
                                   uint32_t IndexCount) {
    if (CertificateCount == nullptr)
        return 0;
    return withCertificateTable(
        FileHandle, [&](const pe::ByteSource&, const pe::CertificateTable& table) {
            uint32_t count = 0;
            for (size_t i = 0; i < table.count; ++i) {
                if (TypeFilter != CERT_SECTION_TYPE_ANY && table.entries[i].type != TypeFilter)
                    continue;
                if (Indices != nullptr && count < IndexCount)
                    Indices[count] = static_cast<uint32_t>(i);
                ++count;
            }
            *CertificateCount = count;
            return true;
        });
}

WT_BOOL ImageGetCertificateHeader(HANDLE FileHandle, uint32_t CertificateIndex,
                                  WIN_CERTIFICATE* Certificateheader) {
    if (Certificateheader == nullptr)
        return 0;
    return withCertificateTable(
        FileHandle, [&](const pe::ByteSource&, const pe::CertificateTable& table) {
            if (CertificateIndex >= table.count)
                return false;
            const pe::CertificateEntry& entry = table.entries[CertificateIndex];
            Certificateheader->dwLength = entry.length;
            Certificateheader->wRevision = entry.revision;
            Certificateheader->wCertificateType = entry.type;
            return true;
        });
}

WT_BOOL ImageGetCertificateData(HANDLE FileHandle, uint32_t CertificateIndex,
                                WIN_CERTIFICATE* Certificate, uint32_t* RequiredLength) {
    if (RequiredLength == nullptr)
        return 0;
    return withCertificateTable(
        FileHandle, [&](const pe::ByteSource& source, const pe::CertificateTable& table) {
            if (CertificateIndex >= table.count)
                return false;
            const pe::CertificateEntry& entry = table.entries[CertificateIndex];
            uint32_t room = *RequiredLength;
            *RequiredLength = entry.length;
            if (Certificate == nullptr || room < entry.length)
                return false;
            return source.read(entry.offset, Certificate, entry.length);
        });
}

WT_BOOL CryptVerifyMessageSignature(const CRYPT_VERIFY_MESSAGE_PARA* pVerifyPara,
                                    uint32_t dwSignerIndex, const uint8_t* pbSignedBlob,
                                    uint32_t cbSignedBlob, uint8_t* pbDecoded, uint32_t* pcbDecoded,
                                    const CERT_CONTEXT** ppSignerCert) {
    if (ppSignerCert != nullptr)
        *ppSignerCert = nullptr;
    if (pVerifyPara == nullptr || pVerifyPara->cbSize < sizeof(CRYPT_VERIFY_MESSAGE_PARA) ||
        (pVerifyPara->dwMsgAndCertEncodingType & PKCS_7_ASN_ENCODING) == 0 ||
        pVerifyPara->hCryptProv != 0 || pVerifyPara->pfnGetSignerCertificate != nullptr ||
        dwSignerIndex != 0 || pbSignedBlob == nullptr) {
        return 0;
    }
    X509Ptr signer;
    std::string content;
    if (nvl::trust::verifyMessage(pbSignedBlob, cbSignedBlob, &signer,
                                  pcbDecoded != nullptr ? &content : nullptr) != 0) {
        return 0;
    }
    if (pcbDecoded != nullptr) {
        uint32_t room = *pcbDecoded;
        *pcbDecoded = static_cast<uint32_t>(content.size());
        if (pbDecoded != nullptr) {
            if (room < content.size())
                return 0;
            std::memcpy(pbDecoded, content.data(), content.size());
        }
    }
    if (ppSignerCert != nullptr) {
        unsigned char* der = nullptr;
        int length = i2d_X509(signer.get(), &der);
        auto* owned = length > 0 ? new (std::nothrow) OwnedContext{} : nullptr;
        if (owned == nullptr) {
            OPENSSL_free(der);
            ERR_clear_error();
            return 0;
        }
        owned->der = der;
        owned->context.dwCertEncodingType = X509_ASN_ENCODING;
        owned->context.pbCertEncoded = der;
        owned->context.cbCertEncoded = static_cast<uint32_t>(length);
        *ppSignerCert = &owned->context;
    }
    return 1;
}

uint32_t CertGetNameStringA(const CERT_CONTEXT* pCertContext, uint32_t dwType, uint32_t dwFlags,
                            void*, char* pszNameString, uint32_t cchNameString) {
    std::string name;
    if (pCertContext != nullptr && pCertContext->pbCertEncoded != nullptr &&
        pCertContext->cbCertEncoded > 0 && dwType == CERT_NAME_SIMPLE_DISPLAY_TYPE &&
        (dwFlags & ~static_cast<uint32_t>(CERT_NAME_ISSUER_FLAG)) == 0) {
        const unsigned char* p = pCertContext->pbCertEncoded;
        X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(pCertContext->cbCertEncoded)));
        if (cert != nullptr)
            name =
                nvl::trust::simpleDisplayName(cert.get(), (dwFlags & CERT_NAME_ISSUER_FLAG) != 0);
        ERR_clear_error();
    }
    if (pszNameString != nullptr && cchNameString > 0) {
        size_t n = std::min<size_t>(name.size(), cchNameString - 1);
        std::memcpy(pszNameString, name.data(), n);
        pszNameString[n] = '\0';
    }
    return static_cast<uint32_t>(name.size() + 1);
}

WT_BOOL CertFreeCertificateContext(const CERT_CONTEXT* pCertContext) {
    if (pCertContext == nullptr)
        return 1;
    // Only contexts of CryptVerifyMessageSignature exist; the record is their first member.
    auto* owned = reinterpret_cast<OwnedContext*>(const_cast<CERT_CONTEXT*>(pCertContext));
    OPENSSL_free(owned->der);
    delete owned;
    return 1;
}

}  // extern "C"
