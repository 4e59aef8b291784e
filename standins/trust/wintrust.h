/* The trust services as the server's library calls them: the seven entry points of wintrust.so,
 * the one library that stands in for the original's winTrust.dll, imagehlp.dll and crypt32.dll
 * (README.md of this directory). Exported by name, extern "C", in the native layout of this
 * platform: the records keep the original's field order, and fields that held a pointer or a
 * handle are pointer-sized here, so a record's cbStruct / cbSize is its sizeof on this build.
 *
 * Handles of files are open file descriptors, carried as intptr_t in the pointer-sized HANDLE:
 * NVL_FD_HANDLE(fd) makes one, NVL_HANDLE_FD(h) reads it back. A file handle is only read
 * with positional reads, so its offset is neither used nor moved.
 *
 * Wide texts are UTF-16 (char16_t). Every entry point is thread-safe and keeps no state between
 * calls except the certificate contexts it hands out.
 */
#ifndef NVL_WINTRUST_H
#define NVL_WINTRUST_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#else
#include <uchar.h>
#endif

typedef void* HANDLE;
typedef void* HWND;
typedef int32_t WT_BOOL; /* TRUE 1, FALSE 0 */

#define NVL_FD_HANDLE(fd) ((HANDLE)(intptr_t)(fd))
#define NVL_HANDLE_FD(h) ((int)(intptr_t)(h))

/* The code-signing roots a chain must end in: a PEM file named by this variable, or the default
 * file (never the system's TLS bundle). Read again on every check. */
#define NVL_TRUST_ROOTS_VARIABLE "NVL_TRUST_ROOTS"
#define NVL_TRUST_ROOTS_DEFAULT "/etc/norvel/trust-roots.pem"

typedef struct TRUST_GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} TRUST_GUID;

/* {00AAC56B-CD44-11D0-8CC2-00C04FC295EE}: verify an embedded signature and its chain. */
#define WINTRUST_ACTION_GENERIC_VERIFY_V2                  \
    {                                                      \
        0x00AAC56Bu, 0xCD44u, 0x11D0u, {                   \
            0x8C, 0xC2, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE \
        }                                                  \
    }

/* The file to judge: an open descriptor (hFile, preferred when not null) or a path. */
typedef struct WINTRUST_FILE_INFO {
    uint32_t cbStruct;
    const char16_t* pcwszFilePath;
    HANDLE hFile;
    const TRUST_GUID* pgKnownSubject; /* must be null */
} WINTRUST_FILE_INFO;

#define WTD_UI_ALL 1
#define WTD_UI_NONE 2
#define WTD_REVOKE_NONE 0
#define WTD_CHOICE_FILE 1
#define WTD_STATEACTION_IGNORE 0

typedef struct WINTRUST_DATA {
    uint32_t cbStruct;
    void* pPolicyCallbackData;
    void* pSIPClientData;
    uint32_t dwUIChoice;
    uint32_t fdwRevocationChecks;
    uint32_t dwUnionChoice; /* WTD_CHOICE_FILE only */
    union {
        WINTRUST_FILE_INFO* pFile;
        void* pOther;
    };
    uint32_t dwStateAction; /* WTD_STATEACTION_IGNORE only */
    HANDLE hWVTStateData;
    char16_t* pwszURLReference;
    uint32_t dwProvFlags;
    uint32_t dwUIContext;
} WINTRUST_DATA;

/* One entry of a PE image's certificate table. */
typedef struct WIN_CERTIFICATE {
    uint32_t dwLength; /* header and certificate, without the padding to 8 */
    uint16_t wRevision;
    uint16_t wCertificateType;
    uint8_t bCertificate[1];
} WIN_CERTIFICATE;

#define WIN_CERT_REVISION_1_0 0x0100
#define WIN_CERT_REVISION_2_0 0x0200
#define WIN_CERT_TYPE_PKCS_SIGNED_DATA 0x0002
#define CERT_SECTION_TYPE_ANY 0xFF

#define X509_ASN_ENCODING 0x00000001u
#define PKCS_7_ASN_ENCODING 0x00010000u

typedef struct CERT_CONTEXT {
    uint32_t dwCertEncodingType;
    uint8_t* pbCertEncoded; /* the certificate's DER */
    uint32_t cbCertEncoded;
    void* pCertInfo;  /* not provided: null */
    void* hCertStore; /* not provided: null */
} CERT_CONTEXT;

typedef const CERT_CONTEXT* (*PFN_CRYPT_GET_SIGNER_CERTIFICATE)(void* pvGetArg,
                                                                uint32_t dwCertEncodingType,
                                                                void* pSignerId,
                                                                void* hMsgCertStore);

typedef struct CRYPT_VERIFY_MESSAGE_PARA {
    uint32_t cbSize;
    uint32_t dwMsgAndCertEncodingType;
    uintptr_t hCryptProv;                                     /* must be 0 */
    PFN_CRYPT_GET_SIGNER_CERTIFICATE pfnGetSignerCertificate; /* must be null */
    void* pvGetArg;
} CRYPT_VERIFY_MESSAGE_PARA;

