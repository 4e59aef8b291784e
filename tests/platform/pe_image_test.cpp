#include "platform/pe_image.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/executable_fixtures.h"

namespace nvl::sys::pe {
namespace {

using Bytes = std::vector<unsigned char>;
using test::executableBytes;
using test::executableFixture;

void put32(Bytes* b, uint64_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        (*b)[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

ByteSource memoryOf(const Bytes& b) {
    return ByteSource::memory(b.data(), b.size());
}

Bytes fixture(const std::string& name) {
    Bytes bytes = executableBytes(name);
    EXPECT_FALSE(bytes.empty()) << "missing fixture " << name;
    return bytes;
}

// A file holding `bytes`, unlinked, open for reading.
class TempFile {
  public:
    explicit TempFile(const Bytes& bytes) {
        fd_ = ::memfd_create("pe", MFD_CLOEXEC);
        EXPECT_GE(fd_, 0);
        EXPECT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    ~TempFile() { ::close(fd_); }
    int fd() const { return fd_; }

  private:
    int fd_ = -1;
};

TEST(PeByteSource, FileReadsMatchMemoryAcrossTheWindow) {
    Bytes bytes(3 * ByteSource::kWindowSize + 123);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<unsigned char>(i * 7 + i / 251);
    TempFile file(bytes);
    // A known size and one learnt from short reads; the descriptor's offset is never used.
    ASSERT_EQ(::lseek(file.fd(), 77, SEEK_SET), 77);
    for (uint64_t size : {uint64_t{bytes.size()}, ByteSource::kUnknownSize}) {
        ByteSource source = ByteSource::file(file.fd(), size);
        struct Read {
            uint64_t offset;
            size_t count;
        } reads[] = {{0, 16},     {4090, 12}, {4096, 4096},
                     {100, 9000}, {12000, 0}, {bytes.size() - 5, 5}};
        for (const Read& r : reads) {
            SCOPED_TRACE(r.offset);
            Bytes out(r.count + 1, 0xEE);
            ASSERT_TRUE(source.read(r.offset, out.data(), r.count));
            EXPECT_TRUE(std::equal(out.begin(), out.begin() + r.count, bytes.begin() + r.offset));
            EXPECT_EQ(out[r.count], 0xEE);
        }
        unsigned char sink[8];
        EXPECT_FALSE(source.read(bytes.size() - 4, sink, 8));
        EXPECT_FALSE(source.ioFailed());
        EXPECT_FALSE(source.read(UINT64_MAX - 2, sink, 8));
        EXPECT_FALSE(source.ioFailed());
    }
    EXPECT_EQ(::lseek(file.fd(), 0, SEEK_CUR), 77);

    ByteSource closed = ByteSource::file(-1, 100);
    unsigned char sink[4];
    EXPECT_FALSE(closed.read(0, sink, 4));
    int dir = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ByteSource directory = ByteSource::file(dir, ByteSource::kUnknownSize);
    EXPECT_FALSE(directory.read(0, sink, 4));
    EXPECT_TRUE(directory.ioFailed());
    EXPECT_EQ(directory.ioError(), EISDIR);
    ::close(dir);
}

TEST(PeImage, HeadersOfRealPe32AndPe32PlusFiles) {
    struct Case {
        const char* name;
        bool plus;
        bool signedFile;
    } cases[] = {{"qxc-3.10.exe", false, false},
                 {"qxc-3.10-pe64.exe", true, false},
                 {"pub-good.exe", false, true},
                 {"pub-good-pe64.exe", true, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bytes = fixture(c.name);
        Image image;
        ASSERT_EQ(parseImage(memoryOf(bytes), &image), Status::kOk);
        EXPECT_EQ(image.pe32Plus, c.plus);
        EXPECT_EQ(image.fileSize, bytes.size());
        EXPECT_EQ(image.sizeOfHeaders, 0x400u);
        EXPECT_EQ(image.checksumOffset, image.peOffset + 88);
        ASSERT_TRUE(image.hasSecurityEntry);
        EXPECT_EQ(image.securityEntryOffset, image.peOffset + (c.plus ? 168u : 152u));
        EXPECT_EQ(image.signedDeclared(), c.signedFile);
        if (c.signedFile) {
            EXPECT_EQ(image.certificateTable.end(), bytes.size());
        }
        ASSERT_TRUE(image.hasResourceEntry);

        Range version;
        ASSERT_EQ(findVersionResource(memoryOf(bytes), image, &version), Status::kOk);
        EXPECT_GE(version.offset, image.sizeOfHeaders);
        EXPECT_LE(version.end(), image.signedEnd());
        // The block starts with its length and the key VS_VERSION_INFO.
        EXPECT_EQ(bytes[version.offset] | bytes[version.offset + 1] << 8, version.size);
        EXPECT_EQ(bytes[version.offset + 6], 'V');

        // The same answers from the file, read by pread.
        TempFile file(bytes);
        ByteSource source = ByteSource::file(file.fd(), bytes.size());
        Image fromFile;
        ASSERT_EQ(parseImage(source, &fromFile), Status::kOk);
        Range fileVersion;
        ASSERT_EQ(findVersionResource(source, fromFile, &fileVersion), Status::kOk);
        EXPECT_EQ(fileVersion.offset, version.offset);
        EXPECT_EQ(fileVersion.size, version.size);
        EXPECT_EQ(fromFile.certificateTable.offset, image.certificateTable.offset);
    }
}

TEST(PeImage, CertificateTableWalk) {
    struct Case {
        const char* name;
        Status status;
        size_t count;
    } cases[] = {
        {"qxc-3.10.exe", Status::kNotFound, 0},
        {"pub-good.exe", Status::kOk, 1},
        {"pub-good-pe64.exe", Status::kOk, 1},
        {"pub-two-entries.exe", Status::kOk, 2},
        {"pub-trailing-byte.exe", Status::kMalformed, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bytes = fixture(c.name);
        Image image;
        ASSERT_EQ(parseImage(memoryOf(bytes), &image), Status::kOk);
        CertificateTable table;
        ASSERT_EQ(walkCertificateTable(memoryOf(bytes), image, &table), c.status);
        ASSERT_EQ(table.count, c.count);
        uint64_t expected = image.certificateTable.offset;
        for (size_t i = 0; i < table.count; ++i) {
            const CertificateEntry& e = table.entries[i];
            EXPECT_EQ(e.offset, expected);
            EXPECT_EQ(e.revision, kCertificateRevision2);
            EXPECT_EQ(e.type, kCertificateTypePkcsSigned);
            EXPECT_EQ(bytes[e.certificate().offset], 0x30);  // a DER SEQUENCE
            expected = e.offset + ((e.length + 7u) & ~7u);
        }
        if (c.status == Status::kOk) {
            EXPECT_EQ(expected, bytes.size());
        }
    }

    // An appended signature behind the table: the table no longer ends the file.
    Bytes appended = executableBytes("app-pub-good.exe");
    if (!appended.empty()) {
        Image image;
        CertificateTable table;
        ASSERT_EQ(parseImage(memoryOf(appended), &image), Status::kOk);
        EXPECT_EQ(walkCertificateTable(memoryOf(appended), image, &table), Status::kMalformed);
    }
}

TEST(PeImage, CertificateTableRulesOnEditedCopies) {
    Bytes good = fixture("pub-good.exe");
    Image image;
    ASSERT_EQ(parseImage(memoryOf(good), &image), Status::kOk);
    const uint64_t secdir = image.securityEntryOffset;
    const uint64_t start = image.certificateTable.offset;
    const uint32_t size = static_cast<uint32_t>(image.certificateTable.size);

    struct Case {
        const char* what;
        Bytes bytes;
        Status status;
    };
    std::vector<Case> cases;
    {  // Four bytes more before the table: it starts at an offset that is not a multiple of 8.
        Bytes b = good;
        b.insert(b.begin() + static_cast<long>(start), 4, 0);
        put32(&b, secdir, static_cast<uint32_t>(start + 4));
        cases.push_back({"misaligned", b, Status::kMalformed});
    }
    {
        Bytes b = good;
        put32(&b, start, 0);
        cases.push_back({"dwLength 0", b, Status::kMalformed});
    }
    {
        Bytes b = good;
        put32(&b, start, size + 8);
        cases.push_back({"dwLength past the table", b, Status::kMalformed});
    }
    {
        Bytes b = good;
        put32(&b, secdir + 4, size - 8);
        cases.push_back({"size short of the end", b, Status::kMalformed});
    }
    {
        Bytes b = good;
        put32(&b, secdir, 0x200);
        put32(&b, secdir + 4, static_cast<uint32_t>(b.size() - 0x200));
        cases.push_back({"inside the headers", b, Status::kMalformed});
    }
    {  // Nine 8-byte entries: more than a walk keeps.
        Bytes b(good.begin(), good.begin() + static_cast<long>(start));
        for (int i = 0; i < 9; ++i)
            b.insert(b.end(), {8, 0, 0, 0, 0, 2, 2, 0});
        put32(&b, secdir + 4, 72);
        cases.push_back({"nine entries", b, Status::kMalformed});
    }
    {  // Eight entries, the last with an unpadded length that its padding completes.
        Bytes b(good.begin(), good.begin() + static_cast<long>(start));
        for (int i = 0; i < 7; ++i)
            b.insert(b.end(), {8, 0, 0, 0, 0, 2, 2, 0});
        b.insert(b.end(), {13, 0, 0, 0, 0, 2, 2, 0, 1, 2, 3, 4, 5, 0, 0, 0});
        put32(&b, secdir + 4, 72);
        cases.push_back({"eight entries", b, Status::kOk});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Image edited;
        ASSERT_EQ(parseImage(memoryOf(c.bytes), &edited), Status::kOk);
        CertificateTable table;
        EXPECT_EQ(walkCertificateTable(memoryOf(c.bytes), edited, &table), c.status);
    }

    // A file whose size the source does not know cannot show that its table ends it.
    TempFile file(good);
    ByteSource unknown = ByteSource::file(file.fd(), ByteSource::kUnknownSize);
    Image fromFile;
    ASSERT_EQ(parseImage(unknown, &fromFile), Status::kOk);
    CertificateTable table;
    EXPECT_EQ(walkCertificateTable(unknown, fromFile, &table), Status::kMalformed);
    HashRanges ranges;
    EXPECT_EQ(imageHashRanges(fromFile, &ranges), Status::kMalformed);
}

// The SHA-256 image digest the signer wrote into the signature: the DigestInfo of the
// SpcIndirectDataContent.
Bytes embeddedDigest(const Bytes& bytes, const Range& table) {
    static const unsigned char kPrefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                            0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                            0x01, 0x05, 0x00, 0x04, 0x20};
    auto begin = bytes.begin() + static_cast<long>(table.offset);
    auto at = std::search(begin, bytes.end(), std::begin(kPrefix), std::end(kPrefix));
    if (bytes.end() - at < static_cast<long>(sizeof kPrefix + 32))
        return {};
    return Bytes(at + sizeof kPrefix, at + sizeof kPrefix + 32);
}

Bytes sha256(const Bytes& bytes, const HashRanges& ranges) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
    for (const Range& r : ranges.ranges)
        EVP_DigestUpdate(ctx, bytes.data() + r.offset, r.size);
    Bytes out(32);
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx, out.data(), &length);
    EVP_MD_CTX_free(ctx);
    return out;
}

TEST(PeImage, HashRangesAreWhatTheSignerHashed) {
    struct Case {
        const char* name;
        bool matches;
    } cases[] = {{"pub-good.exe", true},
                 {"pub-good-pe64.exe", true},
                 {"pub-checksum.exe", true},  // the CheckSum field is not hashed
                 {"pub-tamper-code.exe", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bytes = fixture(c.name);
        Image image;
        ASSERT_EQ(parseImage(memoryOf(bytes), &image), Status::kOk);
        HashRanges hash;
        ASSERT_EQ(imageHashRanges(image, &hash), Status::kOk);
        const auto& r = hash.ranges;
        // Everything before the table but the CheckSum field and the security entry.
        EXPECT_EQ(r[0].offset, 0u);
        EXPECT_EQ(r[0].end(), image.checksumOffset);
        EXPECT_EQ(r[1].offset, image.checksumOffset + 4);
        EXPECT_EQ(r[1].end(), image.securityEntryOffset);
        EXPECT_EQ(r[2].offset, image.securityEntryOffset + 8);
        EXPECT_EQ(r[2].end(), image.certificateTable.offset);

        Bytes digest = embeddedDigest(bytes, image.certificateTable);
        ASSERT_EQ(digest.size(), 32u);
        EXPECT_EQ(sha256(bytes, hash) == digest, c.matches);
    }

    // Unsigned: the last range runs to the end of the file.
    Bytes plain = fixture("qxc-3.10.exe");
    Image image;
    ASSERT_EQ(parseImage(memoryOf(plain), &image), Status::kOk);
    HashRanges hash;
    ASSERT_EQ(imageHashRanges(image, &hash), Status::kOk);
    EXPECT_EQ(hash.ranges[2].end(), plain.size());

    // A declared table before the security entry or past the end of the file.
    for (uint32_t offset : {uint32_t{0x40}, static_cast<uint32_t>(plain.size() + 8)}) {
        Bytes b = plain;
        put32(&b, image.securityEntryOffset, offset);
        put32(&b, image.securityEntryOffset + 4, 8);
        Image edited;
        ASSERT_EQ(parseImage(memoryOf(b), &edited), Status::kOk);
        EXPECT_EQ(imageHashRanges(edited, &hash), Status::kMalformed) << offset;
    }
}

TEST(PeImage, MapRvaStaysInsideOneSectionsRawData) {
    Bytes bytes = fixture("qxc-3.10.exe");
    Image image;
    ASSERT_EQ(parseImage(memoryOf(bytes), &image), Status::kOk);
    ASSERT_GE(image.sectionCount, 2u);
    const Section& s = image.sections[0];
    Range range;
    ASSERT_EQ(mapRva(image, s.virtualAddress + 4, 8, &range), Status::kOk);
    EXPECT_EQ(range.offset, s.pointerToRawData + 4u);
    EXPECT_EQ(mapRva(image, s.virtualAddress, s.sizeOfRawData, &range), Status::kOk);
    // Past the raw data (zero fill in memory only), before every section, beyond every one.
    EXPECT_EQ(mapRva(image, s.virtualAddress, s.sizeOfRawData + 1, &range), Status::kNotFound);
    EXPECT_EQ(mapRva(image, 0x10, 4, &range), Status::kNotFound);
    EXPECT_EQ(mapRva(image, 0xFFFFFFF0u, 0x20, &range), Status::kNotFound);
}

}  // namespace
}  // namespace nvl::sys::pe
