// nvl-sign-appended: appends the signature that the cleaner library checks before it accepts the
// cleaner executable (signature/appended_signature.h), and checks files against the build's key.
//
//   nvl-sign-appended --key PRIVATE_PEM [--force] INPUT [OUTPUT]
//   nvl-sign-appended --verify FILE
//
// Signing: the whole of INPUT is the signed content. Its MD5 digest is signed with the RSA
// private key (PKCS #1 v1.5, so the signature is as long as the modulus, at most 128 bytes for
// the verifier's 1024-bit limit) and the signature and its length (32-bit little-endian) are
// appended. The result goes to OUTPUT, or replaces INPUT when no OUTPUT is given; either way it
// is written to a temporary file in the same directory, checked with the verifier of the
// library, flushed and renamed into place, so a reader sees the old file or the signed one,
// never a part. The file keeps INPUT's permission bits.
//
// An INPUT that already ends in a signature this key makes valid is refused: a second
// signature over the first would verify, but the file would carry the first one as content for
// ever. --force signs it all the same. (A trailer made by another key cannot be told from
// content, so nothing else is refused.)
//
// Checking: --verify prints the result of the library's VerifyAppendedSignature, which checks
// with the key the library was built with: "valid" (1), "invalid" (0), "unreadable" (-1).
//
// Encrypted private keys are refused rather than prompted for (the command runs in builds).
// Exit status: 0 signed or valid, 1 refused, failed or not valid, 2 usage.
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "signature/appended_signature.h"

namespace {

using nvl::signature::RsaPublicKey;

constexpr int kMaxBits = 1024;
constexpr int kMinBits = 353;  // room for PKCS #1 v1.5 padding around an MD5 DigestInfo

int usage(FILE* to) {
    std::fputs(
        "usage: nvl-sign-appended --key PRIVATE_PEM [--force] INPUT [OUTPUT]\n"
        "       nvl-sign-appended --verify FILE\n"
        "\n"
        "Appends an RSA signature (PKCS #1 v1.5 over the MD5 digest of the whole file) and its\n"
        "length (32-bit little-endian) to INPUT, writing OUTPUT, or INPUT itself when OUTPUT is\n"
        "not given; the file is replaced atomically. The key is an unencrypted RSA private key\n"
        "in PEM of 353 to 1024 bits. An INPUT that already carries a signature valid under this\n"
        "key is refused unless --force is given.\n"
        "\n"
        "--verify checks FILE with the key the library was built with and prints valid (exit 0),\n"
        "invalid or unreadable (exit 1).\n",
        to);
    return to == stdout ? 0 : 2;
}

void printOpenSslError(const char* what) {
    unsigned long code = ERR_get_error();
    char text[256] = "";
    if (code != 0)
        ERR_error_string_n(code, text, sizeof text);
    std::fprintf(stderr, "nvl-sign-appended: %s%s%s\n", what, code != 0 ? ": " : "", text);
}

int refusePassword(char*, int, int, void*) {
    return -1;
}

EVP_PKEY* loadPrivateKey(const char* path) {
    BIO* bio = BIO_new_file(path, "r");
    if (bio == nullptr) {
        std::fprintf(stderr, "nvl-sign-appended: cannot open %s: %s\n", path, std::strerror(errno));
        return nullptr;
    }
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, refusePassword, nullptr);
    BIO_free(bio);
    if (key == nullptr) {
        printOpenSslError("no unencrypted private key in PEM");
        return nullptr;
    }
    int bits = EVP_PKEY_get_bits(key);
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA || bits < kMinBits || bits > kMaxBits) {
        std::fprintf(stderr, "nvl-sign-appended: the key must be RSA of %d to %d bits\n", kMinBits,
                     kMaxBits);
        EVP_PKEY_free(key);
        return nullptr;
    }
    return key;
}

// The key's public half in the verifier's form.
bool publicKeyOf(EVP_PKEY* key, RsaPublicKey* out) {
    BIGNUM* n = nullptr;
    BIGNUM* e = nullptr;
    bool ok = EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n) == 1 &&
              EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e) == 1 &&
              BN_bn2binpad(n, out->modulus, sizeof out->modulus) == sizeof out->modulus &&
              BN_bn2binpad(e, out->exponent, sizeof out->exponent) == sizeof out->exponent;
    if (ok)
        out->bits = static_cast<uint16_t>(BN_num_bits(n));
    BN_free(n);
    BN_free(e);
    return ok;
}

