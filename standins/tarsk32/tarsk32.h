/* The spyware scan engine's interface: the 66 entry points of tarsk32.so, exported by name with
 * C linkage, as the server's library binds them (README.md of this directory describes each
 * one, the pattern, backup and list files, and the status codes).
 *
 * Texts are UTF-16 (char16_t), NUL-terminated. File names that are not valid UTF-8 keep every
 * byte: each byte that is not part of valid UTF-8 travels as the lone low surrogate U+DC80 +
 * (byte - 0x80) (bytes below 0x80 are always valid), so a location the engine reports reaches
 * the same file when it is given back. Calls that fill a text take its size in characters and
 * always NUL-terminate; a text that does not fit is TK_E_BUFFER_TOO_SMALL with the text cut.
 * Records that cross this interface use the native layout. Handles are 32-bit ids, never 0; a
 * released or unknown one is TK_E_BAD_HANDLE. Every entry point may be called from any thread;
 * the events of one call are delivered on the thread that made it.
 */
#ifndef TARSK32_H
#define TARSK32_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#else
#include <uchar.h>
#endif

typedef uint32_t TkHandle;

/* Status codes: 0 or negative. */
#define TK_OK 0
#define TK_E_BAD_ARGUMENT (-1)     /* a null pointer, an unknown option, id or value */
#define TK_E_BAD_HANDLE (-2)       /* not a live handle of this engine */
#define TK_E_IO (-3)               /* a file or directory cannot be read or written */
#define TK_E_NOT_FOUND (-4)        /* no such file, backup set or item */
#define TK_E_BAD_PATTERN (-5)      /* the pattern file is truncated, corrupt or absurd */
#define TK_E_NO_PATTERN (-6)       /* the handle holds no pattern */
#define TK_E_NOT_SUPPORTED (-7)    /* an entry point this stand-in does not implement */
#define TK_E_BUFFER_TOO_SMALL (-8) /* the result was cut to the caller's buffer */
#define TK_E_BUSY (-9)             /* a scan, clean, backup or restore runs on the handle */
#define TK_E_STOPPED (-10)         /* ended early by TkStopScan */
#define TK_E_NO_RESOURCES (-11)    /* out of memory or handles */
#define TK_E_BAD_BACKUP (-12)      /* the backup set is truncated, corrupt or unsafe */
#define TK_E_BAD_LIST (-13)        /* the white or black list file is truncated or corrupt */
#define TK_E_PARTIAL (-14)         /* some items could not be backed up, cleaned or restored */

/* TkInit's interface version. */
#define TK_INTERFACE_VERSION 12

/* Options (TkSetOption, TkGetOption). Handle 0 sets the process-wide value, which handles that
 * have not set their own take. */
#define TK_CFG_CONFIGDIR 0      /* directory of the white and black lists */
#define TK_CFG_LOGFILEPATH 1    /* accepted and kept; the stand-in writes no log */
#define TK_CFG_LOGLEVEL 12      /* "0" to "9"; kept */
#define TK_CFG_ENGINEMODE 13    /* "1" full scan, "2" quick scan */
#define TK_CFG_BACKUPDIR 14     /* where backup sets go; made 0700 at first use */
#define TK_CFG_SCANROOTS 15     /* roots of an empty target, separated by '\n' */
#define TK_CFG_BACKUPDESC 16    /* description stored in the next backup set */
#define TK_CFG_LASTBACKUPSET 17 /* read only, per handle: the path of its last backup set */
#define TK_CFG_REBOOTLESS 2001  /* "true" or "false"; kept */

/* Pattern properties (TkGetPatternProperty) and engine properties (TkGetEngineProperty). */
#define TKPP_VERSION 1
#define TKPP_DATE 2
#define TKPP_SIGCOUNT 3
#define TKEP_UDVERSION 1

/* Scanner ids (TkEnableScanner also takes TK_SCANNER_ALL and TK_SCANNER_DEFAULTS). */
#define TK_SCANNER_ALL (-1)
#define TK_SCANNER_DEFAULTS (-2)
#define TK_SCANNER_FILE 10
#define TK_SCANNER_REGISTRY 11
#define TK_SCANNER_COOKIE 12
#define TK_SCANNER_AUTOSTART 13
#define TK_SCANNER_DIRECTORY 14
#define TK_SCANNER_HOSTS 18
#define TK_SCANNER_COUNT 18 /* ids 1 to 18 */

/* Engine status bits (TkGetEngineStatus). */
#define TK_STATUS_PATTERN_LOADED 0x01
#define TK_STATUS_SCANNING 0x10
#define TK_STATUS_STOP_REQUESTED 0x20
#define TK_STATUS_CLEANING 0x40

