// The component kinds of the hot-fix rebuild (cgishare/hotfix.h) as the console sees them: the
// file each is built from, its entry in the update manifest and the package agents download.
//
// The rebuild owns these facts (src/pattern/hotfix.cpp); the console keeps this table beside it
// for two pages: the hot-fix page recognises an uploaded file by its name and places it where
// the rebuild looks for it, and the Components page shows the packages agents are offered.
//
// Names. A kind's source is either a generation "<stem>.<NNN>" in the home directory (the
// newest, by internal version, is packed) or one fixed file. The generation number has exactly
// three digits: the rebuild reads a generation's version through the last three characters of
// its name ("sig$vpf.349" -> "349"), so "sig$vpf.1234" or "sig$vpf.35" would be packed under
// another file's version. Uploaded names are matched without regard to case, as every server
// path is, and placed under the spelling already in the home when a file of that name is there
// (so "QXC.exe" replaces Admin/QXC.EXE rather than standing beside it), else under the kind's
// own spelling (generation stems in lower case, fixed names as the table writes them).
//
// The manifest, <home>download/server.ini, holds one value per kind, such as
// "Pattern/MARLIN.zip,34900,123456": fields split at commas and blanks, the version being one of
// them (the second; the cleaner's third).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace console {

struct HotfixKind {
    int kind;                      // rebuildPtnZip's kind
    int nameText;                  // resource number of the component's name
    const char* stem;              // a generation's stem ("sig$vpf"); null for a fixed file
    const char* directory;         // of the source below the home: "" or "Admin"
    const char* fixedName;         // the fixed file's name; null for generations
    const char* section;           // manifest entry: section and key
    const char* key;               //
    int versionField;              // index of the version among the entry's fields
    const char* packageDirectory;  // below the home
    const char* package;           // file name of the package
};

// Every kind, in kind order.
std::span<const HotfixKind> hotfixKinds();

// The kind whose source `name` (a file name without directory) names, or null. `*placed` gets
// the kind's own spelling of the name (see above).
const HotfixKind* kindOfName(std::string_view name, std::string* placed);

// The source's name as the hot-fix page lists it: "sig$vpf.NNN", "Admin/QXC.exe".
std::string sourceLabel(const HotfixKind& kind);

// <home><relative>, each component spelled as it is on disk when only another case of it is
// there (the first such entry, by name), else as given. `home` ends in '/'.
std::string homePath(const std::string& home, std::string_view relative);

// The manifest's path: <home>download/server.ini, spelled as homePath spells it.
std::string manifestPath(const std::string& home);

// The fields of a manifest value, split at commas and blanks.
std::string manifestField(std::string_view value, int index);

// The version the manifest at `manifest` announces for `kind`; "" when it names none.
std::string manifestVersion(const std::string& manifest, const HotfixKind& kind);

}  // namespace console
