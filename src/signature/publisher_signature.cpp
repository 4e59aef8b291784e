#include "signature/publisher_signature.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "platform/codepage.h"
#include "platform/library.h"
#include "signature/publisher_signature_testing.h"
#include "wintrust.h"

namespace nvl::signature {

namespace {

// The three libraries the check binds, and the one file that serves them all.
constexpr const char* kTrustLibraryNames[] = {"winTrust.dll", "imagehlp.dll", "crypt32.dll"};
constexpr char kTrustLibraryFile[] = "wintrust.so";

struct Override {
    std::mutex lock;
    std::string file;  // empty: kTrustLibraryFile
};

Override& trustOverride() {
    static Override* state = new Override;  // never destroyed: tests may call late
    return *state;
}

std::string trustLibraryFile() {
    Override& state = trustOverride();
    std::lock_guard<std::mutex> hold(state.lock);
    return state.file.empty() ? kTrustLibraryFile : state.file;
}

// The file a library name of the check maps to.
std::string mappedLibrary(const char* name) {
    for (const char* known : kTrustLibraryNames) {
        if (std::strcmp(known, name) == 0)
            return trustLibraryFile();
    }
    return name;
}

struct TrustServices {
    sys::Library libraries[3];
    decltype(&WinVerifyTrust) winVerifyTrust = nullptr;
    decltype(&ImageEnumerateCertificates) imageEnumerateCertificates = nullptr;
    decltype(&ImageGetCertificateHeader) imageGetCertificateHeader = nullptr;
    decltype(&ImageGetCertificateData) imageGetCertificateData = nullptr;
    decltype(&CryptVerifyMessageSignature) cryptVerifyMessageSignature = nullptr;
    decltype(&CertGetNameStringA) certGetNameStringA = nullptr;
    decltype(&CertFreeCertificateContext) certFreeCertificateContext = nullptr;

    // Loads the three libraries and binds the seven entries; the failure when one is missing.
    PublisherFailure load() {
        for (size_t i = 0; i < 3; ++i) {
            libraries[i] = sys::Library::load(mappedLibrary(kTrustLibraryNames[i]));
            if (!libraries[i])
                return PublisherFailure::kLibraryMissing;
        }
        const sys::Library& winTrust = libraries[0];
        const sys::Library& imagehlp = libraries[1];
        const sys::Library& crypt32 = libraries[2];
        bool bound = bind(winTrust, "WinVerifyTrust", &winVerifyTrust) &&
                     bind(imagehlp, "ImageEnumerateCertificates", &imageEnumerateCertificates) &&
                     bind(imagehlp, "ImageGetCertificateHeader", &imageGetCertificateHeader) &&
                     bind(imagehlp, "ImageGetCertificateData", &imageGetCertificateData) &&
                     bind(crypt32, "CryptVerifyMessageSignature", &cryptVerifyMessageSignature) &&
                     bind(crypt32, "CertGetNameStringA", &certGetNameStringA) &&
                     bind(crypt32, "CertFreeCertificateContext", &certFreeCertificateContext);
        return bound ? PublisherFailure::kNone : PublisherFailure::kEntryMissing;
    }

