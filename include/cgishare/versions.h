// The versions of the components the server distributes, for the console's status pages.
//
// Each component has two keys in [INI_PROGRAM_VERSION_SECTION] of the home directory's
// nvlscan.ini: <name>_Version, the version text, handed out exactly as stored, and
// <name>_Last_Update, the local time stamp of its last update (14 digits YYYYMMDDhhmmss), handed
// out as the console's date-and-time text (converDateString, validation.h). An absent key gives
// the empty text, and so does a stamp that is not exactly 14 digits.
//
//   reader            client program     scan engine
//   getNTVersion      VdxNT              EngineNT
//   getWin95Version   Vdx95              Engine95
//   getWin16Version   Vdxw16             Engine31
//   getX64Version     VdxX64             EngineX64
//   getIA64Version    VdxIA64            EngineIA64
//   getMiscVersion    Program (the server program)
//   getPfwNTVersion   CFWEngNT (the firewall engine for the NT family)
//   getPatternDate    Pattern_Last_Update only
//
// Every output buffer holds 256 bytes; a longer version text is cut to 255. A null output is
// skipped, the others are still filled. Nothing is cached: each call reads the file afresh.
#pragma once

#include <cgishare/export.h>

CGISHARE_API void getNTVersion(char* clientVersion, char* clientDate, char* engineVersion,
                               char* engineDate);
CGISHARE_API void getWin95Version(char* clientVersion, char* clientDate, char* engineVersion,
                                  char* engineDate);
CGISHARE_API void getWin16Version(char* clientVersion, char* clientDate, char* engineVersion,
                                  char* engineDate);
CGISHARE_API void getX64Version(char* clientVersion, char* clientDate, char* engineVersion,
                                char* engineDate);
CGISHARE_API void getIA64Version(char* clientVersion, char* clientDate, char* engineVersion,
                                 char* engineDate);

CGISHARE_API void getMiscVersion(char* version, char* date);
CGISHARE_API void getPfwNTVersion(char* version, char* date);

CGISHARE_API void getPatternDate(char* date);
