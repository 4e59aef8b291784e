// Pattern files, their versions and the deletion of old generations; engine package versions;
// the form of a quarantine path.
//
// The server keeps several generations of each pattern in one directory:
//
//   kind 0  sig$vpf.<n>    virus pattern         kind 6  hlwhite.<n>   white list
//   kind 1  hlaptn.<n>     spyware pattern       kind 7  hlblack.<n>   black list
//   kind 5  hlf<n>.ptn     (listed here)         kind 9  tkaptn.<n>
//
// A generation number <n> is plain decimal digits that fit a signed 32-bit int ("007" is 7);
// any other name ("sig$vpf.tmp", "hlf-1.ptn", "hlf99999999999.ptn") is no generation: it is not
// listed, not chosen and not deleted. Every file is reached by the name found in the directory,
// never by a name rebuilt from its number, so "hlf007.ptn" is never mistaken for "hlf7.ptn".
//
// A pattern directory argument is a server path ending in '/' (one is supplied when missing);
// its components are matched without regard to case, as every server path. Internal versions
// are read by the scan engine (MARLIN32) from the file's header; a file the engine cannot read,
// such as one still being copied in, has no internal version: it is never the current pattern,
// and the engine never deletes it.
//
// Nothing is returned to the caller beyond the results below; every step and failure is
// traced. Output texts are written in full or set empty, never left half written.
#pragma once

#include <cgishare/export.h>

// Keeps the five newest generations of pattern `kind` in `dir` and deletes the rest. Kinds 0, 1,
// 6, 7 and 9 are deleted by the scan engine (the highest internal versions among the files it
// can read stay); kind 5 is listed here and ordered by its file numbers. Other kinds, and a null
// or empty `dir`, do nothing.
CGISHARE_API void deletePtnFile(char* dir, int kind);

// The internal version of the pattern file <dir><stem>.<ext> as unsigned decimal text into
// `out` (at least 11 bytes). `dir` null means the home directory. Stems: sig$vpf (kind 0),
// hlwhite (6), hlblack (7), tkaptn (9), hlaptn (any other kind). A file the engine cannot read
// is tried six times in all, with a pause of a second after each failure; `out` is then left as
// it was, so a caller that needs to tell failure apart clears it first. An `ext` holding a path
// separator names no file of the directory and is refused at once.
CGISHARE_API void getInternal_ptn(char* ext, char* out, char* dir, int kind);

// The newest and second-newest virus pattern (sig$vpf.<n>) in `dir` (null or empty: the home
// directory) by internal version; of two files with the same version the first in name order
// stays ahead. Versions are written as the file numbers, dates as the display text of the
// files' creation dates (GetFileCreateDate). With one pattern only, the previous version and
// date equal the current ones. Returns 1 when a file with a readable non-zero internal version
// was found, else 0 with all four outputs empty. Each output holds at least 256 bytes; a null
// output is skipped.
CGISHARE_API int getPtnFileVersion(char* curVersion, char* curDate, char* prevVersion,
                                   char* prevDate, char* dir);

// Current and previous scan-engine package versions and the packages' modification dates, for
// the four platforms. The versions come from nvlscan.ini (current: INI_PROGRAM_VERSION_SECTION,
// previous: INI_ROLLBACK_SECTION), the packages are Download/hleng<platform>.zip and
// Download/Rollback/hleng<platform>.zip under the home directory. An empty previous version
// repeats the current outputs. Returns 1, or 0 when the current version is empty: the current
// outputs are then empty texts (and so are the previous ones when that key is empty too). Any
// output may be null and is skipped; each holds at least 261 bytes.
CGISHARE_API int getNTEngineFileVersion(char* curVersion, char* curDate, char* prevVersion,
                                        char* prevDate);
CGISHARE_API int getIA64EngineFileVersion(char* curVersion, char* curDate, char* prevVersion,
                                          char* prevDate);
CGISHARE_API int getX64EngineFileVersion(char* curVersion, char* curDate, char* prevVersion,
                                         char* prevDate);
CGISHARE_API int get95EngineFileVersion(char* curVersion, char* curDate, char* prevVersion,
                                        char* prevDate);

// Whether a quarantine path typed by the administrator has an accepted Windows form: a drive
// path ("c:\quarantine"), a UNC path ("\\host\share") or an http:// URL (any letter case).
// A URL is cut in place to its scheme and host ("HTTP://host/share/q" becomes "HTTP://host").
// Returns 1 or 0; a null path is 0.
CGISHARE_API int ChkQuarantinePath(char* path);
