// wintrust.so, loaded as the library loads it: what it exports, the arguments WinVerifyTrust
// takes (a descriptor before a path, the roots it must be able to read), the certificate table
// of an image through the Image* calls, the signed message and its signer's name.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "trust/signing_support.h"
#include "wintrust.h"

namespace {

using namespace nvl::test::signing;

struct Services {
    Services() {
        lib = ::dlopen(WINTRUST_SO, RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr)
            return;
        bind(verifyTrust, "WinVerifyTrust");
        bind(enumerate, "ImageEnumerateCertificates");
        bind(header, "ImageGetCertificateHeader");
        bind(data, "ImageGetCertificateData");
        bind(verifyMessage, "CryptVerifyMessageSignature");
        bind(name, "CertGetNameStringA");
        bind(freeContext, "CertFreeCertificateContext");
    }
    ~Services() {
        if (lib != nullptr)
            ::dlclose(lib);
    }
    template <class F>
    void bind(F& f, const char* symbol) {
        f = reinterpret_cast<F>(::dlsym(lib, symbol));
        ASSERT_NE(f, nullptr) << symbol;
    }

    void* lib = nullptr;
    decltype(&WinVerifyTrust) verifyTrust = nullptr;
    decltype(&ImageEnumerateCertificates) enumerate = nullptr;
    decltype(&ImageGetCertificateHeader) header = nullptr;
    decltype(&ImageGetCertificateData) data = nullptr;
    decltype(&CryptVerifyMessageSignature) verifyMessage = nullptr;
    decltype(&CertGetNameStringA) name = nullptr;
    decltype(&CertFreeCertificateContext) freeContext = nullptr;
};

class WinTrustTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(services.lib, nullptr) << ::dlerror();
        ::setenv("NVL_TRUST_ROOTS", trustRoots().c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("NVL_TRUST_ROOTS");
        for (int fd : fds)
            ::close(fd);
    }

    int open(const std::string& file) {
        int fd = ::open((executables() + file).c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_GE(fd, 0) << file;
        fds.push_back(fd);
        return fd;
    }

    // WinVerifyTrust as the publisher check calls it, on a descriptor and/or a path.
    int32_t verify(int fd, const std::u16string* path = nullptr) {
        WINTRUST_FILE_INFO file{};
        file.cbStruct = sizeof file;
        file.pcwszFilePath = path != nullptr ? path->c_str() : nullptr;
        file.hFile = fd >= 0 ? NVL_FD_HANDLE(fd) : nullptr;
        WINTRUST_DATA data{};
        data.cbStruct = sizeof data;
        data.dwUIChoice = WTD_UI_NONE;
        data.dwUnionChoice = WTD_CHOICE_FILE;
        data.pFile = &file;
        TRUST_GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        return services.verifyTrust(NVL_FD_HANDLE(-1), &action, &data);
    }

    // The one certificate of `file` and the signer it verifies to (null when it does not).
    const CERT_CONTEXT* signerOf(const std::string& file) {
        int fd = open(file);
        WIN_CERTIFICATE head{};
        if (!services.header(NVL_FD_HANDLE(fd), 0, &head))
            return nullptr;
        std::vector<uint32_t> block(head.dwLength / 4 + 3);
        uint32_t room = static_cast<uint32_t>(block.size() * 4);
        auto* entry = reinterpret_cast<WIN_CERTIFICATE*>(block.data());
        if (!services.data(NVL_FD_HANDLE(fd), 0, entry, &room))
            return nullptr;
        CRYPT_VERIFY_MESSAGE_PARA para{};
        para.cbSize = sizeof para;
        para.dwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
        const CERT_CONTEXT* signer = nullptr;
        services.verifyMessage(&para, 0, entry->bCertificate, head.dwLength - 8, nullptr, nullptr,
                               &signer);
        return signer;
    }

    Services services;
    std::vector<int> fds;
};

TEST_F(WinTrustTest, ExportsTheSevenEntryPointsAndNothingElse) {
    FILE* nm = ::popen("nm -D --defined-only '" WINTRUST_SO "'", "r");
    ASSERT_NE(nm, nullptr);
    std::vector<std::string> names;
    char line[512];
    while (std::fgets(line, sizeof line, nm) != nullptr) {
        std::string text(line);
        names.push_back(text.substr(text.rfind(' ') + 1, text.size() - text.rfind(' ') - 2));
    }
    ::pclose(nm);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names,
              (std::vector<std::string>{"CertFreeCertificateContext", "CertGetNameStringA",
                                        "CryptVerifyMessageSignature", "ImageEnumerateCertificates",
                                        "ImageGetCertificateData", "ImageGetCertificateHeader",
                                        "WinVerifyTrust"}));
}

