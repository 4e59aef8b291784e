// What the pattern file functions share with the rest of the library: the listing of numbered
// pattern files, the reading of one file's internal version, and the choice of the current and
// previous virus pattern.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nvl::pattern {

// One numbered pattern file as found in its directory.
struct PatternFile {
    std::string name;    // as the directory holds it
    int32_t number = 0;  // its generation number, which also serves as its version
};

// The generation number of `digits`: true for one or more plain decimal digits that fit a
// signed 32-bit int ("007" gives 7); false for anything else (empty, a sign, a blank, a letter,
// a number beyond 2147483647).
bool generationNumber(std::string_view digits, int32_t* number);

// The numbered files of `kind` in `directory` (ends in '/'), highest number first; of equal
// numbers the first in name order stays ahead. Only kind 5 has numbered files of its own here;
// any other kind gives an empty list.
std::vector<PatternFile> getPatternFilesVersion(const std::string& directory, int kind);

// Deletes every file of `files` after the first five.
void deletePtnAndZipFile(const std::string& directory, const std::vector<PatternFile>& files,
                         int kind);

// The internal version of one pattern file (full path), through the scan engine, with the
// retries and traces of getInternal_ptn. False when it could not be read.
bool readInternalVersion(const std::string& path, uint32_t* version);

// The virus pattern files chosen by internal version.
struct VirusPatternChoice {
    PatternFile current, previous;
    std::string currentPath, previousPath;  // full paths of the files found
    uint32_t currentVersion = 0, previousVersion = 0;
    bool hasPrevious = false;
};

// Lists sig$vpf.<n> in `directory` (null or empty: the home directory), reads each file's
// internal version and keeps the best two. False when no file has a readable non-zero version.
bool chooseVirusPatterns(const char* directory, VirusPatternChoice* choice);

}  // namespace nvl::pattern