/* Events delivered to the callback. */
#define TKE_EVENT_PROGRESS 1
#define TKE_EVENT_ITEMFOUND 2
#define TKE_EVENT_STARTITEMSCAN 3
#define TKE_EVENT_FINISHEDITEMSCAN 4
#define TKE_EVENT_STARTSCAN 5
#define TKE_EVENT_FINISHEDSCAN 6
#define TKE_EVENT_CLEANEDITEM 7
#define TKE_EVENT_STARTCLEAN 8
#define TKE_EVENT_FINISHEDCLEAN 9
#define TKE_EVENT_STARTBACKUP 12
#define TKE_EVENT_FINISHEDBACKUP 13
#define TKE_EVENT_STARTRESTORE 14
#define TKE_EVENT_FINISHEDRESTORE 15
#define TKE_EVENT_CLEANPROGRESS 18
#define TKE_EVENT_LOCATION 19
#define TKE_EVENT_RESTOREDITEM 26

/* Item states (TkItem.state). */
#define TK_ITEM_FOUND 0
#define TK_ITEM_BACKED_UP 1
#define TK_ITEM_CLEANED 2
#define TK_ITEM_FAILED 3

/* Tables of the pattern (TkOpenTableSeqEnum, TkGetRowById, TkParseField) and their fields. */
#define TK_TABLE_COMPANY 1  /* fields: 1 id, 2 name */
#define TK_TABLE_THREAT 2   /* fields: 1 id, 2 name, 3 company id, 4 company name */
#define TK_TABLE_LOCATION 3 /* fields: 1 id, 2 path */
#define TK_FIELD_ID 1
#define TK_FIELD_NAME 2
#define TK_FIELD_COMPANY_ID 3
#define TK_FIELD_COMPANY_NAME 4

#define TK_NAME_CHARS 516
#define TK_PATH_CHARS 4096

/* A found item, and the record of item events: the item id is the second 32-bit field and the
 * location starts at byte 1052. */
typedef struct TkItem {
    uint32_t size;      /* sizeof(TkItem) */
    uint32_t itemId;    /* 1, 2, ... within the handle's last scan */
    uint32_t threatId;  /* row id in TK_TABLE_THREAT */
    uint32_t scannerId; /* which scanner found it */
    uint32_t selected;  /* 1: to be backed up and cleaned */
    uint32_t state;     /* TK_ITEM_* */
    char16_t threatName[TK_NAME_CHARS - 2];
    char16_t location[TK_PATH_CHARS]; /* file, directory, "file:line" or registry value */
} TkItem;

/* The callback: (handle, event, scanner id or 0, percent or value, item record or null).
 * It runs on the thread of the call that caused the event; its result is not used. */
typedef int32_t (*TkCallbackFunc)(TkHandle handle, int32_t event, int32_t scannerId, int32_t value,
                                  const TkItem* record);

typedef struct TkScannerInfo {
    int32_t total;                           /* 18 */
    int32_t defaults;                        /* scanners TK_SCANNER_DEFAULTS enables */
    int32_t enabled;                         /* scanners enabled on the handle */
    int32_t basicEnabled;                    /* of those, the ones with ids 10 to 14 and 18 */
    uint8_t isEnabled[TK_SCANNER_COUNT + 1]; /* by id */
} TkScannerInfo;

/* A white or black list entry: a threat, and a location or "" for everywhere. */
typedef struct TkListItem {
    uint32_t threatId;
    uint32_t enabled;
    char16_t location[TK_PATH_CHARS];
} TkListItem;

/* One record of a backup set (TkGetBackupItems). */
typedef struct TkBackupItem {
    uint32_t kind; /* 1 file, 2 directory, 3 line of a file, 4 registry value */
    uint32_t threatId;
    uint32_t scannerId;
    uint32_t mode;
    uint64_t bytes;
    char16_t location[TK_PATH_CHARS];
} TkBackupItem;

int32_t TkInit(const char16_t* callerId, int32_t interfaceVersion, TkHandle* handle);
int32_t TkQuit(TkHandle handle);
int32_t TkReadSpywarePattern(TkHandle handle, uint32_t flags, const char16_t* directory,
                             uint32_t reserved);
