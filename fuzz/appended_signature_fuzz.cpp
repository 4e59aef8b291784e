// The appended signature check on arbitrary files.
//
// Input: byte 0 chooses the key, the rest is the file (held in an anonymous memory file, read
// through the descriptor as the cleaner library reads the executable).
// - Even: the build's key (CleanerSigningKey). Nothing signed by it can be made here; the
//   check must give 0 or -1... never crash, never read outside the file.
// - Odd: a 520-bit key with public exponent 1, under which the block is the signature itself.
//   That lets mutations reach every check of the block (type, padding, its end, DigestInfo),
//   and the result must equal an independent reading of the format: trailer, block layout,
//   the DigestInfo of the content's MD5 (computed by the library's MD5, tested elsewhere
//   against OpenSSL).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "signature/appended_signature.h"

namespace {

using namespace nvl::signature;

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

// Modulus 2^520 - 1 (odd, 520 bits), exponent 1.
RsaPublicKey identityKey() {
    RsaPublicKey key{};
    key.bits = 520;
    std::memset(key.modulus + 128 - 65, 0xff, 65);
    key.exponent[127] = 1;
    return key;
}

// What the check must answer under the identity key, read straight from the format.
int expectedUnderIdentityKey(const std::string& file) {
    size_t size = file.size();
    if (size < 4)
        return 0;
    uint32_t n = 0;
    std::memcpy(&n, file.data() + size - 4, 4);  // little-endian host
    if (n == 0 || n >= size - 4 || n > 128)
        return 0;
    std::string signature = file.substr(size - 4 - n, n);
    if (n > 65)
        return 0;
    std::string block = std::string(65 - n, '\0') + signature;  // s^1 mod n = s when s < n
    if (block == std::string(65, '\xff'))
        return 0;  // equal to the modulus
    if (block[0] != 0 || block[1] != 1)
        return 0;
    size_t i = 2;
    while (i < 65 && block[i] == '\xff')
        ++i;
    if (i == 65 || block[i] != 0 || i - 2 < 8)
        return 0;
    std::string info = block.substr(i + 1);
    Md5State md5;
    uint8_t digest[16];
    md5Start(&md5);
    md5Feed(&md5, file.data(), size - 4 - n);
    md5Finish(&md5, digest);
    static const uint8_t kPrefix[18] = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                        0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
    std::string expected(reinterpret_cast<const char*>(kPrefix), sizeof kPrefix);
    expected.append(reinterpret_cast<const char*>(digest), sizeof digest);
    return info == expected ? 1 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    std::string file(reinterpret_cast<const char*>(data) + 1, size - 1);
    int fd = ::memfd_create("appended", MFD_CLOEXEC);
    if (fd < 0)
        return 0;
    if (::write(fd, file.data(), file.size()) != static_cast<ssize_t>(file.size())) {
        ::close(fd);
        return 0;
    }
    if ((data[0] & 1) == 0) {
        int result = verifyAppendedSignatureFd(fd);
        check(result == 0 || result == 1);
    } else {
        static const RsaPublicKey key = identityKey();
        check(verifyAppendedSignatureFdWithKey(fd, key) == expectedUnderIdentityKey(file));
    }
    ::close(fd);
    return 0;
}
