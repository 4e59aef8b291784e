// Message digests: MD2 (RFC 1319), MD4 (RFC 1320), MD5 (RFC 1321) and SHA-1 (FIPS 180-1),
// the library's own code, for the signature check of the cleaner executable.
//
// Each digest has its own state and three operations: start, feed (any number of times, pieces
// of any length, also 0) and finish, which writes the digest and leaves the state wiped (start
// it again to reuse it). A DigestContext carries one of them, chosen by the digest id the
// verifier speaks (kDigestMd2 2, kDigestSha1 3, kDigestMd4 4, kDigestMd5 5).
//
// Speed matters for MD5, which checks the whole executable, and SHA-1: both compress whole
// 64-byte blocks straight from the caller's bytes and copy only a partial block into the state.
// SHA-1 uses the processor's SHA instructions where it has them (chosen once per process by
// cpuid), with portable code everywhere else; both give the same digest.
//
// The states hold message bytes; finish wipes them with explicit_bzero, and a caller that
// abandons a state should wipe it the same way (wipeDigest).
#pragma once

#include <cstddef>
#include <cstdint>

namespace nvl::signature {

constexpr uint32_t kDigestMd2 = 2;
constexpr uint32_t kDigestSha1 = 3;
constexpr uint32_t kDigestMd4 = 4;
constexpr uint32_t kDigestMd5 = 5;

constexpr size_t kMd2Size = 16;
constexpr size_t kMd4Size = 16;
constexpr size_t kMd5Size = 16;
constexpr size_t kSha1Size = 20;
constexpr size_t kMaxDigestSize = 20;

struct Md2State {
    uint8_t state[16];
    uint8_t checksum[16];
    uint8_t buffer[16];
    uint32_t used;  // bytes in `buffer`
};

// MD4, MD5 and SHA-1 share the shape: chaining words, total length, one partial block.
struct Md4State {
    uint32_t h[4];
    uint64_t length;  // bytes fed so far
    uint8_t buffer[64];
};
using Md5State = Md4State;

struct Sha1State {
    uint32_t h[5];
    uint64_t length;
    uint8_t buffer[64];
};

void md2Start(Md2State* s);
void md2Feed(Md2State* s, const void* data, size_t length);
void md2Finish(Md2State* s, uint8_t out[kMd2Size]);

void md4Start(Md4State* s);
void md4Feed(Md4State* s, const void* data, size_t length);
void md4Finish(Md4State* s, uint8_t out[kMd4Size]);

void md5Start(Md5State* s);
void md5Feed(Md5State* s, const void* data, size_t length);
void md5Finish(Md5State* s, uint8_t out[kMd5Size]);

void sha1Start(Sha1State* s);
void sha1Feed(Sha1State* s, const void* data, size_t length);
void sha1Finish(Sha1State* s, uint8_t out[kSha1Size]);

// One of the four digests, chosen by its id.
struct DigestContext {
    uint32_t id;  // kDigestMd2 ... kDigestMd5; anything else: no digest
    union {
        Md2State md2;
        Md4State md4;
        Md5State md5;
        Sha1State sha1;
    };
};

// The digest's length in bytes; 0 for an id that names none.
size_t digestSize(uint32_t id);
// Starts the digest `id` in `ctx`. False (and `ctx` holding no digest) for an unknown id.
bool digestStart(DigestContext* ctx, uint32_t id);
// Feeds `length` bytes. False when `ctx` holds no digest.
bool digestFeed(DigestContext* ctx, const void* data, size_t length);
// Writes digestSize(ctx->id) bytes to `out` and wipes the state (the id stays). False when
// `ctx` holds no digest.
bool digestFinish(DigestContext* ctx, uint8_t out[kMaxDigestSize]);
// Overwrites the whole context with zeros (explicit_bzero); it then holds no digest.
void wipeDigest(DigestContext* ctx);

// Which SHA-1 compression runs. Tests and benchmarks pin one to compare both; the library
// always uses kAuto (the SHA instructions when the processor has them).
enum class Sha1Engine { kAuto, kPortable, kShaExtensions };
// Selects the engine for this process. False, and nothing changed, when the processor lacks
// what the engine needs.
bool selectSha1EngineForTesting(Sha1Engine engine);

}  // namespace nvl::signature
