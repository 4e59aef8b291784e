// A console page that shows what it was sent: it reads its form with cgiGetVars and prints
// every variable, one "name=value" line each, and the trailing data of an URL-encoded POST in
// hexadecimal. Called with the path info "/utf8" it reads the form as UTF-8. An uploaded file
// is removed when the page ends; with the path info "/keep" the page keeps it by moving it to
// its stored name with ".kept" appended.
//
// The header goes out first, as in a page that has already checked its login, so that a
// message of the form reader lands in the page's body.
#include <cgishare/cgishare.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main() {
    loadResource();
    std::fputs("Content-Type: text/plain\r\n\r\n", stdout);
    std::fflush(stdout);

    const char* info = std::getenv("PATH_INFO");
    CharEncoding encoding = info != nullptr && std::strcmp(info, "/utf8") == 0 ? UTF_8 : ISO_8859_1;
    unsigned char* trailing = nullptr;
    long trailingLength = 0;
    char** vars = cgiGetVars(encoding, false, &trailing, &trailingLength);
    if (vars == nullptr) {
        std::fputs("(no variables)\n", stdout);
        freeResource();
        return 1;
    }
    for (char** p = vars; *p != nullptr; p += 2) {
        std::printf("%s=%s\n", p[0], p[1]);
        if (info != nullptr && std::strcmp(info, "/keep") == 0 &&
            std::strcmp(p[0], "TempFileName") == 0)
            std::rename(p[1], (std::string(p[1]) + ".kept").c_str());
    }
    if (trailing != nullptr) {
        std::printf("(trailing %ld bytes)=", trailingLength);
        for (long i = 0; i < trailingLength; ++i)
            std::printf("%02X", trailing[i]);
        std::fputs("\n", stdout);
    }
    cgiFreeVars(vars, trailing);
    freeResource();
    return 0;
}
