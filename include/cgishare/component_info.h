// The current pattern files of the server and the notice that tells the services about them.
//
// These calls are additions to the original export list: the console's pattern page calls them.
// The server directory is the home directory as getHomeDir reads it (config.h), with its one
// trailing '/'.
#pragma once

#include <cgishare/export.h>

// --- Current component -------------------------------------------------------------------
//
// The current pattern file of a kind is the candidate with the highest internal version, as
// the scan engine reads it from the file's header; a file the engine cannot read (being copied
// in, truncated, not a pattern) counts as version 0 and is never chosen. Of two files with the
// same version the first in name order wins.
//
//   componentType 0  the virus pattern: files "sig$vpf.*" of the server directory
//   componentType 1  the spyware pattern: files "hlaptn.*"
//
// Returns 1 when at least one candidate file exists: *version is the highest internal version
// (0 when none could be read) and `path` the full path of the file that has it (empty when
// none). Returns 0 with *version = 0 when there is no candidate, the type is not one of the two
// or the server directory cannot be read; `path` is then left as it was.
//
// `pathSize` is the capacity of `path` in characters (wide) or bytes (narrow), terminating NUL
// included. A path that does not fit is reported as none: *version 0 and an empty path, never a
// cut path that could name another file. A null `version` or `path` makes the call return 0.

// The path in UTF-16, from the file system's bytes through the ANSI code page.
CGISHARE_API int getCurrentComponentVer(int componentType, unsigned int* version, char16_t* path,
                                        unsigned int pathSize);
// The path as the file system's bytes (the ANSI code page).
CGISHARE_API int getCurrentComponentVerA(int componentType, unsigned int* version, char* path,
                                         int pathSize);

// --- Pattern update notice ---------------------------------------------------------------
//
// The services that hold patterns learn of a new one in two steps: the full paths of the
// current virus and spyware pattern files (getCurrentComponentVerA, types 0 and 1) are written
// to <server directory>Private/nvlserver.ini, [FILE_PATH_SECTION] VIRUS_PATTERN and
// SPYWARE_PATTERN, and then the events "HLENG_WRAPPER_NOTIFY_PATTERN_UPDATE_NVLSERVICE_LOGTHREAD"
// and "HLENG_WRAPPER_NOTIFY_PATTERN_UPDATE_UNIT_TEST" are set, in that order. The events are
// only opened, never created: a service that wants the notice creates its event first, and one
// that does not run is simply not told.
//
// A kind without any candidate file keeps its key as it was; a kind whose files the engine
// cannot read gets an empty path. Both keys are written as one change, and the files are
// examined while the settings file's writers are held off, so when several processes add
// patterns and notify at once, the last paths written name the newest files, never a view
// taken before another process's newer file arrived. Private/ is not created. Nothing is
// returned; failures are traced.

// Rewrites the two pattern paths, then sets the two events.
CGISHARE_API void notifyPatternUpdate();
// Rewrites the two pattern paths only.
CGISHARE_API void generatePatternFilePath();
