// tarsk-pattern: builds the spyware pattern tarskptn.da5 from its text source, and checks and
// dumps a pattern file, with the same reader the engine uses.
//
//   tarsk-pattern build SOURCE.txt OUTPUT.da5   # atomically: a temporary beside it, renamed
//   tarsk-pattern dump FILE.da5                 # the text source again (refused: exit 1)
//
// `dump` writes the source form, so `build` of a dump makes the same file byte for byte.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "tarsk_format.h"

namespace {

bool readFile(const char* path, std::string* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream s;
    s << in.rdbuf();
    *out = s.str();
    return !in.bad();
}

bool writeAtomically(const std::string& path, const std::string& bytes) {
    std::string tmp = path + ".tmpXXXXXX";
    int fd = ::mkstemp(tmp.data());
    if (fd < 0)
        return false;
    bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
              ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok && std::rename(tmp.c_str(), path.c_str()) == 0)
        return true;
    std::remove(tmp.c_str());
    return false;
}

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty())
            out.push_back(' ');
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

void dump(const tarsk32::Pattern& p) {
    using namespace tarsk32;
    std::cout << "version " << p.version << "\ndate " << formatDate(p.date) << "\n";
    for (const auto& c : p.companies)
        std::cout << "company " << c.id << ' ' << c.name << '\n';
    for (const auto& t : p.threats)
        std::cout << "threat " << t.id << ' ' << t.company << ' ' << t.name << '\n';
    for (const auto& l : p.locations)
        std::cout << "location " << l.id << ' ' << l.path << '\n';
    static const char* const kKinds[] = {"",         "file",   "content",   "directory",
                                         "registry", "cookie", "autostart", "hosts"};
    for (const auto& s : p.signatures) {
        std::cout << kKinds[s.kind] << ' ' << s.threat << ' ';
        if (s.kind == kSigContent)
            std::cout << hex(s.data);
        else if (s.kind == kSigRegistry)
            std::cout << s.data << ' ' << s.extra;
        else
            std::cout << s.data;
        std::cout << '\n';
    }
}

int usage() {
    std::cerr << "usage: tarsk-pattern build SOURCE OUTPUT | dump FILE\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3)
        return usage();
    std::string command = argv[1], bytes, error;
    tarsk32::Pattern pattern;
    if (command == "build" && argc == 4) {
        if (!readFile(argv[2], &bytes)) {
            std::cerr << "tarsk-pattern: cannot read " << argv[2] << '\n';
            return 1;
        }
        if (!tarsk32::parsePatternSource(bytes, &pattern, &error)) {
            std::cerr << "tarsk-pattern: " << argv[2] << ": " << error << '\n';
            return 1;
        }
        if (!writeAtomically(argv[3], tarsk32::writePattern(pattern))) {
            std::cerr << "tarsk-pattern: cannot write " << argv[3] << '\n';
            return 1;
        }
        return 0;
    }
    if (command == "dump" && argc == 3) {
        if (!readFile(argv[2], &bytes)) {
            std::cerr << "tarsk-pattern: cannot read " << argv[2] << '\n';
            return 1;
        }
        if (!tarsk32::readPattern(bytes, &pattern, &error)) {
            std::cerr << "tarsk-pattern: " << argv[2] << ": refused: " << error << '\n';
            return 1;
        }
        dump(pattern);
        return 0;
    }
    return usage();
}