int32_t TkGetPatternProperty(TkHandle handle, int32_t property, char16_t* text, uint32_t size);
int32_t TkIsSpywarePatternLoaded(TkHandle handle, int32_t* loaded);
int32_t TkScan(TkHandle handle, const char16_t* target);
int32_t TkScanDir(TkHandle handle, const char16_t* directory);
int32_t TkScanFile(TkHandle handle, const char16_t* path);
int32_t TkCleanFile(TkHandle handle, const char16_t* path);
int32_t TkScanDomain(TkHandle handle, const char16_t* domain);
int32_t TkStopScan(TkHandle handle);
int32_t TkScanRelatedReferences(TkHandle handle, uint32_t itemId);
int32_t TkGetOption(TkHandle handle, int32_t option, char16_t* text, uint32_t size);
int32_t TkSetOption(TkHandle handle, int32_t option, const char16_t* value);
int32_t TkSetCallbackFunc(TkHandle handle, TkCallbackFunc callback);
int32_t TkEnableScanner(TkHandle handle, int32_t scannerId, int32_t enable);
int32_t TkGetScannerInfo(TkHandle handle, TkScannerInfo* info);
int32_t TkGetEngineProperty(TkHandle handle, int32_t property, char16_t* text, uint32_t size);
int32_t TkGetItemCount(TkHandle handle, int32_t* count);
int32_t TkGetItemCountByScannerId(TkHandle handle, int32_t scannerId, int32_t* count);
int32_t TkGetItem(TkHandle handle, uint32_t itemId, TkItem* item);
int32_t TkSelectItems(TkHandle handle, int32_t select);
int32_t TkAddItem(TkHandle handle, const TkItem* item);
int32_t TkUpdateItem(TkHandle handle, const TkItem* item);
int32_t TkRemoveItems(TkHandle handle);
int32_t TkGetCountSelectedByScannerId(TkHandle handle, int32_t scannerId, int32_t* count);
int32_t TkSelectByItem(TkHandle handle, uint32_t itemId, int32_t select);
int32_t TkGetFirstWhitelistItem(TkHandle handle, TkListItem* item);
int32_t TkLoadWhitelist(TkHandle handle);
int32_t TkGetNextWhitelistItem(TkHandle handle, TkListItem* item);
int32_t TkAddWhitelistItem(TkHandle handle, const TkListItem* item);
int32_t TkRemoveWhitelistItems(TkHandle handle);
int32_t TkToggleWhitelistItems(TkHandle handle, int32_t enable);
int32_t TkCheckWhitelist(TkHandle handle, uint32_t threatId, const char16_t* location,
                         int32_t* listed);
int32_t TkGetWhitelistCount(TkHandle handle, int32_t* count);
int32_t TkSaveWhitelist(TkHandle handle);
int32_t TkLoadBlacklist(TkHandle handle);
int32_t TkGetFirstBlacklistItem(TkHandle handle, TkListItem* item);
int32_t TkGetNextBlacklistItem(TkHandle handle, TkListItem* item);
int32_t TkAddBlacklistItem(TkHandle handle, const TkListItem* item);
int32_t TkRemoveBlacklistItems(TkHandle handle);
int32_t TkToggleBlacklistItems(TkHandle handle, int32_t enable);
int32_t TkCheckBlacklist(TkHandle handle, uint32_t threatId, const char16_t* location,
                         int32_t* listed);
int32_t TkGetBlacklistCount(TkHandle handle, int32_t* count);
int32_t TkSaveBlacklist(TkHandle handle);
int32_t TkClean(TkHandle handle);
int32_t TkCleanByName(TkHandle handle, const char16_t* threatName);
int32_t TkBackup(TkHandle handle, const char16_t* name);
int32_t TkRestore(TkHandle handle, const char16_t* backupSet);
int32_t TkGetBackupItems(TkHandle handle, const char16_t* backupSet, TkBackupItem* items,
                         uint32_t room, uint32_t* count);
int32_t TkOpenTableSeqEnum(TkHandle handle, int32_t table, TkHandle* enumHandle);
int32_t TkOpenTableStrEnum(TkHandle handle, int32_t table, const char16_t* key,
                           TkHandle* enumHandle);
int32_t TkOpenTableLongEnum(TkHandle handle, int32_t table, int32_t key, TkHandle* enumHandle);
int32_t TkCloseHandle(TkHandle enumHandle);
int32_t TkGetFirstRow(TkHandle enumHandle, uint32_t* rowId);
int32_t TkGetNextRow(TkHandle enumHandle, uint32_t* rowId);
int32_t TkGetRowById(TkHandle handle, int32_t table, uint32_t id, uint32_t* rowId);
int32_t TkGetFirstRowByField(TkHandle enumHandle, int32_t field, const char16_t* value,
                             uint32_t* rowId);
int32_t TkGetNextRowByField(TkHandle enumHandle, uint32_t* rowId);
int32_t TkGetFirstRowByStrKey(TkHandle enumHandle, uint32_t* rowId);
int32_t TkGetNextRowByStrKey(TkHandle enumHandle, uint32_t* rowId);
int32_t TkGetFirstRowByLongKey(TkHandle enumHandle, uint32_t* rowId);
int32_t TkGetNextRowByLongKey(TkHandle enumHandle, uint32_t* rowId);
int32_t TkParseField(TkHandle handle, int32_t table, uint32_t rowId, int32_t field, char16_t* text,
                     uint32_t size);
int32_t TkGetEngineStatus(TkHandle handle, uint32_t* status);
int32_t TkGetLastError(TkHandle handle, int32_t* code, char16_t* text, uint32_t size);

#ifdef __cplusplus
}
#endif

#endif
