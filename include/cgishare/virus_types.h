// What the virus scan engine reports about a virus pattern, stored in nvlscan.ini for the
// console's scan-configuration pages.
//
// UD_QueryMajorVirusTypes: the pattern's major virus types, each with the first and second
// action the console offers by default, in [INI_MAJOR_VIRUS_TYPE_SECTION]:
//
//   Count=3
//   1st_Act_001=5        the engine's action codes mapped to the console's
//   2nd_Act_001=4        (0->1, 1->3, 2->4, 3->5, 4->2, 25->25; others 5 first, 4 second)
//   Name_001=Macro
//   ...
//
// Keys numbered above Count may remain from an earlier, longer list; Count tells how many are
// current. A list of one type is written like any other.
//
// UD_QueryExtList: the engine's default list of extensions to scan, "{*;EXE;COM;DLL}" in the
// engine's form, as the console stores it, "EXE,.COM,.DLL" (every "{*;" and the last character
// removed, both braces of a list without "*" such as "{}", each ';' turned into ",."), under
// DefaultExtList in [Manual Scan Configuration],
// [Real Time Scan Configuration], [Prescheduled Scan Configuration] and [Scan Now
// Configuration].
//
// Each call writes all its keys as one change of the file, so readers and other writers never
// see a list made of two patterns. Nothing is written when the path is null or 260 characters
// or longer (it would have to be cut, and the cut path may name another file), when the engine
// cannot read the pattern, or when it reports nothing usable (no types, more entries than asked
// for, no extension list). Neither function returns anything: the outcome shows in nvlscan.ini
// and in the trace.
#pragma once

#include <cgishare/export.h>

// Stores the major virus types of the pattern file at `ptnPath`.
CGISHARE_API void UD_QueryMajorVirusTypes(const char* ptnPath);

// Stores the default extension list of the pattern file at `ptnPath` in the four scan
// configurations.
CGISHARE_API void UD_QueryExtList(const char* ptnPath);
