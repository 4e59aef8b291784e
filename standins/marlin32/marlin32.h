/* The virus scan engine's interface, as the server's library calls it: the entry points of
 * MARLIN32.so (the original's MARLIN32.dll exported them by ordinal; here they are exported by
 * name). Every entry point is thread-safe and returns 0 on success unless said otherwise; the
 * codes of failures are in marlin32_status (README.md of this directory).
 */
#ifndef MARLIN32_H
#define MARLIN32_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* An engine handle: an opaque 32-bit value. */
typedef uint32_t MrHandle;

/* One major virus type as the engine fills it: 21 bytes, packed, entries one after another. */
#pragma pack(push, 1)
typedef struct MrMajorTypeEntry {
    uint16_t firstAction; /* engine action code */
    uint16_t secondAction;
    char name[17]; /* NUL-terminated */
} MrMajorTypeEntry;
#pragma pack(pop)

/* The in/out block of MrGetPatternProperty. */
typedef struct MrPatternPropertyRequest {
    int32_t room;              /* entries the caller's array can hold */
    MrMajorTypeEntry* entries; /* the caller's array */
} MrPatternPropertyRequest;

#define MR_CONFIG_SCAN_PROFILE 0x11000001u /* with value 2: the server's profile */
#define MR_PROPERTY_MAJOR_TYPES 0x1000001u

/* A new handle for the calling thread; `reserved` an empty text, `flags` 0. */
int32_t MrInit(uint32_t threadId, const char* reserved, uint32_t flags, MrHandle* handle);
int32_t MrRelease(MrHandle handle);
/* Reads and checks a whole pattern file into the handle. */
int32_t MrReadPatternInFile(MrHandle handle, const char* path, uint32_t flags);
int32_t MrSetConfig(MrHandle handle, uint32_t item, uint32_t value, uint32_t flags);
/* Negative on failure; else the number of major types (room 0 or 1 with a one-entry array:
 * the count) or of entries filled. */
int32_t MrGetPatternProperty(MrHandle handle, uint32_t property, uint32_t flags,
                             MrPatternPropertyRequest* request);
/* The byte count of the extension list with its NUL into *size. */
int32_t MrGetExtListSize(MrHandle handle, uint32_t* size);
/* The extension list, NUL-terminated, into `buffer` of the size MrGetExtListSize gave. */
int32_t MrGetExtList(MrHandle handle, char* buffer);
/* Keeps, in `directory`, the `keep` generations of pattern `stem` (the virus pattern
 * "sig$vpf" when null) with the highest internal versions among the files "<stem>.<number>"
 * it can read, and deletes the other readable ones; touches nothing else. */
int32_t MrDeleteUnusedPattern(const char* directory, const char* stem, int32_t keep);
/* The internal version of one pattern file, from its header alone; `other` is set to 0. */
int32_t MrGetPatternInternalVersion(const char* path, uint32_t* version, uint16_t* other);

#ifdef __cplusplus
}
#endif

#endif
