#include "platform/file_version.h"

#include <errno.h>
#include <fcntl.h>

#include <cstring>
#include <string>
#include <string_view>

#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/pe_image.h"

namespace nvl::sys {

namespace {

// Behind the block: "FVA1" and the size of the room for narrow texts that follows.
constexpr uint32_t kTagMagic = 0x31415646;
constexpr size_t kTagSize = 8;
constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
constexpr size_t kFixedFileInfoSize = 52;
constexpr uint16_t kTypeText = 1;
// Nodes below this depth are not checked when the block is copied (a version block has four
// levels); a query still checks every node it passes.
constexpr int kCheckedDepth = 8;
constexpr std::u16string_view kRootKey = u"VS_VERSION_INFO";
constexpr std::u16string_view kStringFileInfo = u"StringFileInfo";
// The smallest root: header, key "VS_VERSION_INFO" with its NUL.
constexpr size_t kMinimumBlock = 6 + 2 * (kRootKey.size() + 1);

uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t le32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
size_t align4(size_t n) {
    return (n + 3) & ~size_t{3};
}

// The room a block of `length` bytes needs for narrow texts: a text of u UTF-16 units becomes at
// most 1.5 u * 2 bytes (three bytes per unit in UTF-8, at most two elsewhere), so writing the
// text of the value at block offset p at room offset 2 p keeps the texts of different values
// apart, and every text fits; 8 more for an empty text at the very end.
size_t roomFor(size_t length) {
    return 2 * length + 8;
}
size_t requiredSize(size_t length) {
    return align4(length) + kTagSize + roomFor(length);
}

// One node of a version block: wLength, wValueLength, wType, szKey, padding, value, padding,
// children. Offsets are from the start of the block, to which alignment is relative.
struct Node {
    size_t offset = 0;
    size_t end = 0;  // offset + wLength
    uint16_t valueLength = 0;
    uint16_t type = 0;
    size_t keyOffset = 0;
    size_t keyUnits = 0;
    size_t valueOffset = 0;
    size_t valueBytes = 0;  // the declared value, cut at the node's end
    size_t childOffset = 0;
};

// Parses the node at `offset`, which must lie inside [offset, limit) with its key terminated.
bool parseNode(const uint8_t* block, size_t offset, size_t limit, Node* node) {
    if (offset > limit || limit - offset < 6)
        return false;
    size_t length = le16(block + offset);
    if (length < 8 || length > limit - offset)
        return false;
    node->offset = offset;
    node->end = offset + length;
    node->valueLength = le16(block + offset + 2);
    node->type = le16(block + offset + 4);
    node->keyOffset = offset + 6;
    size_t p = node->keyOffset;
    for (;; p += 2) {
        if (node->end - p < 2)
            return false;
        if (le16(block + p) == 0)
            break;
    }
    node->keyUnits = (p - node->keyOffset) / 2;
    size_t declared = size_t{node->valueLength} * (node->type == kTypeText ? 2 : 1);
    size_t valueOffset = align4(p + 2);
    if (valueOffset > node->end)
        valueOffset = node->end;
    node->valueOffset = valueOffset;
    node->valueBytes = declared < node->end - valueOffset ? declared : node->end - valueOffset;
    size_t children = align4(valueOffset + declared);
    node->childOffset = children < node->end ? children : node->end;
    return true;
}

char16_t foldAscii(char16_t c) {
    return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c;
}

bool keyEquals(const uint8_t* block, const Node& node, std::u16string_view key, bool ignoreCase) {
    if (node.keyUnits != key.size())
        return false;
    for (size_t i = 0; i < key.size(); ++i) {
        char16_t c = le16(block + node.keyOffset + 2 * i);
        if (ignoreCase ? foldAscii(c) != foldAscii(key[i]) : c != key[i])
            return false;
    }
    return true;
}

// Checks a whole block of `length` bytes: the root "VS_VERSION_INFO" spans it exactly, and
// every node down to kCheckedDepth lies inside its parent, one after the other (each starting
// at a multiple of 4), with nothing but alignment left over at the end of a parent.
bool checkBlock(const uint8_t* block, size_t length) {
    Node root;
    if (!parseNode(block, 0, length, &root) || root.end != length ||
        !keyEquals(block, root, kRootKey, false)) {
        return false;
    }
    struct Frame {
        size_t next, end;
    };
    Frame stack[kCheckedDepth];
    int depth = 0;
    stack[0] = {root.childOffset, root.end};
    while (depth >= 0) {
        Frame& frame = stack[depth];
        if (frame.next >= frame.end) {
            --depth;
            continue;
        }
        Node child;
        if (!parseNode(block, frame.next, frame.end, &child))
            return false;
        frame.next = align4(child.end);
        if (depth + 1 < kCheckedDepth && child.childOffset < child.end)
            stack[++depth] = {child.childOffset, child.end};
    }
    return true;
}

uint32_t errorOf(pe::Status status, const pe::ByteSource& source) {
    switch (status) {
        case pe::Status::kOk:
            return kSuccess;
        case pe::Status::kNotFound:
            return kErrResourceTypeNotFound;
        case pe::Status::kMalformed:
            return kErrResourceDataNotFound;
        case pe::Status::kIoError:
            // A directory opened for reading, as the original refuses to open it.
            if (source.ioError() == EISDIR)
                return kErrAccessDenied;
            return source.ioError() != 0 ? errnoToError(source.ioError()) : kErrReadFault;
    }
    return kErrResourceDataNotFound;
}

// Finds the version block of the image in `source`: its file offset and its root's wLength,
// which must lie inside the resource. kSuccess or the error for lastError().
uint32_t locateBlock(const pe::ByteSource& source, uint64_t* offset, size_t* length) {
    pe::Image image;
    pe::Status status = pe::parseImage(source, &image);
    if (status == pe::Status::kMalformed)
        return kErrBadExeFormat;
    if (status != pe::Status::kOk)
        return errorOf(status, source);
    pe::Range range;
    if (status = pe::findVersionResource(source, image, &range); status != pe::Status::kOk)
        return errorOf(status, source);
    uint8_t header[2];
    if (!source.read(range.offset, header, sizeof header))
        return errorOf(source.ioFailed() ? pe::Status::kIoError : pe::Status::kMalformed, source);
    size_t declared = le16(header);
    if (declared < kMinimumBlock || declared > range.size)
        return kErrResourceDataNotFound;
    *offset = range.offset;
    *length = declared;
    return kSuccess;
}

uint32_t openForReading(const char* path, UniqueFd* fd) {
    if (path == nullptr || *path == '\0')
        return path == nullptr ? kErrInvalidParameter : kErrFileNotFound;
    int opened = fileOps().open(path, O_RDONLY | O_CLOEXEC, 0);
    if (opened < 0 && (errno == ENOENT || errno == ENOTDIR)) {
        std::string resolved = resolvePath(path);
        if (resolved != path)
            opened = fileOps().open(resolved.c_str(), O_RDONLY | O_CLOEXEC, 0);
    }
    if (opened < 0)
        return errnoToError(errno);
    fd->reset(opened);
    return kSuccess;
}

// A source over the open file `fd`. Its size is not asked for (a system call that a version
// read does not need): every range the reader uses is checked by reading it, so a file too short
// for its headers simply fails the read.
bool fileSource(int fd, pe::ByteSource* source) {
    if (fd < 0) {
        setLastError(kErrInvalidHandle);
        return false;
    }
    *source = pe::ByteSource::file(fd, pe::ByteSource::kUnknownSize);
    return true;
}

}  // namespace

uint32_t fileVersionInfoSize(const pe::ByteSource& source) {
    uint64_t offset = 0;
    size_t length = 0;
    if (uint32_t error = locateBlock(source, &offset, &length); error != kSuccess) {
        setLastError(error);
        return 0;
    }
    return static_cast<uint32_t>(requiredSize(length));
}

bool fileVersionInfo(const pe::ByteSource& source, uint32_t size, void* data) {
    if (data == nullptr) {
        setLastError(kErrInvalidParameter);
        return false;
    }
    uint64_t offset = 0;
    size_t length = 0;
    if (uint32_t error = locateBlock(source, &offset, &length); error != kSuccess) {
        setLastError(error);
        return false;
    }
    if (size < requiredSize(length)) {
        setLastError(kErrInsufficientBuffer);
        return false;
    }
    auto* block = static_cast<uint8_t*>(data);
    if (!source.read(offset, block, length)) {
        setLastError(
            errorOf(source.ioFailed() ? pe::Status::kIoError : pe::Status::kMalformed, source));
        return false;
    }
    // The root's length read again with the block: it must still be the one measured.
    if (le16(block) != length || !checkBlock(block, length)) {
        setLastError(kErrResourceDataNotFound);
        return false;
    }
    size_t tag = align4(length);
    std::memset(block + length, 0, tag - length);
    put32(block + tag, kTagMagic);
    put32(block + tag + 4, static_cast<uint32_t>(size - tag - kTagSize));
    return true;
}

uint32_t fileVersionInfoSize(int fd) {
    pe::ByteSource source = pe::ByteSource::memory(nullptr, 0);
    if (!fileSource(fd, &source))
        return 0;
    return fileVersionInfoSize(source);
}

bool fileVersionInfo(int fd, uint32_t size, void* data) {
    pe::ByteSource source = pe::ByteSource::memory(nullptr, 0);
    if (!fileSource(fd, &source))
        return false;
    return fileVersionInfo(source, size, data);
}

uint32_t getFileVersionInfoSizeA(const char* path, uint32_t* handle) {
    if (handle != nullptr)
        *handle = 0;
    UniqueFd fd;
    if (uint32_t error = openForReading(path, &fd); error != kSuccess) {
        setLastError(error);
        return 0;
    }
    return fileVersionInfoSize(fd.get());
}

bool getFileVersionInfoA(const char* path, uint32_t /*handle*/, uint32_t size, void* data) {
    UniqueFd fd;
    if (uint32_t error = openForReading(path, &fd); error != kSuccess) {
        setLastError(error);
        return false;
    }
    return fileVersionInfo(fd.get(), size, data);
}

bool verQueryValueA(const void* block, const char* subBlock, void** buffer, uint32_t* length) {
    if (block == nullptr || subBlock == nullptr || buffer == nullptr || length == nullptr) {
        setLastError(kErrInvalidParameter);
        return false;
    }
    const auto* bytes = static_cast<const uint8_t*>(block);
    size_t blockLength = le16(bytes);
    Node node;
    if (!parseNode(bytes, 0, blockLength, &node)) {
        setLastError(kErrInvalidParameter);
        return false;
    }

    // Walk the path, one component per level.
    std::u16string path = ansiToWide(subBlock);
    std::u16string_view rest = path;
    int depth = 0;
    bool underStrings = false;
    while (!rest.empty()) {
        size_t slash = rest.find(u'\\');
        std::u16string_view key = rest.substr(0, slash);
        rest = slash == std::u16string_view::npos ? std::u16string_view() : rest.substr(slash + 1);
        if (key.empty())
            continue;
        bool found = false;
        for (size_t next = node.childOffset; next < node.end;) {
            Node child;
            if (!parseNode(bytes, next, node.end, &child))
                break;
            if (keyEquals(bytes, child, key, true)) {
                node = child;
                found = true;
                break;
            }
            next = align4(child.end);
        }
        if (!found) {
            setLastError(kErrResourceTypeNotFound);
            return false;
        }
        if (depth == 0)
            underStrings = keyEquals(bytes, node, kStringFileInfo, true);
        ++depth;
    }

    if (depth == 0) {
        // The root: VS_FIXEDFILEINFO, only a real one.
        if (node.valueBytes < kFixedFileInfoSize ||
            le32(bytes + node.valueOffset) != kFixedFileInfoSignature) {
            setLastError(kErrResourceTypeNotFound);
            return false;
        }
        *buffer = const_cast<uint8_t*>(bytes + node.valueOffset);
        *length = static_cast<uint32_t>(node.valueBytes);
        return true;
    }
    bool text = node.type == kTypeText || (underStrings && depth == 3);
    if (!text) {
        *buffer = const_cast<uint8_t*>(bytes + node.valueOffset);
        *length = static_cast<uint32_t>(node.valueBytes);
        return true;
    }

    // A text: converted into the room behind the block.
    size_t tag = align4(blockLength);
    if (le32(bytes + tag) != kTagMagic) {
        setLastError(kErrInvalidParameter);
        return false;
    }
    size_t room = le32(bytes + tag + 4);
    size_t at = 2 * node.valueOffset;
    if (room < roomFor(blockLength) || at >= room) {
        setLastError(kErrInsufficientBuffer);
        return false;
    }
    char* out = const_cast<char*>(reinterpret_cast<const char*>(bytes + tag + kTagSize + at));
    std::u16string value;
    for (size_t i = 0; 2 * i + 1 < node.valueBytes; ++i) {
        char16_t c = le16(bytes + node.valueOffset + 2 * i);
        if (c == 0)
            break;
        value.push_back(c);
    }
    int written = 0;
    if (!value.empty()) {
        written = wideCharToMultiByte(kCodePageAnsi, value.data(), static_cast<int>(value.size()),
                                      out, static_cast<int>(room - at - 1));
        if (written <= 0)
            return false;
    }
    out[written] = '\0';
    *buffer = out;
    *length = node.valueBytes == 0 ? 0 : static_cast<uint32_t>(written + 1);
    return true;
}

}  // namespace nvl::sys