TEST_F(WinTrustTest, JudgesAFileByDescriptorOrPath) {
    std::u16string good = u"", unsignedPath = u"";
    for (char c : executables() + "pub-good.exe")
        good += static_cast<char16_t>(c);
    for (char c : executables() + "qxc-3.10.exe")
        unsignedPath += static_cast<char16_t>(c);
    int goodFd = open("pub-good.exe");
    int unsignedFd = open("qxc-3.10.exe");

    EXPECT_EQ(verify(goodFd), 0);
    EXPECT_EQ(verify(-1, &good), 0);
    EXPECT_EQ(verify(unsignedFd), TRUST_E_NOSIGNATURE);
    // The descriptor is the file judged; the path only names it.
    EXPECT_EQ(verify(goodFd, &unsignedPath), 0);
    EXPECT_EQ(verify(unsignedFd, &good), TRUST_E_NOSIGNATURE);
    // Its offset is neither used nor moved.
    ASSERT_EQ(::lseek(goodFd, 123, SEEK_SET), 123);
    EXPECT_EQ(verify(goodFd), 0);
    EXPECT_EQ(::lseek(goodFd, 0, SEEK_CUR), 123);

    std::u16string missing = u"/nonexistent/pub-good.exe";
    EXPECT_EQ(verify(-1, &missing), CRYPT_E_FILE_ERROR);
    EXPECT_EQ(verify(-1), E_INVALIDARG);
    int directory = ::open(CGISHARE_BINARY_DIR, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    fds.push_back(directory);
    EXPECT_EQ(verify(directory), TRUST_E_SUBJECT_FORM_UNKNOWN);
}

TEST_F(WinTrustTest, RefusesWhatItDoesNotDo) {
    int fd = open("pub-good.exe");
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof file;
    file.hFile = NVL_FD_HANDLE(fd);
    WINTRUST_DATA data{};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    TRUST_GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    TRUST_GUID other = action;
    other.Data4[7] ^= 1;

    EXPECT_EQ(services.verifyTrust(nullptr, &action, &data), 0);
    EXPECT_EQ(services.verifyTrust(nullptr, &other, &data), TRUST_E_ACTION_UNKNOWN);
    EXPECT_EQ(services.verifyTrust(nullptr, nullptr, &data), TRUST_E_ACTION_UNKNOWN);
    EXPECT_EQ(services.verifyTrust(nullptr, &action, nullptr), E_INVALIDARG);
    struct Change {
        void (*apply)(WINTRUST_DATA*, WINTRUST_FILE_INFO*);
        int32_t result;
    } changes[] = {
        {[](WINTRUST_DATA* d, WINTRUST_FILE_INFO*) { d->cbStruct = 16; }, E_INVALIDARG},
        {[](WINTRUST_DATA* d, WINTRUST_FILE_INFO*) { d->dwUnionChoice = 2; },
         TRUST_E_SUBJECT_FORM_UNKNOWN},
        {[](WINTRUST_DATA* d, WINTRUST_FILE_INFO*) { d->dwStateAction = 1; }, E_INVALIDARG},
        {[](WINTRUST_DATA*, WINTRUST_FILE_INFO* f) { f->cbStruct = 8; }, E_INVALIDARG},
        {[](WINTRUST_DATA*, WINTRUST_FILE_INFO* f) {
             static const TRUST_GUID subject{};
             f->pgKnownSubject = &subject;
         },
         TRUST_E_SUBJECT_FORM_UNKNOWN},
    };
    for (const Change& change : changes) {
        WINTRUST_DATA d = data;
        WINTRUST_FILE_INFO f = file;
        d.pFile = &f;
        change.apply(&d, &f);
        EXPECT_EQ(services.verifyTrust(nullptr, &action, &d), change.result);
    }
}

// Without readable roots no file can be judged, a good one included.
TEST_F(WinTrustTest, RootsThatCannotBeReadGiveTheirOwnCode) {
    int fd = open("pub-good.exe");
    ScratchDir scratch;
    std::string empty = scratch.path + "/empty.pem";
    writeBytes(empty, {});
    for (const std::string& roots : {scratch.path + "/missing.pem", empty, scratch.path}) {
        ::setenv("NVL_TRUST_ROOTS", roots.c_str(), 1);
        EXPECT_EQ(verify(fd), NVL_TRUST_E_ROOTS_UNAVAILABLE) << roots;
    }
    // Another root than the signer's: read, but untrusted.
    ::setenv("NVL_TRUST_ROOTS", (pki() + "other-root.pem").c_str(), 1);
    EXPECT_EQ(verify(fd), CERT_E_UNTRUSTEDROOT);
}

TEST_F(WinTrustTest, CertificateTableThroughTheImageCalls) {
    int two = open("pub-two-entries.exe");
    uint32_t count = 99;
    uint32_t indices[4] = {9, 9, 9, 9};
    ASSERT_TRUE(services.enumerate(NVL_FD_HANDLE(two), CERT_SECTION_TYPE_ANY, &count, indices, 1));
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(indices[0], 0u);
    EXPECT_EQ(indices[1], 9u);  // no room for more
    ASSERT_TRUE(
        services.enumerate(NVL_FD_HANDLE(two), WIN_CERT_TYPE_PKCS_SIGNED_DATA, &count, indices, 4));
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(indices[1], 1u);
    ASSERT_TRUE(services.enumerate(NVL_FD_HANDLE(two), 0x0001, &count, nullptr, 0));
    EXPECT_EQ(count, 0u);

    int good = open("pub-good.exe");
    WIN_CERTIFICATE head{};
    head.wRevision = WIN_CERT_REVISION_1_0;  // asked for; what the file holds comes back
    ASSERT_TRUE(services.header(NVL_FD_HANDLE(good), 0, &head));
    EXPECT_EQ(head.wRevision, WIN_CERT_REVISION_2_0);
    EXPECT_EQ(head.wCertificateType, WIN_CERT_TYPE_PKCS_SIGNED_DATA);
    EXPECT_GT(head.dwLength, 1000u);
    EXPECT_FALSE(services.header(NVL_FD_HANDLE(good), 1, &head));

    std::vector<uint8_t> bytes = readBytes(executables() + "pub-good.exe");
    std::vector<uint32_t> block(head.dwLength / 4 + 3, 0);
    uint32_t room = head.dwLength - 1;
    auto* entry = reinterpret_cast<WIN_CERTIFICATE*>(block.data());
    EXPECT_FALSE(services.data(NVL_FD_HANDLE(good), 0, entry, &room));
    EXPECT_EQ(room, head.dwLength);  // what it needs
    room = head.dwLength + 9;
    ASSERT_TRUE(services.data(NVL_FD_HANDLE(good), 0, entry, &room));
    EXPECT_EQ(room, head.dwLength);
    // The entry is the one the security directory names: the table is the file's end.
    size_t table = bytes.size() - ((head.dwLength + 7u) & ~7u);
    EXPECT_EQ(std::memcmp(entry, bytes.data() + table, head.dwLength), 0);

    int plain = open("qxc-3.10.exe");
    ASSERT_TRUE(
        services.enumerate(NVL_FD_HANDLE(plain), CERT_SECTION_TYPE_ANY, &count, nullptr, 0));
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(services.header(NVL_FD_HANDLE(plain), 0, &head));
    int notPe = ::open(WINTRUST_SO, O_RDONLY | O_CLOEXEC);
    fds.push_back(notPe);
    EXPECT_FALSE(
        services.enumerate(NVL_FD_HANDLE(notPe), CERT_SECTION_TYPE_ANY, &count, nullptr, 0));
    EXPECT_FALSE(services.enumerate(NVL_FD_HANDLE(-1), CERT_SECTION_TYPE_ANY, &count, nullptr, 0));
}

TEST_F(WinTrustTest, SignedMessageAndSignerName) {
    const CERT_CONTEXT* signer = signerOf("pub-nodot.exe");
    ASSERT_NE(signer, nullptr);
    EXPECT_EQ(services.name(signer, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0), 17u);
    char text[32];
    EXPECT_EQ(services.name(signer, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, text, sizeof text),
              17u);
    EXPECT_STREQ(text, "Halden Labs, Inc");
    EXPECT_EQ(services.name(signer, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, text, 7), 17u);
    EXPECT_STREQ(text, "Halden");  // cut to fit, terminated
    EXPECT_EQ(services.name(signer, CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG, nullptr,
                            text, sizeof text),
              30u);
    EXPECT_STREQ(text, "Norvel Test Code Signing Root");
    EXPECT_EQ(services.name(signer, 1, 0, nullptr, text, sizeof text), 1u);  // another type
    EXPECT_STREQ(text, "");
    EXPECT_TRUE(services.freeContext(signer));
    EXPECT_TRUE(services.freeContext(nullptr));
    EXPECT_EQ(services.name(nullptr, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0), 1u);

    // The message alone does not care for the chain: the untrusted signer's message verifies.
    signer = signerOf("pub-untrusted.exe");
    EXPECT_NE(signer, nullptr);
    services.freeContext(signer);
    EXPECT_EQ(signerOf("pub-tamper-sig.exe"), nullptr);
}

TEST_F(WinTrustTest, MessageArguments) {
    int fd = open("pub-good.exe");
    WIN_CERTIFICATE head{};
    ASSERT_TRUE(services.header(NVL_FD_HANDLE(fd), 0, &head));
    std::vector<uint32_t> block(head.dwLength / 4 + 3);
    uint32_t room = static_cast<uint32_t>(block.size() * 4);
    auto* entry = reinterpret_cast<WIN_CERTIFICATE*>(block.data());
    ASSERT_TRUE(services.data(NVL_FD_HANDLE(fd), 0, entry, &room));
    const uint8_t* blob = entry->bCertificate;
    const uint32_t size = head.dwLength - 8;
    CRYPT_VERIFY_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

    // The content: its size first, then the content, which is the SpcIndirectDataContent's
    // value (it begins with the SpcAttributeTypeAndOptionalValue SEQUENCE).
    uint32_t contentSize = 0;
    ASSERT_TRUE(services.verifyMessage(&para, 0, blob, size, nullptr, &contentSize, nullptr));
    ASSERT_GT(contentSize, 40u);
    std::vector<uint8_t> content(contentSize);
    uint32_t small = contentSize - 1;
    EXPECT_FALSE(services.verifyMessage(&para, 0, blob, size, content.data(), &small, nullptr));
    ASSERT_TRUE(
        services.verifyMessage(&para, 0, blob, size, content.data(), &contentSize, nullptr));
    EXPECT_EQ(content[0], 0x30);

    const CERT_CONTEXT* signer = reinterpret_cast<const CERT_CONTEXT*>(1);
    EXPECT_FALSE(services.verifyMessage(&para, 1, blob, size, nullptr, nullptr, &signer));
    EXPECT_EQ(signer, nullptr);
    EXPECT_FALSE(services.verifyMessage(nullptr, 0, blob, size, nullptr, nullptr, &signer));
    EXPECT_FALSE(services.verifyMessage(&para, 0, nullptr, size, nullptr, nullptr, &signer));

    // The message is one DER SEQUENCE (30 82 hi lo); up to 7 zero bytes may follow it.
    ASSERT_EQ(blob[0], 0x30);
    ASSERT_EQ(blob[1], 0x82);
    const uint32_t der = 4u + (uint32_t{blob[2]} << 8 | blob[3]);
    ASSERT_LE(der, size);
    std::vector<uint8_t> copy(blob, blob + der);
    copy.resize(der + 7, 0);
    EXPECT_TRUE(services.verifyMessage(&para, 0, copy.data(), der + 7, nullptr, nullptr, nullptr));
    EXPECT_TRUE(services.verifyMessage(&para, 0, copy.data(), der, nullptr, nullptr, nullptr));
    EXPECT_FALSE(services.verifyMessage(&para, 0, copy.data(), der - 1, nullptr, nullptr, nullptr));
    copy.push_back(0);
    EXPECT_FALSE(services.verifyMessage(&para, 0, copy.data(), der + 8, nullptr, nullptr, nullptr));
    copy[der + 3] = 1;
    EXPECT_FALSE(services.verifyMessage(&para, 0, copy.data(), der + 7, nullptr, nullptr, nullptr));
    CRYPT_VERIFY_MESSAGE_PARA wrong = para;
    wrong.dwMsgAndCertEncodingType = X509_ASN_ENCODING;
    EXPECT_FALSE(services.verifyMessage(&wrong, 0, blob, size, nullptr, nullptr, &signer));
    wrong = para;
    wrong.cbSize = 20;  // the original's size: this platform's record is larger
    EXPECT_FALSE(services.verifyMessage(&wrong, 0, blob, size, nullptr, nullptr, &signer));
}

// A signer whose name holds a NUL behind the publisher's name: the size reported counts the
// whole name, so a caller that compares sizes never takes it for the publisher.
TEST_F(WinTrustTest, NameWithEmbeddedNulKeepsItsSize) {
    Cert root = readCert(pki() + "root.pem");
    Key rootKey = readKey(pki() + "root.key");
    Key signerKey = readKey(pki() + "leaf.key");
    ASSERT_TRUE(root && rootKey && signerKey);
    const std::string name("Halden Labs, Inc.\0evil", 22);
    CertSpec spec;
    spec.subject = {{NID_commonName, V_ASN1_UTF8STRING, name}};
    Cert cert = makeCert(spec, signerKey.get(), root.get(), rootKey.get());
    unsigned char* der = nullptr;
    int length = i2d_X509(cert.get(), &der);
    ASSERT_GT(length, 0);
    CERT_CONTEXT context{};
    context.dwCertEncodingType = X509_ASN_ENCODING;
    context.pbCertEncoded = der;
    context.cbCertEncoded = static_cast<uint32_t>(length);
    char text[64];
    EXPECT_EQ(services.name(&context, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, text, sizeof text),
              23u);
    EXPECT_EQ(std::string(text, 23), name + '\0');
    OPENSSL_free(der);
}

}  // namespace
