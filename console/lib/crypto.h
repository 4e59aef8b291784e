// SHA-256 (FIPS 180-4), HMAC-SHA-256 (RFC 2104), base64 and hex: what the console needs for
// its form tokens and for the hashes of the inline scripts its pages allow. Small and
// self-contained, so no page loads a cryptography library to start.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace console {

using Sha256Digest = std::array<unsigned char, 32>;

Sha256Digest sha256(std::string_view data);
Sha256Digest hmacSha256(std::string_view key, std::string_view message);

// Standard base64 (RFC 4648 section 4) with padding.
std::string base64(const unsigned char* data, size_t size);
// Lower-case hex.
std::string hex(const unsigned char* data, size_t size);

// Equality of two texts that takes the same time wherever they differ (only their lengths
// leak).
bool sameText(std::string_view a, std::string_view b);

}  // namespace console
