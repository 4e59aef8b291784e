// Where the port keeps what the original kept in fixed Windows places, and how server paths
// are resolved.
//
//   runtime directory  $NVL_RUNTIME_DIR when set, else /run/norvel when it exists or can be
//                      made, else $XDG_RUNTIME_DIR/norvel when that variable names the caller's
//                      own directory, else /tmp/norvel-<euid>. Named objects and the trace pipe
//                      live here.
//   registry file      $NVL_REGISTRY, else /etc/norvel/registry.reg.
//   system directory   the directory of the registry file. It stands in for the Windows
//                      directory: a profile file named without any directory lives there.
//   drive C            $NVL_DRIVE_C, else /var/lib/norvel/c: the stand-in for the root of
//                      drive C, where the server's built-in default paths point
//                      ("c:\Temp\dBCIData.dbf" is <drive C>/Temp/dBCIData.dbf). Never /tmp or
//                      another place every account may write to: a table file planted there
//                      would be opened as the server's own. Only the library's own defaults are
//                      mapped; paths an administrator stored are used exactly as stored.
//
// The runtime directory
//   Whoever controls it sees every trace and every named object of the server's processes, so
//   it is used only when lstat shows a real directory (no symbolic link) that no other account
//   can write to:
//     owner   the caller's effective uid; root is trusted too for $NVL_RUNTIME_DIR and for
//             /run/norvel, which an administrator or the service manager prepares.
//     mode    never writable by every account; writable by its group only when set-group-id
//             (mode 2770: the one group of the server's accounts, which then share it). The two
//             fallbacks, which live in places other accounts may reach first, must have mode
//             exactly 0700.
//   A missing $NVL_RUNTIME_DIR, /run/norvel or fallback is made with mode 0700 (its parent must
//   exist). The choice goes in order and stops at the first place that applies (for
//   /run/norvel: exists or can be made): one that exists but fails the checks is refused, never
//   passed over for the next, so the server's processes cannot end up meeting in different
//   places. A refusal is written to standard error once per
//   process, and every call that needs the directory then fails with kErrAccessDenied.
//   XDG_RUNTIME_DIR is ignored unless it names a directory of the caller's own that no other
//   account can write (after su it may still name another account's).
//
//   The verdict is kept per value of the variables and effective uid, so asking again costs an
//   environment look-up and no file system access; a directory fixed while a process runs is
//   seen by the next process. Subdirectories (objects/, pipe/) are made 2770 in a group-shared
//   runtime directory and 0700 otherwise, and their files 0660 or 0600; an existing one must be
//   a real directory owned by the caller or root (or, group-shared, set-group-id in the runtime
//   directory's group) that others cannot write.
//
// The original file system ignores case, and callers spell one directory several ways
// (TEMP and Temp, download and Download). resolvePath() keeps a path as it is when it
// exists and otherwise matches each missing component without regard to ASCII case.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/file.h"

namespace nvl::sys {

// The runtime directory that applies, whether or not it passed the checks: for messages and
// for files a program chooses to keep there. Named objects and pipes use checkedRuntimeDir().
std::string runtimeDir();

// The runtime directory once it passed the checks: kSuccess with *dir set, or kErrAccessDenied
// (the reason went to standard error, once per process).
uint32_t checkedRuntimeDir(std::string* dir);

// A subdirectory of the checked runtime directory, open.
struct RuntimeSubdirectory {
    std::string path;
    UniqueFd fd;        // the directory itself, the one that was checked
    mode_t fileMode{};  // for files made in it: 0660 when group-shared, else 0600
};

// Opens <runtime directory>/<name>, making it when missing, and checks it. kSuccess, or
// kErrAccessDenied when the runtime directory or the subdirectory is refused, or the error of
// the system call that failed.
uint32_t openRuntimeSubdirectory(std::string_view name, RuntimeSubdirectory* out);

std::string registryPath();
std::string systemDirectory();

// The directory standing in for drive C: $NVL_DRIVE_C when set and non-empty, else
// /var/lib/norvel/c. Without a trailing '/' (unless it is "/" itself).
std::string driveCDirectory();

// A default path of the original platform on drive C (c:\Temp\x.dbf, C:/Temp/x.dbf: either
// letter case, either separator) as a path of this system: the drive becomes driveCDirectory()
// and every backslash a '/'. Any other text (a relative path, another drive, a POSIX path) is
// returned unchanged.
std::string mapDriveCPath(std::string_view windowsPath);

// The path of an existing file or directory whose name matches `path` component by
// component without regard to case; components that match nothing are kept as given, so the
// result is also the right name to create.
std::string resolvePath(std::string_view path);

// --- Tests ---------------------------------------------------------------------------------

// What the choice of the runtime directory found.
struct RuntimeDirChoice {
    std::string path;
    uint32_t error = 0;        // kSuccess, or kErrAccessDenied when refused
    std::string refusal;       // why it was refused, for the message
    bool groupShared = false;  // set-group-id: the server's accounts share it through its group
    gid_t group = 0;
};

// The choice runtimeDir() makes, with the places it looks at given: `configured` stands for
// $NVL_RUNTIME_DIR, `system` for /run/norvel, `xdgRuntimeDir` for $XDG_RUNTIME_DIR and `tmp`
// for /tmp ("" for a variable that is not set). Makes what it would make; reports nothing and
// keeps nothing.
RuntimeDirChoice chooseRuntimeDir(std::string_view configured, std::string_view system,
                                  std::string_view xdgRuntimeDir, std::string_view tmp);

}  // namespace nvl::sys
