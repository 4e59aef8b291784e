// Build-time generator of CleanerSigningKey (signature/signature_verifier.h).
//
// Reads an RSA public key in PEM (SubjectPublicKeyInfo, "BEGIN PUBLIC KEY", as `openssl rsa
// -pubout` writes it) and writes a C++ source that defines the key in the verifier's 258-byte
// form: the modulus's bit count, then modulus and public exponent as 128-byte big-endian
// numbers, right-aligned. Only the generator links OpenSSL; the library gets a constant.
//
// Usage: signing_key_gen PUBLIC.pem OUTPUT.cpp
// Exits non-zero, writing nothing, when the file holds no RSA public key, or one the verifier
// cannot use: more than 1024 bits, or too short for a PKCS #1 v1.5 block around an MD5
// DigestInfo (45 bytes, 353 bits). A private key is refused too, so that one named by mistake
// never reaches a build's sources, not even in part. The output is written to a temporary file
// and renamed into place.

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

constexpr int kMaxBits = 1024;
constexpr int kMinBits = 353;  // 11 bytes of PKCS #1 v1.5 overhead + 34 bytes of DigestInfo
constexpr int kFieldBytes = 128;

bool fileHoldsPrivateKey(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str().find("PRIVATE KEY") != std::string::npos;
}

// The number as a 128-byte big-endian array, or false when it does not fit.
bool toField(const BIGNUM* number, unsigned char out[kFieldBytes]) {
    return BN_bn2binpad(number, out, kFieldBytes) == kFieldBytes;
}

void writeArray(std::ostringstream& out, const unsigned char* bytes) {
    out << "    {";
    for (int i = 0; i < kFieldBytes; ++i) {
        if (i % 12 == 0)
            out << "\n        ";
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02x,", bytes[i]);
        out << hex << (i % 12 == 11 || i == kFieldBytes - 1 ? "" : " ");
    }
    out << "\n    },\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: signing_key_gen PUBLIC.pem OUTPUT.cpp\n");
        return 2;
    }
    const char* input = argv[1];
    std::string output = argv[2];
    if (fileHoldsPrivateKey(input)) {
        std::fprintf(stderr, "signing_key_gen: %s holds a private key; give the public key\n",
                     input);
        return 1;
    }

    BIO* bio = BIO_new_file(input, "r");
    EVP_PKEY* key = bio != nullptr ? PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    BIGNUM* n = nullptr;
    BIGNUM* e = nullptr;
    int status = 1;
    unsigned char modulus[kFieldBytes];
    unsigned char exponent[kFieldBytes];
    int bits = 0;
    if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
        std::fprintf(stderr, "signing_key_gen: %s holds no RSA public key in PEM\n", input);
    } else if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n) != 1 ||
               EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e) != 1) {
        std::fprintf(stderr, "signing_key_gen: cannot read the key's numbers\n");
    } else if ((bits = BN_num_bits(n)) > kMaxBits || bits < kMinBits) {
        std::fprintf(stderr, "signing_key_gen: a %d-bit key; the verifier takes %d to %d bits\n",
                     bits, kMinBits, kMaxBits);
    } else if (!toField(n, modulus) || !toField(e, exponent) || BN_is_zero(e)) {
        std::fprintf(stderr, "signing_key_gen: the key's numbers do not fit the key form\n");
    } else {
        std::ostringstream out;
        out << "// Generated at build time by signing_key_gen from the build's public key; do not "
               "edit.\n"
            << "#include \"signature/signature_verifier.h\"\n\n"
            << "namespace nvl::signature {\n\n"
            << "const RsaPublicKey CleanerSigningKey = {\n"
            << "    " << bits << ",\n";
        writeArray(out, modulus);
        writeArray(out, exponent);
        out << "};\n\n}  // namespace nvl::signature\n";

        std::string temporary = output + ".tmp";
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file << out.str();
        file.close();
        if (!file || std::rename(temporary.c_str(), output.c_str()) != 0) {
            std::fprintf(stderr, "signing_key_gen: cannot write %s\n", output.c_str());
            std::remove(temporary.c_str());
        } else {
            status = 0;
        }
    }
    BN_free(n);
    BN_free(e);
    EVP_PKEY_free(key);
    return status;
}