bool writeAll(int fd, const unsigned char* data, size_t length) {
    while (length != 0) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Copies the input to `out` through the signer, then appends signature and length.
bool copyAndSign(int in, int out, EVP_PKEY* key) {
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    bool ok = md != nullptr && EVP_DigestSignInit(md, nullptr, EVP_md5(), nullptr, key) == 1;
    if (!ok)
        printOpenSslError("cannot start an MD5 signature");
    std::vector<unsigned char> buffer(64 * 1024);
    off_t offset = 0;
    while (ok) {
        ssize_t n = ::pread(in, buffer.data(), buffer.size(), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            std::fprintf(stderr, "nvl-sign-appended: read: %s\n", std::strerror(errno));
            ok = false;
        } else if (n == 0) {
            break;
        } else if (EVP_DigestSignUpdate(md, buffer.data(), static_cast<size_t>(n)) != 1 ||
                   !writeAll(out, buffer.data(), static_cast<size_t>(n))) {
            std::fprintf(stderr, "nvl-sign-appended: cannot copy the input\n");
            ok = false;
        }
        offset += n;
    }
    unsigned char signature[kMaxBits / 8 + 1];
    size_t length = sizeof signature;
    if (ok && EVP_DigestSignFinal(md, signature, &length) != 1) {
        printOpenSslError("cannot sign");
        ok = false;
    }
    if (ok) {
        unsigned char trailer[4] = {
            static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
            static_cast<unsigned char>(length >> 16), static_cast<unsigned char>(length >> 24)};
        ok = writeAll(out, signature, length) && writeAll(out, trailer, sizeof trailer);
        if (!ok)
            std::fprintf(stderr, "nvl-sign-appended: write: %s\n", std::strerror(errno));
    }
    EVP_MD_CTX_free(md);
    return ok;
}

int sign(const char* keyPath, bool force, const std::string& input, const std::string& output) {
    EVP_PKEY* key = loadPrivateKey(keyPath);
    if (key == nullptr)
        return 1;
    RsaPublicKey publicKey{};
    int status = 1;
    int in = ::open(input.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st {};
    if (in < 0 || ::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "nvl-sign-appended: %s is not a readable file\n", input.c_str());
    } else if (!publicKeyOf(key, &publicKey)) {
        printOpenSslError("cannot read the key's public half");
    } else if (!force && nvl::signature::verifyAppendedSignatureFdWithKey(in, publicKey) == 1) {
        std::fprintf(stderr,
                     "nvl-sign-appended: %s already carries a valid signature of this key "
                     "(--force signs it again)\n",
                     input.c_str());
    } else {
        std::string temporary = directoryOf(output) + "/.nvl-sign-XXXXXX";
        int out = ::mkstemp(temporary.data());
        if (out < 0) {
            std::fprintf(stderr, "nvl-sign-appended: cannot create a file beside %s: %s\n",
                         output.c_str(), std::strerror(errno));
        } else {
            bool ok = ::fchmod(out, st.st_mode & 07777) == 0 && copyAndSign(in, out, key);
            if (ok && nvl::signature::verifyAppendedSignatureFdWithKey(out, publicKey) != 1) {
                std::fprintf(stderr, "nvl-sign-appended: the signed file does not verify\n");
                ok = false;
            }
            ok = ok && ::fsync(out) == 0;
            ok = ::close(out) == 0 && ok;
            if (ok && ::rename(temporary.c_str(), output.c_str()) != 0) {
                std::fprintf(stderr, "nvl-sign-appended: cannot write %s: %s\n", output.c_str(),
                             std::strerror(errno));
                ok = false;
            }
            if (!ok)
                ::unlink(temporary.c_str());
            status = ok ? 0 : 1;
        }
    }
    if (in >= 0)
        ::close(in);
    EVP_PKEY_free(key);
    return status;
}

int verify(const char* path) {
    int result = nvl::signature::VerifyAppendedSignature(path);
    std::puts(result == 1 ? "valid" : result == 0 ? "invalid" : "unreadable");
    return result == 1 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const char* key = nullptr;
    const char* verifyPath = nullptr;
    bool force = false;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h")
            return usage(stdout);
        if (arg == "--key" && i + 1 < argc) {
            key = argv[++i];
        } else if (arg == "--verify" && i + 1 < argc) {
            verifyPath = argv[++i];
        } else if (arg == "--force") {
            force = true;
        } else if (arg == "--") {
            for (++i; i < argc; ++i)
                files.emplace_back(argv[i]);
        } else if (!arg.empty() && arg[0] == '-') {
            return usage(stderr);
        } else {
            files.emplace_back(arg);
        }
    }
    if (verifyPath != nullptr)
        return key == nullptr && !force && files.empty() ? verify(verifyPath) : usage(stderr);
    if (key == nullptr || files.empty() || files.size() > 2)
        return usage(stderr);
    return sign(key, force, files[0], files.size() == 2 ? files[1] : files[0]);
}
