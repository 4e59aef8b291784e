#include "crypto.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace console {

namespace {

constexpr uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr uint32_t rotateRight(uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

class Sha256 {
  public:
    void update(const unsigned char* data, size_t size) {
        length_ += size;
        while (size > 0) {
            size_t take = std::min(size, sizeof block_ - used_);
            std::memcpy(block_ + used_, data, take);
            used_ += take;
            data += take;
            size -= take;
            if (used_ == sizeof block_) {
                compress();
                used_ = 0;
            }
        }
    }

    Sha256Digest finish() {
        uint64_t bits = length_ * 8;
        unsigned char pad = 0x80;
        update(&pad, 1);
        unsigned char zero = 0;
        while (used_ != 56)
            update(&zero, 1);
        unsigned char lengthBytes[8];
        for (int i = 0; i < 8; ++i)
            lengthBytes[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
        update(lengthBytes, 8);
        Sha256Digest digest;
        for (int i = 0; i < 8; ++i) {
            for (int k = 0; k < 4; ++k)
                digest[4 * i + k] = static_cast<unsigned char>(state_[i] >> (24 - 8 * k));
        }
        return digest;
    }

  private:
    void compress() {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i) {
            w[i] = static_cast<uint32_t>(block_[4 * i]) << 24 |
                   static_cast<uint32_t>(block_[4 * i + 1]) << 16 |
                   static_cast<uint32_t>(block_[4 * i + 2]) << 8 | block_[4 * i + 3];
        }
        for (int i = 16; i < 64; ++i) {
            uint32_t s0 = rotateRight(w[i - 15], 7) ^ rotateRight(w[i - 15], 18) ^ (w[i - 15] >> 3);
            uint32_t s1 = rotateRight(w[i - 2], 17) ^ rotateRight(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
        uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
        for (int i = 0; i < 64; ++i) {
            uint32_t s1 = rotateRight(e, 6) ^ rotateRight(e, 11) ^ rotateRight(e, 25);
            uint32_t choose = (e & f) ^ (~e & g);
            uint32_t t1 = h + s1 + choose + kRoundConstants[i] + w[i];
            uint32_t s0 = rotateRight(a, 2) ^ rotateRight(a, 13) ^ rotateRight(a, 22);
            uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
            uint32_t t2 = s0 + majority;
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state_[0] += a;
        state_[1] += b;
        state_[2] += c;
        state_[3] += d;
        state_[4] += e;
        state_[5] += f;
        state_[6] += g;
        state_[7] += h;
    }

    uint32_t state_[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                          0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    unsigned char block_[64] = {};
    size_t used_ = 0;
    uint64_t length_ = 0;
};

const unsigned char* bytes(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

}  // namespace

Sha256Digest sha256(std::string_view data) {
    Sha256 hash;
    hash.update(bytes(data), data.size());
    return hash.finish();
}

Sha256Digest hmacSha256(std::string_view key, std::string_view message) {
    constexpr size_t kBlock = 64;
    unsigned char block[kBlock] = {};
    if (key.size() > kBlock) {
        Sha256Digest shortened = sha256(key);
        std::memcpy(block, shortened.data(), shortened.size());
    } else {
        std::memcpy(block, key.data(), key.size());
    }
    unsigned char inner[kBlock], outer[kBlock];
    for (size_t i = 0; i < kBlock; ++i) {
        inner[i] = static_cast<unsigned char>(block[i] ^ 0x36);
        outer[i] = static_cast<unsigned char>(block[i] ^ 0x5c);
    }
    Sha256 first;
    first.update(inner, kBlock);
    first.update(bytes(message), message.size());
    Sha256Digest innerDigest = first.finish();
    Sha256 second;
    second.update(outer, kBlock);
    second.update(innerDigest.data(), innerDigest.size());
    return second.finish();
}

std::string base64(const unsigned char* data, size_t size) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    for (size_t i = 0; i < size; i += 3) {
        uint32_t group = static_cast<uint32_t>(data[i]) << 16;
        if (i + 1 < size)
            group |= static_cast<uint32_t>(data[i + 1]) << 8;
        if (i + 2 < size)
            group |= data[i + 2];
        out += kAlphabet[(group >> 18) & 63];
        out += kAlphabet[(group >> 12) & 63];
        out += i + 1 < size ? kAlphabet[(group >> 6) & 63] : '=';
        out += i + 2 < size ? kAlphabet[group & 63] : '=';
    }
    return out;
}

std::string hex(const unsigned char* data, size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 15];
    }
    return out;
}

bool sameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

}  // namespace console
