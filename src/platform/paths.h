// Where the port keeps what the original kept in fixed Windows places, and how server paths
// are resolved.
//
//   runtime directory  $NVL_RUNTIME_DIR, else /run/norvel when it can be created, else
//                      /tmp/norvel-<uid>. Named objects and the trace pipe live here.
//   registry file      $NVL_REGISTRY, else /etc/norvel/registry.reg.
//   system directory   the directory of the registry file. It stands in for the Windows
//                      directory: a profile file named without any directory lives there.
//
// The original file system ignores case, and callers spell one directory several ways
// (TEMP and Temp, download and Download). resolvePath() keeps a path as it is when it
// exists and otherwise matches each missing component without regard to ASCII case.
#pragma once

#include <string>
#include <string_view>

namespace nvl::sys {

std::string runtimeDir();
std::string registryPath();
std::string systemDirectory();

// The path of an existing file or directory whose name matches `path` component by
// component without regard to case; components that match nothing are kept as given, so the
// result is also the right name to create.
std::string resolvePath(std::string_view path);

}  // namespace nvl::sys