    template <typename Fn>
    static bool bind(const sys::Library& library, const char* name, Fn* entry) {
        *entry = library.function<Fn>(name);
        return *entry != nullptr;
    }
};

// The signer's name for the verdict: UTF-8 to the ANSI code page, an embedded NUL as '?', cut
// at a character boundary to fit.
void storeSigner(std::string name, PublisherVerdict* verdict) {
    for (char& c : name) {
        if (c == '\0')
            c = '?';
    }
    std::string ansi = sys::utf8ToAnsi(name);
    const uint32_t codePage = sys::ansiCodePage();
    size_t kept = 0;
    for (size_t i = 0; i < ansi.size();) {
        size_t width = sys::isLeadByte(codePage, static_cast<unsigned char>(ansi[i])) ? 2 : 1;
        if (i + width > ansi.size() || i + width > sizeof verdict->signer - 1)
            break;
        i += width;
        kept = i;
    }
    std::memcpy(verdict->signer, ansi.data(), kept);
    verdict->signer[kept] = '\0';
    verdict->signerKnown = true;
}

struct ContextFree {
    decltype(&CertFreeCertificateContext) free;
    void operator()(const CERT_CONTEXT* context) const { free(context); }
};

// Steps 3 to 6 on an open file, with the services bound; the verdict's failure is set on the
// way, its status by the caller.
void judge(const TrustServices& trust, int fd, const char* path, PublisherVerdict* verdict) {
    std::u16string widePath = sys::ansiToWide(path);
    HANDLE file = NVL_FD_HANDLE(fd);

    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof fileInfo;
    fileInfo.pcwszFilePath = widePath.c_str();
    fileInfo.hFile = file;
    WINTRUST_DATA data{};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    TRUST_GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    int32_t trusted = trust.winVerifyTrust(NVL_FD_HANDLE(-1), &action, &data);
    verdict->trustResult = trusted;
    if (trusted == NVL_TRUST_E_ROOTS_UNAVAILABLE) {
        verdict->failure = PublisherFailure::kRootsUnavailable;
        return;
    }
    if (trusted != 0) {
        verdict->failure = PublisherFailure::kNotTrusted;
        return;
    }

    uint32_t count = 0;
    if (!trust.imageEnumerateCertificates(file, CERT_SECTION_TYPE_ANY, &count, nullptr, 0) ||
        count != 1) {
        verdict->certificateCount = count;
        verdict->failure = PublisherFailure::kCertificateCount;
        return;
    }
    verdict->certificateCount = count;

    verdict->failure = PublisherFailure::kCertificateUnreadable;
    WIN_CERTIFICATE header{};
    header.wRevision = WIN_CERT_REVISION_1_0;
    if (!trust.imageGetCertificateHeader(file, 0, &header))
        return;
    const uint32_t length = header.dwLength;
    if (length < 8 || length > kMaxPublisherCertificateBytes)
        return;
    // Room for the entry as the original sized it (its length and 9 bytes more), in a block
    // aligned for the header record.
    uint32_t room = length + 9;
    std::unique_ptr<uint32_t[]> block(new uint32_t[room / 4 + 1]());
    auto* certificate = reinterpret_cast<WIN_CERTIFICATE*>(block.get());
    if (!trust.imageGetCertificateData(file, 0, certificate, &room) || room != length ||
        certificate->dwLength != length) {
        return;
    }

    verdict->failure = PublisherFailure::kSignatureInvalid;
    CRYPT_VERIFY_MESSAGE_PARA parameters{};
    parameters.cbSize = sizeof parameters;
    parameters.dwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    const CERT_CONTEXT* signerContext = nullptr;
    const uint8_t* signedBlob = reinterpret_cast<const uint8_t*>(certificate) + 8;
    if (!trust.cryptVerifyMessageSignature(&parameters, 0, signedBlob, length - 8, nullptr, nullptr,
                                           &signerContext) ||
        signerContext == nullptr) {
        return;
    }
    std::unique_ptr<const CERT_CONTEXT, ContextFree> signer(
        signerContext, ContextFree{trust.certFreeCertificateContext});

    verdict->failure = PublisherFailure::kWrongSigner;
    uint32_t size = trust.certGetNameStringA(signer.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0,
                                             nullptr, nullptr, 0);
    if (size == 0 || size > kMaxPublisherCertificateBytes)
        return;
    std::string name(size, '\0');
    if (trust.certGetNameStringA(signer.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr,
                                 name.data(), size) != size ||
        name[size - 1] != '\0') {
        return;
    }
    name.pop_back();  // the NUL; any other NUL stays and the comparison below fails
    storeSigner(name, verdict);
    if (name.size() == sizeof kPublisherName - 1 &&
        std::memcmp(name.data(), kPublisherName, name.size()) == 0 &&
        std::strlen(name.c_str()) == name.size()) {
        verdict->failure = PublisherFailure::kNone;
    }
}

}  // namespace

void setTrustLibraryForTesting(const char* file) {
    Override& state = trustOverride();
    std::lock_guard<std::mutex> hold(state.lock);
    state.file = file != nullptr ? file : "";
}

const char* publisherFailureName(PublisherFailure failure) {
    switch (failure) {
        case PublisherFailure::kNone:
            return "passed";
        case PublisherFailure::kNullPath:
            return "no path";
        case PublisherFailure::kLibraryMissing:
            return "trust services not installed";
        case PublisherFailure::kEntryMissing:
            return "trust services incomplete";
        case PublisherFailure::kRootsUnavailable:
            return "trust roots unreadable";
        case PublisherFailure::kCannotOpen:
            return "file cannot be opened";
        case PublisherFailure::kNotTrusted:
            return "signature not trusted";
        case PublisherFailure::kCertificateCount:
            return "not exactly one signature";
        case PublisherFailure::kCertificateUnreadable:
            return "signature unreadable";
        case PublisherFailure::kSignatureInvalid:
            return "signature invalid";
        case PublisherFailure::kWrongSigner:
            return "wrong signer";
    }
    return "unknown";
}

uint32_t verifyPublisherSignatureFd(int fd, const char* path, PublisherVerdict* verdict) {
    PublisherVerdict local;
    PublisherVerdict& result = verdict != nullptr ? *verdict : local;
    result = PublisherVerdict{};
    if (path == nullptr) {
        result.status = kPublisherNullPath;
        result.failure = PublisherFailure::kNullPath;
        return result.status;
    }
    result.status = kPublisherNotPassed;

    TrustServices trust;
    if (PublisherFailure failure = trust.load(); failure != PublisherFailure::kNone) {
        result.status = kPublisherUnavailable;
        result.failure = failure;
        return result.status;
    }

    // The trust services take a null handle for "none", so descriptor 0 travels as a copy.
    int ownFd = -1;
    if (fd < 0) {
        ownFd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (ownFd < 0) {
            result.failure = PublisherFailure::kCannotOpen;
            return result.status;
        }
        fd = ownFd;
    }
    if (fd == 0) {
        int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 1);
        if (ownFd >= 0)
            ::close(ownFd);
        ownFd = copy;
        fd = copy;
        if (fd < 0) {
            result.failure = PublisherFailure::kCannotOpen;
            return result.status;
        }
    }
    judge(trust, fd, path, &result);
    if (ownFd >= 0)
        ::close(ownFd);
    if (result.failure == PublisherFailure::kNone)
        result.status = kPublisherPassed;
    else if (result.failure == PublisherFailure::kRootsUnavailable)
        result.status = kPublisherUnavailable;
    return result.status;
}

uint32_t VerifyPublisherSignature(const char* path) {
    return verifyPublisherSignatureFd(-1, path, nullptr);
}

}  // namespace nvl::signature