#define CERT_NAME_SIMPLE_DISPLAY_TYPE 4
#define CERT_NAME_ISSUER_FLAG 0x1

/* Results of WinVerifyTrust (README.md says which check gives which). */
#define TRUST_E_SUBJECT_FORM_UNKNOWN ((int32_t)0x800B0003)
#define TRUST_E_ACTION_UNKNOWN ((int32_t)0x800B0002)
#define TRUST_E_NOSIGNATURE ((int32_t)0x800B0100)
#define TRUST_E_FAIL ((int32_t)0x800B010B)
#define TRUST_E_BAD_DIGEST ((int32_t)0x80096010)
#define TRUST_E_NO_SIGNER_CERT ((int32_t)0x80096002)
#define CERT_E_EXPIRED ((int32_t)0x800B0101)
#define CERT_E_UNTRUSTEDROOT ((int32_t)0x800B0109)
#define CERT_E_CHAINING ((int32_t)0x800B010A)
#define CERT_E_WRONG_USAGE ((int32_t)0x800B0110)
#define TRUST_E_CERT_SIGNATURE ((int32_t)0x80096004)
#define CRYPT_E_FILE_ERROR ((int32_t)0x80092003)
#define CRYPT_E_ASN1_BADTAG ((int32_t)0x8009310B)
#define NTE_BAD_SIGNATURE ((int32_t)0x80090006)
#define NTE_BAD_ALGID ((int32_t)0x80090008)
#define E_INVALIDARG ((int32_t)0x80070057)
#define E_OUTOFMEMORY ((int32_t)0x8007000E)
/* This platform's own: the configured trust roots (NVL_TRUST_ROOTS) cannot be read, so no
 * file can be judged. Customer bit set, so no code of the original platform has this value. */
#define NVL_TRUST_E_ROOTS_UNAVAILABLE ((int32_t)0xA00B0001)

/* 0 when the file carries exactly one valid embedded signature whose signer chains to a
 * configured root and may sign code; else the reason. `hwnd` is ignored (no user interface). */
int32_t WinVerifyTrust(HWND hwnd, TRUST_GUID* pgActionID, void* pWVTData);

/* The number of certificate-table entries of type `TypeFilter` (CERT_SECTION_TYPE_ANY: all),
 * and their indices (as many as fit into `Indices`, which may be null). FALSE when the file is
 * not a PE image or its certificate table is malformed. */
WT_BOOL ImageEnumerateCertificates(HANDLE FileHandle, uint16_t TypeFilter,
                                   uint32_t* CertificateCount, uint32_t* Indices,
                                   uint32_t IndexCount);

/* The 8-byte header of entry `CertificateIndex` (all types counted) into `Certificateheader`;
 * the fields there on entry are not read. */
WT_BOOL ImageGetCertificateHeader(HANDLE FileHandle, uint32_t CertificateIndex,
                                  WIN_CERTIFICATE* Certificateheader);

/* The whole entry (header and certificate, dwLength bytes) into `Certificate`, which holds
 * *RequiredLength bytes; *RequiredLength becomes dwLength. FALSE, with *RequiredLength set,
 * when the room is smaller. */
WT_BOOL ImageGetCertificateData(HANDLE FileHandle, uint32_t CertificateIndex,
                                WIN_CERTIFICATE* Certificate, uint32_t* RequiredLength);

/* Decodes a PKCS #7 SignedData of an embedded signature and verifies its one signer's signature
 * over the signed content (no chain, no image hash). `dwSignerIndex` must be 0. On success
 * *ppSignerCert (when asked for) is the signer's certificate, to be freed with
 * CertFreeCertificateContext; the content (the SpcIndirectDataContent's value) goes to
 * pbDecoded as CryptVerifyMessageSignature gives it. */
WT_BOOL CryptVerifyMessageSignature(const CRYPT_VERIFY_MESSAGE_PARA* pVerifyPara,
                                    uint32_t dwSignerIndex, const uint8_t* pbSignedBlob,
                                    uint32_t cbSignedBlob, uint8_t* pbDecoded, uint32_t* pcbDecoded,
                                    const CERT_CONTEXT** ppSignerCert);

/* The certificate's simple display name (dwType CERT_NAME_SIMPLE_DISPLAY_TYPE only; flags 0
 * for the subject or CERT_NAME_ISSUER_FLAG) as UTF-8, NUL-terminated. Returns the size of the
 * whole name with its terminating NUL; with no buffer (or room 0) nothing is written, otherwise
 * at most cchNameString bytes, always terminated. A name with an embedded NUL keeps it: the
 * size returned is then larger than strlen + 1 of what was written. No name (or another type):
 * 1 and the empty text. */
uint32_t CertGetNameStringA(const CERT_CONTEXT* pCertContext, uint32_t dwType, uint32_t dwFlags,
                            void* pvTypePara, char* pszNameString, uint32_t cchNameString);

WT_BOOL CertFreeCertificateContext(const CERT_CONTEXT* pCertContext);

#ifdef __cplusplus
}
#endif

#endif
