// The server's home directory and access to its INI files.
//
// The home directory is the registry value Local_Path under
// HKEY_LOCAL_MACHINE\SOFTWARE\HaldenLabs\Norvel\service\Information, read afresh on every call
// and returned with exactly one trailing '/'. The INI accessors work on `iniPath`, or on
// nvlscan.ini in the home directory when `iniPath` is null. Section names are passed to the
// profile functions unchanged: "INI_SERVER_SECTION" is the section [INI_SERVER_SECTION].
#pragma once

#include <cgishare/export.h>

// Fills `buffer` (capacity `size` bytes) with the home directory ending in one '/'.
// Returns 1 on success, 0 when the registry key or value cannot be read.
CGISHARE_API int getHomeDir(char* buffer, unsigned long size);

// Reads a string value into `value` (capacity `size`), `defaultValue` when the key is absent.
// Returns the number of characters copied, as GetPrivateProfileString does.
CGISHARE_API unsigned long getINIString(char* value, char* section, char* key, char* defaultValue,
                                        unsigned long size, char* iniPath);

// Reads an integer with strtol rules: an absent key yields `defaultValue`; a present key that
// is empty or has no leading digits yields 0; "12abc" yields 12.
CGISHARE_API int getINIint(char* section, char* key, int defaultValue, char* iniPath);

// Writes a string value; a null value deletes the key, a null key the section.
// Returns non-zero on success.
CGISHARE_API int writeINIString(char* section, char* key, char* value, char* iniPath);
