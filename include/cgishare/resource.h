// The console's localised strings, its language, and the server's platform and address.
//
// The strings live in a separate resource library, CGIRes.so, installed in the console's
// language; loadResource binds it and getResourceString hands out its strings by number.
// The library is looked for beside the running page program first, then on the dynamic
// loader's path, so the copy installed there decides the console's language.
#pragma once

#include <cgishare/export.h>

// Binds the resource library once. False when it is already bound, cannot be loaded, or has
// no string entry.
CGISHARE_API bool loadResource();
CGISHARE_API void freeResource();

// The string with number `id` in the console's language; "" when no library is bound.
CGISHARE_API const char* getResourceString(int id);
// Reserved; always "".
CGISHARE_API const char* getResourceLanguage();
// The console's language identifier, MAKELANGID(string 101, string 102); 0x400 unbound.
CGISHARE_API unsigned long getLANGID();
// 1 for the NT family, 2 for the 95 family, 0 otherwise.
CGISHARE_API int getPlatformType(char* platformName);
// The server's address, with the web port appended when it is not 80. 1 on success.
CGISHARE_API int getIPAddr(char* address);
CGISHARE_API int getIPAddrW(char16_t* address);
