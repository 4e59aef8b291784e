// The cleaner executable's own signature, appended behind its content.
//
// A file of S bytes ends in the signature and its length:
//
//   [0, S-4-n)      the signed content
//   [S-4-n, S-4)    the signature, n bytes, big-endian (RSA, PKCS #1 v1.5 over MD5)
//   [S-4, S)        n, unsigned 32-bit little-endian; 1 <= n <= 128 and n < S-4
//
// and is checked with CleanerSigningKey (signature_verifier.h). The signing side is the
// command nvl-sign-appended (tools/nvlsign).
//
// Results: 1 the signature is valid; 0 no usable trailer, or the signature is not valid
// (the content changed, another key signed it, the file is shorter than 5 bytes); -1 the file
// cannot be examined: it cannot be opened or its size taken, it is not a regular file, a read
// fails (EINTR is retried), or the verifier cannot start. A file that ends early while its
// content is read (it shrank under us) is judged on what was read, and so fails as 0.
//
// The file is read with positional reads (pread) from a descriptor, so the descriptor's offset
// is neither used nor moved, and a caller that holds the file open (the cleaner library opens
// the executable once for all its checks) checks exactly the file it holds. The content goes
// through the digest in order, through one fixed 64 KiB buffer: the signed content can be of
// any size and the memory used stays the same. (Reads of at most 1000 bytes would cost one
// system call per 1000 bytes, which on a large file takes longer than the digest itself.)
// The buffer, the signature and the verifier context are wiped with explicit_bzero before
// return. Nothing here writes a trace.
#pragma once

#include "signature/signature_verifier.h"

namespace nvl::signature {

// Opens `path` read-only and checks it. A null path gives -1.
int VerifyAppendedSignature(const char* path);

// Checks the file open on `fd` (readable; the offset does not matter and is not moved).
int verifyAppendedSignatureFd(int fd);

// The same check against another key (tests, the signing command's self-check).
int verifyAppendedSignatureFdWithKey(int fd, const RsaPublicKey& key);

// The size of the read buffer.
constexpr size_t kAppendedReadBuffer = 64 * 1024;

}  // namespace nvl::signature
