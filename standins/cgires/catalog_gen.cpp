// Build-time compiler of a resource catalog into the source of one CGIRes.so.
//
//   cgires_catalog_gen <catalog.txt> <charset> <output.cpp>
//
// The catalog is UTF-8 text, one string per line: a decimal number, one TAB, the text up to
// the end of the line. Empty lines and lines starting with '#' are comments; a UTF-8 byte
// order mark and CR line ends are accepted. In the text, "\n", "\t" and "\\" stand for a line
// feed, a tab and a backslash; any other backslash sequence is an error, so that a typo
// cannot slip into a page. Every text is converted from UTF-8 to <charset> (the console's
// ANSI code page, e.g. CP1252 or CP932) here, so the library needs no conversion at run
// time. Any fault (bad number, duplicate number, missing TAB, a character the code page
// cannot hold) stops the build with the catalog's file name and line.
//
// The generated library exports one entry, extern "C" _getResourceString(int id), which
// returns the text with that number, or "" for a number the catalog lacks.
#include <iconv.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>

namespace {

struct Failure {
    std::string message;
};

[[noreturn]] void fail(const std::string& where, const std::string& what) {
    throw Failure{where + ": " + what};
}

std::string unescape(const std::string& text, const std::string& where) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (i + 1 == text.size())
            fail(where, "backslash at the end of the text");
        switch (text[++i]) {
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case '\\':
                out += '\\';
                break;
            default:
                fail(where, std::string("unknown escape \\") + text[i]);
        }
    }
    return out;
}

class Converter {
  public:
    explicit Converter(const std::string& charset) : cd_(::iconv_open(charset.c_str(), "UTF-8")) {
        if (cd_ == reinterpret_cast<iconv_t>(-1))
            fail("cgires_catalog_gen", "no conversion from UTF-8 to " + charset);
    }
    ~Converter() { ::iconv_close(cd_); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    std::string convert(const std::string& utf8, const std::string& where) {
        ::iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        std::string out(utf8.size() * 4 + 16, '\0');
        char* in = const_cast<char*>(utf8.data());
        size_t inLeft = utf8.size();
        char* dst = out.data();
        size_t outLeft = out.size();
        if (::iconv(cd_, &in, &inLeft, &dst, &outLeft) == static_cast<size_t>(-1) ||
            ::iconv(cd_, nullptr, nullptr, &dst, &outLeft) == static_cast<size_t>(-1)) {
            fail(where, errno == EILSEQ ? "a character the code page cannot hold, or bad UTF-8"
                                        : "text cannot be converted");
        }
        out.resize(out.size() - outLeft);
        return out;
    }

  private:
    iconv_t cd_;
};

std::map<int, std::string> readCatalog(const std::string& path, Converter& converter) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        fail(path, "cannot be read");
    std::map<int, std::string> entries;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string where = path + ":" + std::to_string(number);
        if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0)
            line.erase(0, 3);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        size_t tab = line.find('\t');
        if (tab == std::string::npos)
            fail(where, "expected <number><TAB><text>");
        std::string idText = line.substr(0, tab);
        if (idText.empty() || idText.size() > 9 ||
            idText.find_first_not_of("0123456789") != std::string::npos)
            fail(where, "bad string number '" + idText + "'");
        int id = std::atoi(idText.c_str());
        std::string text = converter.convert(unescape(line.substr(tab + 1), where), where);
        if (text.find('\0') != std::string::npos)
            fail(where, "text holds a NUL character");
        if (!entries.emplace(id, std::move(text)).second)
            fail(where, "string number " + idText + " appears twice");
    }
    return entries;
}

// Octal escapes of three digits for every byte outside printable ASCII, so the generated
// source means the same bytes whatever the compiler's input character set.
std::string cLiteral(const std::string& bytes) {
    std::string out = "\"";
    for (unsigned char c : bytes) {
        if (c == '"' || c == '\\' || c == '?') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\%03o", c);
            out += escape;
        }
    }
    return out + "\"";
}

std::string generate(const std::string& catalogPath, const std::map<int, std::string>& entries) {
    std::ostringstream out;
    std::string name = catalogPath.substr(catalogPath.find_last_of('/') + 1);
    out << "// Generated from " << name
        << " by cgires_catalog_gen. Edit the catalog, not this file.\n"
           "#include <algorithm>\n"
           "#include <iterator>\n\n"
           "namespace {\n\n"
           "struct Entry {\n"
           "    int id;\n"
           "    const char* text;\n"
           "};\n\n"
           "constexpr Entry kEntries[] = {\n";
    for (const auto& [id, text] : entries)
        out << "    {" << id << ", " << cLiteral(text) << "},\n";
    if (entries.empty())
        out << "    {-1, \"\"},\n";
    out << "};\n\n"
           "}  // namespace\n\n"
           "extern \"C\" __attribute__((visibility(\"default\"))) const char* "
           "_getResourceString(int id);\n\n"
           "const char* _getResourceString(int id) {\n"
           "    const Entry* end = std::end(kEntries);\n"
           "    const Entry* found = std::lower_bound(std::begin(kEntries), end, id,\n"
           "        [](const Entry& entry, int value) { return entry.id < value; });\n"
           "    return found != end && found->id == id ? found->text : \"\";\n"
           "}\n";
    return out.str();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: cgires_catalog_gen <catalog.txt> <charset> <output.cpp>\n";
        return 2;
    }
    try {
        Converter converter(argv[2]);
        std::string source = generate(argv[1], readCatalog(argv[1], converter));
        std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
        out << source;
        out.close();
        if (!out)
            fail(argv[3], "cannot be written");
    } catch (const Failure& failure) {
        std::cerr << failure.message << "\n";
        std::remove(argv[3]);
        return 1;
    }
    return 0;
}
