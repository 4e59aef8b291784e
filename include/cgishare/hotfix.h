// The hot-fix package rebuild: packs a new pattern, cleaner or spyware file of the server home
// into its component's download package and announces it in the update manifest.
//
// Kinds and their sources (below the server home): 0 the newest sig$vpf.<n> (virus pattern),
// 1 the newest hlaptn.<n> (spyware pattern), 2 Admin/QXC.exe (the cleaner), 3 Admin/QXC.ptn
// (cleaner pattern), 4 Admin/HLADCE.ptn (spyware-cleanup pattern), 6 the newest hlwhite.<n>,
// 7 the newest hlblack.<n>, 8 tarskptn.da5 (the spyware engine's pattern), 9 the newest
// tkaptn.<n>. Kind 5 and kinds above 9 are not rebuilt.
//
// One rebuild runs at a time on the server (a second one waits, then finds the first one's
// work published). The package is replaced as a whole (agents read the old or the new one), and
// the manifest follows it. Every step is traced with the prefix "Hotfix>".
#pragma once

#include <cgishare/export.h>

// Rebuilds the package of `kind` when its source's version differs from the manifest's.
// Returns 1 when the package was rebuilt and recorded, 0 otherwise (no source, the same
// version, or a failed step). The source's version as display text ("3.123.45", "1.2.345",
// "6064") goes to `versionOut` as soon as it is known: at most versionOutSize bytes with the
// terminator; nothing when it is null or versionOutSize is below 1.
CGISHARE_API int rebuildPtnZip(int kind, char* versionOut, int versionOutSize);

// `flags` without the update-flag bits of the service components that `model` does not have.
CGISHARE_API unsigned long FilterUpdateFlagWithServiceModel(unsigned long flags,
                                                            unsigned long model);
